// The print spool: job file bytes, counters and log lines, exclusive opens,
// the start-up clean-up, and replays by the dispatcher (to a pseudo-terminal
// in test_spool_posix.cpp).
#include <gtest/gtest.h>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include "log/log.h"
#include "protocol_fixture.h"

namespace {

void Feed(const std::string& bytes) {
    ProcessTCPData((const uint8_t*)bytes.data(), (int)bytes.size(), nullptr);
}

}  // namespace

TEST_F(Spool, JobFileHoldsNameBlockImageAndDataExactly) {
    Feed(Cmd("COM3") + "abc" + Cmd("CLOSE"));
    EXPECT_EQ(1, bridge.Statistics[kStatBuffered]);
    EXPECT_EQ(-1, bridge.spoolFile);

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
}

TEST_F(Spool, CloseWithoutJobAndFailedCreateUseNoNumber) {
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
}

TEST_F(Spool, ComWhileJobOpenQueuesItAndStartsTheNext) {
    Feed(Cmd("COM3") + "first");
    Feed(Cmd("COM4") + "second" + Cmd("CLOSE"));
    EXPECT_EQ(2, bridge.Statistics[kStatBuffered]);
    EXPECT_EQ("first", ReadFileBytes(JobPath(0)).substr(2345));
    EXPECT_EQ("second", ReadFileBytes(JobPath(1)).substr(2345));
    EXPECT_EQ("COM4", ReadFileBytes(JobPath(1)).substr(0, 4));
    std::string log = Log();
    EXPECT_LT(log.find("Koniec kolejki buforowania wydruku nr:0000"),
              log.find("Start kolejki buforowania wydruku nr:0001 OK"));
}

TEST_F(Spool, OpenJobIsExclusiveAndCreateEmptiesAStaleFile) {
    std::filesystem::create_directories("SERVBUFF");
    WriteFileBytes(JobPath(0), std::string(5000, 'x'));  // left from elsewhere
    Feed(Cmd("COM3") + "ab");
    EXPECT_EQ(-1, SpoolFileOpen(JobPath(0).c_str(), 0));
    Feed(Cmd("CLOSE"));
    int fd = SpoolFileOpen(JobPath(0).c_str(), 0);
    EXPECT_GT(fd, 0);
    if (fd > 0) SpoolFileClose(fd);
    EXPECT_EQ(2347u, ReadFileBytes(JobPath(0)).size());
}

TEST_F(Spool, PathsAndStartupCleanup) {
    char path[64];
    ASSERT_EQ(0, SpoolJobPath(path, sizeof path, 7));
    EXPECT_EQ(std::string("SERVBUFF") + SpoolPathSeparator() + "0007.buf", path);
    ASSERT_EQ(0, SpoolJobPath(path, sizeof path, 12345));
    EXPECT_EQ(std::string("SERVBUFF") + SpoolPathSeparator() + "12345.buf", path);
    EXPECT_EQ(ENAMETOOLONG, SpoolJobPath(path, 12, 7));
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
    EXPECT_EQ(ENOENT, SpoolJobPath(path, sizeof path, 0));
    SpoolPrepareDirectory();
    Feed(Cmd("COM3") + "x");
    EXPECT_EQ(-1, bridge.spoolFile);
    char line[64];
    snprintf(line, sizeof line, "Start kolejki buforowania wydruku nr:0000 Error:%d", ENOENT);
    std::string log = Log();
    size_t at = log.find(line);
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_FALSE(isdigit((unsigned char)log[at + strlen(line)])) << log;
}

TEST_F(Spool, DispatcherCountsMissingAndCutJobsAsDone) {
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
}

// A job whose port is missing holds only the later jobs for that port; each
// wait is logged once, and retries add no open-error lines.
TEST_F(Spool, WaitingJobsHoldOnlyTheirPortAndAreLoggedOnce) {
    WriteJob(0, "\\\\.\\COM199", 9600, "a");
    WriteJob(1, "\\\\.\\COM198", 9600, "b");
    WriteJob(2, "\\\\.\\COM199", 9600, "c");
    bridge.Statistics[kStatBuffered] = 3;
    for (int i = 0; i < 5; i++) PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ(0, bridge.dispatcherRunning);
    std::string log = Log();
    EXPECT_EQ(1, Count(log, "Start wydruku nr:0000"));
    EXPECT_EQ(1, Count(log, "Start wydruku nr:0001"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka - blad otwarcia portu \\\\.\\COM199"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0001 czeka - blad otwarcia portu \\\\.\\COM198"));
    EXPECT_EQ(0, Count(log, "nr:0002"));  // behind job 0, never tried
    EXPECT_EQ(2, Count(log, "Error - blad otwarcia portu COM"));
    EXPECT_EQ(2, Count(log, "baud=9600"));
    EXPECT_EQ(0, Count(log, "Koniec wydruku"));

    // With the always-open port in use but closed, every job waits for that
    // port, and the wait names it.
    settingsRecord.alwaysOpen = 1;
    SetSettingsText(settingsRecord.portName, sizeof settingsRecord.portName, "COM197");
    PrintDispatcher();
    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    log = Log();
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka - blad otwarcia portu COM197"));
    EXPECT_EQ(3, Count(log, " czeka - "));
}

// Settings no port takes can never print: such a job ends in error at once
// instead of holding the receipts behind it, which wait for their printer.
TEST_F(Spool, JobWithSettingsNoPortTakesEndsInErrorAndTheNextWaits) {
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

    // With the always-open port in use the job's own settings do not matter:
    // a new run's first job waits for that port.
    ResetBridgeState();
    SpoolPrepareDirectory();
    WriteJob(0, port, 9600, "x", 9);
    bridge.Statistics[kStatBuffered] = 1;
    settingsRecord.alwaysOpen = 1;
    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ(1, Count(Log(), "Wydruk nr:0000 czeka"));
}
