// The RFC 2217 listener in the real daemon, driven by a client nobody here
// wrote: Debian's python3-serial with an rfc2217:// URL, a pseudo-terminal
// as the device. The client's steps run in one Python program that plays
// the device on the pty (descriptors 3 and 4) and an ESC client beside it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include "support/support.h"

using namespace kt;

namespace {

const char* kClient = R"PY(
import fcntl, os, select, socket, struct, sys, termios, time
import serial
rfc, esc = int(sys.argv[1]), int(sys.argv[2])
master, slave = 3, 4

def check(cond, what):
    if not cond:
        print("FAILED:", what, flush=True)
        sys.exit(1)

def rate_and_stop():
    buf = fcntl.ioctl(slave, 0x802C542A, bytes(44))  # TCGETS2
    cflag = struct.unpack_from("I", buf, 8)[0]
    return struct.unpack_from("I", buf, 40)[0], bool(cflag & termios.CSTOPB)

def wait_for(cond, ms=5000):
    end = time.time() + ms / 1000.0
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.01)
    return cond()

def device_read(n, ms=5000):
    got = b""
    end = time.time() + ms / 1000.0
    while len(got) < n and time.time() < end:
        if select.select([master], [], [], 0.05)[0]:
            got += os.read(master, n - len(got))
    return got

def ask_com():
    s = socket.create_connection(("127.0.0.1", esc), timeout=5)
    s.sendall(b"\x1bCOM3\r")
    reply = s.recv(1)
    s.sendall(b"\x1bCLOSE\r") if reply == b"\x00" else None
    s.close()
    return reply

port = serial.serial_for_url("rfc2217://127.0.0.1:%d" % rfc, baudrate=19200, stopbits=2, timeout=5)
check(wait_for(lambda: rate_and_stop() == (19200, True)), "19200 baud, two stop bits: %r" % (rate_and_stop(),))
port.baudrate = 57600
check(wait_for(lambda: rate_and_stop()[0] == 57600), "baud change followed: %r" % (rate_and_stop(),))

every = bytes(range(256))
port.write(every)
got = device_read(256)
check(got == every, "client to device, %d bytes" % len(got))
os.write(master, every)
back = port.read(256)
check(back == every, "device to client, %d bytes" % len(back))

# On a fast line the listener takes the client's stream in large receives;
# every 255 is still one data byte, both ways.
port.baudrate = 115200
bulk = every * 256
port.write(bulk)
got = device_read(len(bulk), 15000)
check(got == bulk, "bulk client to device, %d of %d bytes" % (len(got), len(bulk)))
sent, end = 0, time.time() + 15
while sent < len(bulk) and time.time() < end:  # the pty takes a few kB at a time
    if select.select([], [master], [], 0.05)[1]:
        try:
            sent += os.write(master, bulk[sent:])
        except BlockingIOError:
            pass
back = port.read(len(bulk))
check(back == bulk, "bulk device to client, %d of %d bytes" % (len(back), len(bulk)))

port.reset_input_buffer()
port.rts = False
port.dtr = False
port.rts = True

check(ask_com() == b"\x01", "ESC COM while the session owns the port")
try:
    second = serial.serial_for_url("rfc2217://127.0.0.1:%d" % rfc, timeout=2)
    second.close()
    check(False, "a second session was served")
except (serial.SerialException, OSError):
    pass

port.close()
check(wait_for(lambda: ask_com() == b"\x00"), "ESC COM after the session")
print("OK", flush=True)
)PY";

// Runs the client with the device's descriptors as 3 and 4; its exit status.
int RunClient(const std::string& script, Pty& pty, int rfcPort, int escPort, std::string* output) {
    int out[2];
    if (pipe(out) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        dup2(pty.master, 3);
        dup2(pty.slaveKeep, 4);
        fcntl(3, F_SETFD, 0);
        fcntl(4, F_SETFD, 0);
        if (chdir("/") != 0) _exit(126);  // no folder named serial may shadow the module
        execl("/usr/bin/python3", "python3", script.c_str(), std::to_string(rfcPort).c_str(),
              std::to_string(escPort).c_str(), (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    *output = DrainFd(out[0], 60000, 60000);
    close(out[0]);
    return WaitChild(pid, 10000);
}

}  // namespace

TEST(E2eRfc2217, PyserialClientOwnsAndDrivesThePort) {
    if (IsWine()) GTEST_SKIP() << "the listener's option is the daemon's";
    ControlPorts ports;
    int rfcPort = FreePort();
    Program prog;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    prog.MapCom(3, pty.slavePath);
    prog.args = {"--rfc2217", "127.0.0.1:" + std::to_string(rfcPort) + "=COM3"};
    StartServing(prog, ControlSetup(ports), ports);
    ASSERT_TRUE(WaitListening(rfcPort, 10000));
    std::string script = prog.Path("client.py");
    WriteFile(script, kClient);

    std::string output;
    EXPECT_EQ(0, RunClient(script, pty, rfcPort, ports.tcp, &output)) << output << prog.Log();
    EXPECT_NE(std::string::npos, output.find("OK")) << output;
    EXPECT_TRUE(prog.WaitLog("RFC 2217 - COM3: koniec sesji klienta 127.0.0.1", 5000)) << prog.Log();
    Bytes log = prog.Log();
    for (const char* line : {"poczatek sesji klienta 127.0.0.1", "ustawiono baud=19200", "stop=2",
                             "ustawiono baud=57600", "wyczyszczono bufory (1)", "RTS=0", "DTR=0", "RTS=1",
                             "port jest zajety, odrzucono klienta 127.0.0.1"})
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
    EndProgram(prog, ports.tcp);
    EXPECT_EQ(0, prog.Wait(10000));
    EXPECT_EQ(nullptr, SanitizerReport(ReadFile(prog.Path("stderr.txt"))));
}
