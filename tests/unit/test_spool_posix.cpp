// Replays of spooled jobs by the dispatcher to a pseudo-terminal as the
// printer (POSIX hosts).
#include <gtest/gtest.h>
#include "protocol_fixture.h"
#include "support/pty.h"

struct SpoolPty : Spool {
    kt::Pty pty;
};

TEST_F(SpoolPty, WaitingJobPrintsOnceTheDeviceAppearsAndOtherPortsGoAhead) {
    kt::Pty other;
    other.MapAs(13);
    WriteJob(0, "\\\\.\\COM12", 19200, "receipt-1");
    WriteJob(1, "\\\\.\\COM13", 9600, "other");
    WriteJob(2, "\\\\.\\COM12", 19200, "receipt-2");
    bridge.Statistics[kStatBuffered] = 3;
    PrintDispatcher();  // job 0 waits, job 1 prints
    EXPECT_EQ(1, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("other", other.Read(5, 3000));
    PrintDispatcher();  // job 2 stays behind job 0
    EXPECT_EQ(1, bridge.Statistics[kStatPrinted]);

    pty.MapAs(12);
    PrintDispatcher();
    EXPECT_EQ(2, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("receipt-1", pty.Read(9, 3000));
    // Recorded at 19200 baud: the device was set up at that rate.
    EXPECT_EQ(19200u, pty.Rate());
    PrintDispatcher();
    EXPECT_EQ(3, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("receipt-2", pty.Read(9, 3000));
    EXPECT_FALSE(SerialIsOpen());

    std::string log = Log();
    EXPECT_EQ(1, Count(log, "Start wydruku nr:0000"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 czeka"));
    EXPECT_EQ(1, Count(log, "Wydruk nr:0000 - koniec oczekiwania na port \\\\.\\COM12"));
    EXPECT_EQ(1, Count(log, "Error - blad otwarcia portu COM"));
    // The first try and the open that worked; the quiet retry between adds none.
    EXPECT_EQ(3, Count(log, "baud=19200 data=8 parity=N stop=1"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 OK wyslano 9 bajtow"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0002 OK wyslano 9 bajtow"));
    EXPECT_LT(log.find("Koniec wydruku nr:0001"), log.find("Koniec wydruku nr:0000"));
}

TEST_F(SpoolPty, AlwaysOpenPortIsUsedAndLeftOpenAndAnEmptyJobPrintsNothing) {
    pty.MapAs(3);
    char name[] = "COM3";
    ASSERT_EQ(0, SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0));
    settingsRecord.alwaysOpen = 1;
    ClaimAlwaysOpenPort();
    WriteJob(0, "COM5", 19200, "");
    WriteJob(1, "COM5", 19200, "xyz");
    bridge.Statistics[kStatBuffered] = 2;
    PrintDispatcher();
    PrintDispatcher();
    EXPECT_EQ(2, bridge.Statistics[kStatPrinted]);
    EXPECT_EQ("xyz", pty.Read(3, 3000));
    EXPECT_TRUE(SerialIsOpen());
    EXPECT_FALSE(AlwaysOpenPortClaimed());
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 OK wyslano 0 bajtow"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0001 OK wyslano 3 bajtow"));
    EXPECT_EQ(std::string::npos, log.find("baud=19200"));
}

TEST_F(SpoolPty, ReplayCutShortByThePrinterEndsWithTheErrorLine) {
    // The device is never read: it stops taking bytes when full.
    pty.MapAs(3);
    const int size = 256 * 1024;
    WriteJob(0, "COM3", 9600, std::string(size, 'p'));
    bridge.Statistics[kStatBuffered] = 1;
    PrintDispatcher();
    EXPECT_EQ(1, bridge.Statistics[kStatPrinted]);
    EXPECT_FALSE(SerialIsOpen());
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Error - blad wyslania na port szeregowy"));
    EXPECT_NE(std::string::npos, log.find("Koniec wydruku nr:0000 Error wyslano "));
    EXPECT_EQ(std::string::npos, log.find("Koniec wydruku nr:0000 OK"));
    // Not sent again: no receipt is printed twice.
    PrintDispatcher();
    EXPECT_EQ(1, Count(Log(), "Start wydruku nr:0000"));
}
