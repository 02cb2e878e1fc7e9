// The print spool: job file bytes, counters and log lines, exclusive opens,
// the start-up clean-up, and replays by the dispatcher (to a pty natively).
#include <gtest/gtest.h>
#include "log/log.h"
#include "protocol_fixture.h"

namespace {

void BufferingState() {
    FreshState();
    settingsRecord.bufferPrints = 1;
}

void Feed(const std::string& bytes) {
    ProcessTCPData((const uint8_t*)bytes.data(), (int)bytes.size(), nullptr);
}

std::string JobPath(int n) {
    char path[512];
    EXPECT_EQ(0, SpoolJobPath(path, sizeof path, n));
    return path;
}

// A job file as SpoolOpen writes it, with chosen parameters and data.
void WriteJob(int n, const char* port, int32_t baud, const std::string& data, int32_t dataBits = 8,
              char parity = 'N', int32_t stopBits = 1) {
    std::string header(kSpoolHeaderSize, '\0');
    memcpy(&header[0], port, strlen(port));
    CommandBlock block;
    memset(&block, 0, sizeof block);
    block.inCommand = 1;
    block.baud = baud;
    block.dataBits = dataBits;
    block.parity = parity;
    block.stopBits = stopBits;
    block.timeout1 = 10;
    block.timeout2 = 50;
    memcpy(&header[kSpoolPortNameSize], &block, sizeof block);
    std::filesystem::create_directories("SERVBUFF");
    WriteFileBytes(JobPath(n), header + data);
}

}  // namespace

TEST(Spool, JobFileHoldsNameBlockImageAndDataExactly) {
    ScopedWorkDir wd;
    BufferingState();
    Feed(Cmd("COM3") + "abc" + Cmd("CLOSE"));
    EXPECT_EQ(1, bridge.Statistics[kStatBuffered]);
    EXPECT_EQ(0, bridge.spoolFile);

    std::string file = ReadFileBytes(JobPath(0));
    ASSERT_EQ(2348u, file.size());
    EXPECT_EQ(std::string("COM3") + std::string(252, '\0'), file.substr(0, 256));
    CommandBlock expected;
    memset(&expected, 0, sizeof expected);
    expected.inCommand = 1;
    memcpy(expected.commandLine, "COM3\r", 6);
    expected.commandLength = 5;
    expected.comNumber = 3;
    expected.baud = 9600;
    expected.dataBits = 8;
    expected.parity = 'N';
    expected.stopBits = 1;
    expected.timeout1 = 10;
    expected.timeout2 = 50;
    EXPECT_EQ(std::string((const char*)&expected, sizeof expected), file.substr(256, 2089));
    EXPECT_EQ(9600, GetLe32((const uint8_t*)&file[2316]));
    EXPECT_EQ('N', file[2324]);
    EXPECT_EQ(1, GetLe32((const uint8_t*)&file[2325]));
    EXPECT_EQ("abc", file.substr(2345));

    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Start kolejki buforowania wydruku nr:0000 OK"));
    EXPECT_NE(std::string::npos, log.find("Koniec kolejki buforowania wydruku nr:0000"));

    // The second job: device-path name and the rate set in the same line.
    Feed(Cmd("COM12 BAUD=19200") + std::string("\x00\xff", 2) + Cmd("CLOSE"));
    file = ReadFileBytes(JobPath(1));
    ASSERT_EQ(2347u, file.size());
    EXPECT_EQ(std::string("\\\\.\\COM12") + std::string(247, '\0'), file.substr(0, 256));
    EXPECT_EQ(19200, GetLe32((const uint8_t*)&file[2316]));
    EXPECT_EQ(12, GetLe32((const uint8_t*)&file[2312]));
    EXPECT_EQ(std::string("\x00\xff", 2), file.substr(2345));
    EXPECT_EQ(2, bridge.Statistics[kStatBuffered]);
    EndState();
}

