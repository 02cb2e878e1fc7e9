// Replays of spooled jobs whose file another program holds (Windows share
// modes).
#include <gtest/gtest.h>
#include <windows.h>
#include "protocol_fixture.h"

// A job file opened elsewhere without sharing (a scanner, the indexer) is a
// wait, logged once, never a finished job; once let go it goes on as usual.
TEST_F(Spool, JobFileHeldElsewhereWaitsAndIsNotCountedDone) {
    WriteJob(0, "\\\\.\\COM199", 9600, "receipt");
    bridge.Statistics[kStatBuffered] = 1;
    HANDLE held = CreateFileA(JobPath(0).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    PrintDispatcher();
    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    std::string log = Log();
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka - blad otwarcia pliku zadania"));
    EXPECT_EQ(0, Count(log, "wydruku nr:0000"));
    CloseHandle(held);

    PrintDispatcher();
    EXPECT_EQ(0, bridge.Statistics[kStatPrinted]);
    log = Log();
    EXPECT_EQ(1, Count(log, "Start wydruku nr:0000"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka - blad otwarcia portu \\\\.\\COM199"));
    EXPECT_EQ(0, Count(log, "Koniec wydruku"));
}
