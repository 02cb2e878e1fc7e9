// Clients, devices and files that mean harm, against the real program over
// loopback with pseudo-terminals as devices: what any one of them can cost
// is small, bounded and logged once. Grouped by what is attacked.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

namespace {

const int kWait = 15000;  // generous: the Windows build starts under Wine

struct Ports {
    int tcp = FreePort();
    int udp = FreePort();
};

Setup BaseSetup(const Ports& p) {
    Setup s;
    s.Int(kOffTcpPort, p.tcp).Int(kOffUdpPort, p.udp);
    return s;
}

// Writes setup.dat, starts the program and waits for both control ports.
void StartWith(Program& prog, const Setup& setup, const Ports& p) {
    setup.Write(prog.dir.path);
    prog.Start();
    ASSERT_TRUE(WaitListening(p.tcp, 30000)) << "TCP control port never listened";
    ASSERT_TRUE(prog.WaitLog("UDP Poling - Ready", kWait)) << "UDP control port never bound";
}

// Ends the program the way a user would: SIGTERM natively, KILL under Wine.
void Shutdown(Program& prog, int tcpPort) {
    if (IsWine()) {
        TcpClient k(tcpPort);
        k.Send(Esc("KILL"));
        prog.Wait(kWait);
    }
    prog.Stop(kWait);
}

}  // namespace

// Each group of cases below is one section; keep new sections at the end.