TEST(Spool, CloseWithoutJobAndFailedCreateUseNoNumber) {
    ScopedWorkDir wd;
    BufferingState();
    std::filesystem::remove_all("SERVBUFF");
    // No directory: the create fails, the data is dropped, CLOSE does nothing.
    SpoolClose();
    Feed(Cmd("COM3") + "lost" + Cmd("CLOSE"));
    EXPECT_EQ(0, bridge.Statistics[kStatBuffered]);
    EXPECT_EQ(-1, bridge.spoolFile);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Start kolejki buforowania wydruku nr:0000 Error:"));
    EXPECT_EQ(std::string::npos, log.find("Koniec kolejki"));

    std::filesystem::create_directories("SERVBUFF");
    Feed(Cmd("COM3") + "kept" + Cmd("CLOSE"));
    EXPECT_EQ(1, bridge.Statistics[kStatBuffered]);
    EXPECT_EQ("kept", ReadFileBytes(JobPath(0)).substr(2345));
    EndState();
}

TEST(Spool, ComWhileJobOpenQueuesItAndStartsTheNext) {
    ScopedWorkDir wd;
    BufferingState();
    Feed(Cmd("COM3") + "first");
    Feed(Cmd("COM4") + "second" + Cmd("CLOSE"));
    EXPECT_EQ(2, bridge.Statistics[kStatBuffered]);
    EXPECT_EQ("first", ReadFileBytes(JobPath(0)).substr(2345));
    EXPECT_EQ("second", ReadFileBytes(JobPath(1)).substr(2345));
    EXPECT_EQ("COM4", ReadFileBytes(JobPath(1)).substr(0, 4));
    std::string log = Log();
    EXPECT_LT(log.find("Koniec kolejki buforowania wydruku nr:0000"),
              log.find("Start kolejki buforowania wydruku nr:0001 OK"));
    EndState();
}

TEST(Spool, OpenJobIsExclusiveAndCreateEmptiesAStaleFile) {
    ScopedWorkDir wd;
    BufferingState();
    std::filesystem::create_directories("SERVBUFF");
    WriteFileBytes(JobPath(0), std::string(5000, 'x'));  // left from elsewhere
    Feed(Cmd("COM3") + "ab");
    EXPECT_EQ(-1, SpoolFileOpen(JobPath(0).c_str(), 0));
    Feed(Cmd("CLOSE"));
    int fd = SpoolFileOpen(JobPath(0).c_str(), 0);
    EXPECT_GT(fd, 0);
    if (fd > 0) SpoolFileClose(fd);
    EXPECT_EQ(2347u, ReadFileBytes(JobPath(0)).size());
    EndState();
}

TEST(Spool, PathsAndStartupCleanup) {
    ScopedWorkDir wd;
    BufferingState();
    char path[64];
    ASSERT_EQ(0, SpoolJobPath(path, sizeof path, 7));
    EXPECT_EQ(std::string("SERVBUFF") + SpoolPathSeparator() + "0007.buf", path);
    ASSERT_EQ(0, SpoolJobPath(path, sizeof path, 12345));
    EXPECT_EQ(std::string("SERVBUFF") + SpoolPathSeparator() + "12345.buf", path);
    EXPECT_EQ(1, SpoolJobPath(path, 12, 7));
    EXPECT_EQ('\0', path[0]);

    // One level is created; job files go, other files stay.
    SpoolPrepareDirectory();
    ASSERT_TRUE(std::filesystem::is_directory("SERVBUFF"));
    WriteFileBytes(JobPath(0), "x");
    WriteFileBytes(JobPath(12), "x");
    WriteFileBytes("SERVBUFF/keep.txt", "x");
    WriteFileBytes("SERVBUFF/keep.bufx", "x");
    SpoolPrepareDirectory();
    EXPECT_FALSE(std::filesystem::exists(JobPath(0)));
    EXPECT_FALSE(std::filesystem::exists(JobPath(12)));
    EXPECT_TRUE(std::filesystem::exists("SERVBUFF/keep.txt"));
    EXPECT_TRUE(std::filesystem::exists("SERVBUFF/keep.bufx"));

    // No directory configured: nothing is made, no job lands at the root.
    SetSettingsText(settingsRecord.spoolDirectory, sizeof settingsRecord.spoolDirectory, "");
    EXPECT_EQ(1, SpoolJobPath(path, sizeof path, 0));
    SpoolPrepareDirectory();
    Feed(Cmd("COM3") + "x");
    EXPECT_EQ(-1, bridge.spoolFile);
    EndState();
}

