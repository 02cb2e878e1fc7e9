// The communication log as it lands in the file: entry shape, elapsed time
// format, CR LF, dumps, escaping, the timer arithmetic and concurrent writers.
#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>
#include "base/settings.h"
#include "log/log.h"
#include "unit_util.h"

static void UseLog(const char* path) {
    LogSetPath(path);
}

TEST(Log, EmptyPathOrTextWritesNothing) {
    ScopedWorkDir wd;
    UseLog("");
    LogText("Serial Off - start");
    const uint8_t data[] = {1, 2, 3};
    LogDump("TCP/UDP receive:", data, 3);
    EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::current_path()));
    UseLog("k.log");
    LogText("");
    EXPECT_FALSE(std::filesystem::exists("k.log"));
    UseLog("");
}

TEST(Log, EntryShapeBeforeTheTimerRunsAndCrLfForEveryLineFeed) {
    ScopedWorkDir wd;
    UseLog("k.log");
    LogText("Serwer TCP On - Start");
    LogText("two\nlines");
    UseLog("");
    std::string s = ReadFileBytes("k.log");
    std::regex shape(
        "\r\n[0-2][0-9]:[0-5][0-9]:[0-5][0-9] [01][0-9]/[0-3][0-9]/[0-9][0-9] \\+ 0\\.00 msek\\. "
        "Serwer TCP On - Start"
        "\r\n[0-9:]{8} [0-9/]{8} \\+ 0\\.00 msek\\. two\r\nlines");
    EXPECT_TRUE(std::regex_match(s, shape)) << s;
}

TEST(Log, ElapsedMillisecondsAfterRestartAndPercentSignsVerbatim) {
    ScopedWorkDir wd;
    UseLog("k.log");
    PerfTimerRestart();
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    LogText("100% %s %d");
    UseLog("");
    std::string s = ReadFileBytes("k.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(s, m, std::regex("\\+([ 0-9]{2,}\\.[0-9]{2}) msek\\. 100% %s %d$")))
        << s;
    EXPECT_GE(std::stod(m[1].str()), 14.0);
}

TEST(Log, TimerArithmeticIsExactWithoutOverflow) {
    EXPECT_EQ(PerfTicksToMicros(0, 0), 0);
    EXPECT_EQ(PerfTicksToMicros(1500, 1000000), 1500);
    EXPECT_EQ(PerfTicksToMicros(3, 3000000000LL), 0);
    // Several hours on a multi-gigahertz counter: a naive product overflows.
    const int64_t f = 3000000000LL;
    EXPECT_EQ(PerfTicksToMicros(f * 36000 + 1500, f), 36000LL * 1000000);
    EXPECT_EQ(PerfTicksToMicros(f * 36000 + 3000, f), 36000LL * 1000000 + 1);
    EXPECT_EQ(PerfTicksToMicros(INT64_MAX, 1000000000), INT64_MAX / 1000);
    // A counter faster than 9.2 THz, and gaps beyond 64 bits of microseconds.
    EXPECT_EQ(PerfTicksToMicros(INT64_MAX - 1, INT64_MAX), 999999);
    EXPECT_EQ(PerfTicksToMicros(INT64_MAX, 1), INT64_MAX);
    EXPECT_EQ(PerfTicksToMicros(INT64_MIN, 1), INT64_MIN);
}

TEST(Log, ElapsedFieldShapes) {
    // The entry pattern's number field for the three widths.
    char buf[64];
    snprintf(buf, sizeof buf, "+%5.2f", 1500 / 1000.0);
    EXPECT_STREQ(buf, "+ 1.50");
    snprintf(buf, sizeof buf, "+%5.2f", 123456 / 1000.0);
    EXPECT_STREQ(buf, "+123.46");
    snprintf(buf, sizeof buf, "+%5.2f", 12340 / 1000.0);
    EXPECT_STREQ(buf, "+12.34");
}

TEST(Log, EscapeBytesOverAllByteValues) {
    for (int b = 0; b < 256; b++) {
        uint8_t byte = (uint8_t)b;
        char out[6];
        EscapeBytes(&byte, 1, out);
        std::string expect;
        if (b == 0x0A) expect = "[LF]";
        else if (b == 0x0D) expect = "[CR]";
        else if (b == 0x1B) expect = "[ESC]";
        else if (b >= 0x20 && b <= 0x7F) expect = std::string(1, (char)b);
        else {
            snprintf(out, sizeof out, "[%02X]", b);
            expect = out;
            EscapeBytes(&byte, 1, out);
        }
        EXPECT_EQ(std::string(out), expect) << "byte " << b;
    }
}

TEST(Log, DumpFollowsItsHeaderAndLargeDumpsAreWhole) {
    ScopedWorkDir wd;
    UseLog("k.log");
    const uint8_t cmd[] = {0x1B, 'C', 'O', 'M', '3', 0x0D};
    LogDump("TCP/UDP receive:", cmd, 6);
    std::vector<uint8_t> esc(1023, 0x1B);
    LogDump("Wirtualny:", esc.data(), (int)esc.size());
    UseLog("");
    std::string s = ReadFileBytes("k.log");
    EXPECT_NE(s.find("msek. TCP/UDP receive:[ESC]COM3[CR]\r\n"), std::string::npos) << s;
    size_t at = s.find("msek. Wirtualny:");
    ASSERT_NE(at, std::string::npos);
    std::string rest = s.substr(at + strlen("msek. Wirtualny:"));
    std::string all;
    for (int i = 0; i < 1023; i++) all += "[ESC]";
    EXPECT_EQ(rest, all);
}

TEST(Log, ManyThreadsLeaveOnlyWholeLines) {
    ScopedWorkDir wd;
    UseLog("k.log");
    PerfTimerRestart();
    std::vector<std::thread> threads;
    const int kThreads = 8, kLines = 200;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++) {
                std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                   " " + std::string(40, (char)('a' + t));
                if (i % 10 == 0) {
                    std::vector<uint8_t> d(50, (uint8_t)('a' + t));
                    LogDump("TCP/UDP receive:", d.data(), 50);
                } else {
                    LogText(text.c_str());
                }
            }
        });
    for (auto& th : threads) th.join();
    UseLog("");
    std::string s = ReadFileBytes("k.log");
    std::regex line("[0-9:]{8} [0-9/]{8} \\+[ 0-9]*[0-9]\\.[0-9]{2} msek\\. "
                    "(thread ([0-7]) line [0-9]+ ([a-h])\\3{39}|TCP/UDP receive:([a-h])\\4{49})");
    size_t count = 0, pos = 2;
    ASSERT_EQ(s.substr(0, 2), "\r\n");
    while (pos <= s.size()) {
        size_t end = s.find("\r\n", pos);
        if (end == std::string::npos) end = s.size();
        std::string one = s.substr(pos, end - pos);
        EXPECT_TRUE(std::regex_match(one, line)) << one;
        count++;
        pos = end + 2;
    }
    EXPECT_EQ(count, (size_t)(kThreads * kLines));
}

TEST(Log, ALogThatCannotMoveGoesOnGrowingAndSaysSoOnce) {
    ScopedWorkDir wd;
    // A folder in the way of k.log.1: neither removed nor replaced.
    std::filesystem::create_directories("k.log.1/kept");
    UseLog("k.log");
    LogSetMaxBytes(500);
    for (int i = 0; i < 40; i++) LogText(std::string(40, 'x').c_str());
    LogSetMaxBytes(0);
    UseLog("");
    std::string s = ReadFileBytes("k.log");
    EXPECT_EQ(Count(s, std::string(40, 'x')), 40);
    EXPECT_EQ(Count(s, "msek. Error - log przekroczyl 500 bajtow, blad zmiany nazwy na k.log.1\r\n"), 1) << s;
    EXPECT_TRUE(std::filesystem::exists("k.log.1/kept"));
}