TEST(Spool, DispatcherCountsMissingAndCutJobsAsDone) {
    ScopedWorkDir wd;
    BufferingState();
    std::filesystem::create_directories("SERVBUFF");
    // Nothing queued: the dispatcher leaves at once.
    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    EXPECT_FALSE(std::filesystem::exists("k.log"));

    bridge.Statistics[kStatBuffered] = 2;
    WriteFileBytes(JobPath(1), std::string(100, 'x'));  // header cut short
    PrintDispatcher();
    PrintDispatcher();
    EXPECT_EQ(2, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ(0, bridge.dispatcherRunning);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Start wydruku nr:0000"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 Error wyslano 0 bajtow"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0001 Error wyslano 0 bajtow"));
    PrintDispatcher();  // the counter never passes the buffered one
    EXPECT_EQ(2, bridge.Statistics[kStatPrinted]);

    // Started as a thread by the housekeeping tick; a job without a port
    // name would wait for ever, so it ends at once.
    WriteJob(2, "", 9600, "data");
    bridge.Statistics[kStatBuffered] = 3;
    ASSERT_EQ(0, StartPrintDispatcher());
    EXPECT_TRUE(WaitFor([] { return bridge.Statistics[kStatPrinted] == 3; }));
    EXPECT_NE(std::string::npos, Log().find("Koniec wydruku nr:0002 Error wyslano 0 bajtow"));
    EXPECT_TRUE(WaitFor([] { return bridge.dispatcherRunning == 0; }));
    EndState();
}

TEST(Spool, JobWaitsInOrderWhileItsPortIsMissing) {
    ScopedWorkDir wd;
    BufferingState();
    WriteJob(0, "\\\\.\\COM199", 9600, "receipt");
    WriteJob(1, "COM3", 9600, "next");
    bridge.Statistics[kStatBuffered] = 2;
    for (int i = 0; i < 3; i++) PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ(0, bridge.dispatcherRunning);
    std::string log = Log();
    EXPECT_EQ(1, Count(log, "Start wydruku nr:0000"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka"));
    EXPECT_EQ(0, Count(log, "Koniec wydruku"));
    EXPECT_EQ(0, Count(log, "nr:0001"));

    // With the always-open port not open, the job waits the same way.
    settingsRecord.alwaysOpen = 1;
    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    EndState();
}

// Settings no port takes can never print: such a job ends in error at once
// instead of holding the receipts behind it, which wait for their printer.
TEST(Spool, JobWithSettingsNoPortTakesEndsInErrorAndTheNextWaits) {
    ScopedWorkDir wd;
    BufferingState();
    const char* port = "\\\\.\\COM199";
    WriteJob(0, port, 9600, "bad", 2147483647);
    WriteJob(1, port, 9600, "bad", 8, 'X');
    WriteJob(2, port, 9600, "bad", 8, 'N', 0);
    WriteJob(3, port, 0, "bad");
    WriteJob(4, port, 9600, "good", 7, 'e', 2);
    bridge.Statistics[kStatBuffered] = 5;
    for (int i = 0; i < 6; i++) PrintDispatcher();
    EXPECT_EQ(4, bridge.Statistics[kStatPrinted]);
    std::string log = Log();
    for (int n = 0; n < 4; n++) {
        char end[64];
        snprintf(end, sizeof end, "Koniec wydruku nr:%04d Error wyslano 0 bajtow", n);
        EXPECT_EQ(1, Count(log, end)) << end;
    }
    EXPECT_EQ(1, Count(log, "Wydruk nr:0004 czeka"));
    EXPECT_EQ(0, Count(log, "Koniec wydruku nr:0004"));

    // With the always-open port in use the job's own settings do not matter.
    WriteJob(5, port, 9600, "x", 9);
    bridge.Statistics[kStatPrinted] = 5;
    bridge.Statistics[kStatBuffered] = 6;
    settingsRecord.alwaysOpen = 1;
    PrintDispatcher();
    EXPECT_EQ(5, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ(1, Count(Log(), "Wydruk nr:0005 czeka"));
    EndState();
}

#ifndef _WIN32

TEST(SpoolPty, WaitingJobPrintsOnceTheDeviceAppears) {
    ScopedWorkDir wd;
    BufferingState();
    WriteJob(0, "\\\\.\\COM12", 19200, "receipt-1");
    WriteJob(1, "\\\\.\\COM12", 19200, "receipt-2");
    bridge.Statistics[kStatBuffered] = 2;
    PrintDispatcher();
    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);

    TestPty pty;
    pty.MapAs(12);
    PrintDispatcher();
    EXPECT_EQ(1, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("receipt-1", pty.Read(9, 3000));
    // Recorded at 19200 baud: the device was set up at that rate.
    EXPECT_EQ((speed_t)B19200, pty.Speed());
    PrintDispatcher();
    EXPECT_EQ(2, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("receipt-2", pty.Read(9, 3000));
    EXPECT_EQ(kNoHandle, bridge.portHandle);

    std::string log = Log();
    EXPECT_EQ(1, Count(log, "Start wydruku nr:0000"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka"));
    EXPECT_NE(std::string::npos, log.find("baud=19200 data=8 parity=N stop=1"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 OK wyslano 9 bajtow"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0001 OK wyslano 9 bajtow"));
    EndState();
}

TEST(SpoolPty, AlwaysOpenPortIsUsedAndLeftOpenAndAnEmptyJobPrintsNothing) {
    ScopedWorkDir wd;
    BufferingState();
    TestPty pty;
    pty.MapAs(3);
    char name[] = "COM3";
    ASSERT_EQ(0, SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0));
    settingsRecord.alwaysOpen = 1;
    bridge.portClaimed = 1;
    WriteJob(0, "COM5", 19200, "");
    WriteJob(1, "COM5", 19200, "xyz");
    bridge.Statistics[kStatBuffered] = 2;
    PrintDispatcher();
    PrintDispatcher();
    EXPECT_EQ(2, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("xyz", pty.Read(3, 3000));
    EXPECT_NE(kNoHandle, bridge.portHandle);
    EXPECT_EQ(0, bridge.portClaimed);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 OK wyslano 0 bajtow"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0001 OK wyslano 3 bajtow"));
    EXPECT_EQ(std::string::npos, log.find("baud=19200"));
    EndState();
}

TEST(SpoolPty, ReplayCutShortByThePrinterEndsWithTheErrorLine) {
    ScopedWorkDir wd;
    BufferingState();
    TestPty pty;  // never read: the device stops taking bytes when full
    pty.MapAs(3);
    const int size = 256 * 1024;
    WriteJob(0, "COM3", 9600, std::string(size, 'p'));
    bridge.Statistics[kStatBuffered] = 1;
    PrintDispatcher();
    EXPECT_EQ(1, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ(kNoHandle, bridge.portHandle);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Error - blad wyslania na port szeregowy"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 Error wyslano "));
    EXPECT_EQ(std::string::npos, log.find("Koniec wydruku nr:0000 OK"));
    // Not sent again: no receipt is printed twice.
    PrintDispatcher();
    EXPECT_EQ(1, Count(Log(), "Start wydruku nr:0000"));
    EndState();
}
#endif
