// Tray texts: the statistics lines and their counters, the tooltip with its
// addresses, interface and 127-byte cut, and Windows-1250 to UTF-8.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "base/bridge.h"
#include "base/cp1250.h"
#include "base/settings.h"
#include "ui/ui.h"

static const char kZeroStats[] =
    "Po\xB3\xB9"
    "czenia: 0\nAutoroz\xB3\xB9"
    "cz: 0\n\nIl. po\xB3. TCP: 0\nIl. po\xB3. wirt. port\xF3w: 0\n"
    "Il. po\xB3. UDP: 0\nBuforowano: 0\nWydrukowano: 0\n";

struct Tray : ::testing::Test {
    void SetUp() override {
        ResetBridgeState();
        uint8_t image[kSettingsSize];
        DefaultSettingsImage(image);
        SettingsFromImage(image);
    }
};

TEST_F(Tray, StatisticsTextPutsEachCounterOnItsLine) {
    char text[256];
    FormatStatistics(text);
    EXPECT_STREQ(text, kZeroStats);

    // Index order is buffered, printed, connections, auto-disconnects, TCP,
    // UDP, virtual; the lines show them in another order.
    for (int i = 0; i < kStatCount; i++) bridge.Statistics[i] = 100 + i;
    bridge.Statistics[kStatUdpDatagrams] = -7;
    FormatStatistics(text);
    EXPECT_STREQ(text,
                 "Po\xB3\xB9"
                 "czenia: 102\nAutoroz\xB3\xB9"
                 "cz: 103\n\nIl. po\xB3. TCP: 104\nIl. po\xB3. wirt. port\xF3w: 106\n"
                 "Il. po\xB3. UDP: -7\nBuforowano: 100\nWydrukowano: 101\n");

    // The widest counters still fit the 256-byte buffer whole.
    for (int i = 0; i < kStatCount; i++) bridge.Statistics[i] = INT32_MIN;
    FormatStatistics(text);
    EXPECT_EQ(std::string(text).substr(strlen(text) - 25), "Wydrukowano: -2147483648\n");
}

TEST_F(Tray, TooltipWithoutAddressesFitsWhole) {
    char text[256], tip[128];
    FormatStatistics(text);
    BuildTooltip(text, tip);
    EXPECT_EQ(strlen(tip), 120u);
    EXPECT_EQ(std::string(tip), std::string("IP:\n") + kZeroStats);

    // No text: an empty tooltip, not even "IP:".
    BuildTooltip(nullptr, tip);
    EXPECT_STREQ(tip, "");
}

TEST_F(Tray, TooltipIsCutAt127BytesInsideTheLastLine) {
    strcpy(bridge.localAddresses[0], "192.168.1.10");
    char text[256], tip[128];
    FormatStatistics(text);
    BuildTooltip(text, tip);
    std::string full = std::string("IP:\n192.168.1.10\n") + kZeroStats;
    ASSERT_GT(full.size(), 127u);
    EXPECT_EQ(std::string(tip), full.substr(0, 127));
    EXPECT_EQ(std::string(tip).substr(118), "Wydrukowa");
}

TEST_F(Tray, TooltipSkipsEmptyEntriesAndNamesTheInterface) {
    strcpy(bridge.localAddresses[0], "10.0.0.1");
    strcpy(bridge.localAddresses[3], "10.0.0.4");
    // A full 16-byte entry without its terminator never runs into the next.
    memcpy(bridge.localAddresses[9], "255.255.255.2555", 16);
    SetSettingsText(settingsRecord.interfaceAddress, sizeof settingsRecord.interfaceAddress,
                    "127.0.0.1");
    char tip[128];
    BuildTooltip("x", tip);
    EXPECT_STREQ(tip, "IP:\n10.0.0.1\n10.0.0.4\n255.255.255.2555\nInterface: 127.0.0.1\nx");

    // A long caller text is cut at 127 bytes too.
    std::string longText(300, 'a');
    BuildTooltip(longText.c_str(), tip);
    EXPECT_EQ(strlen(tip), 127u);
}

TEST(Cp1250, PolishLettersBecomeUtf8AndUndefinedBytesAQuestionMark) {
    char out[256];
    Cp1250ToUtf8("\xB1\xB9\xEA\xB3\xF1\xF3\x9C\x9F\xBF\xA5\xCA\xA3\xD1\xD3\x8C\x8F\xAF\xC6\xE6", out,
                 sizeof out);
    // 0xB1 is the plus-minus sign in this code page; a-ogonek is 0xB9.
    EXPECT_STREQ(out, "\xC2\xB1\xC4\x85\xC4\x99\xC5\x82\xC5\x84\xC3\xB3\xC5\x9B\xC5\xBA\xC5\xBC"
                      "\xC4\x84\xC4\x98\xC5\x81\xC5\x83\xC3\x93\xC5\x9A\xC5\xB9\xC5\xBB\xC4\x86\xC4\x87");
    Cp1250ToUtf8("a\x81" "b\x80", out, sizeof out);
    EXPECT_STREQ(out, "a?b\xE2\x82\xAC");
}

TEST(Cp1250, SmallBufferNeverSplitsACharacter) {
    char out[4];
    Cp1250ToUtf8("a\xB3\xB3", out, sizeof out);  // a + two 2-byte letters
    EXPECT_STREQ(out, "a\xC5\x82");
    char one[1] = {'z'};
    Cp1250ToUtf8("abc", one, sizeof one);
    EXPECT_EQ(one[0], 0);
}

// The wide form: every byte comes back as it was (the five undefined ones
// too), and a character the code page lacks has no byte.
TEST(Cp1250, EveryByteSurvivesTheWideFormAndForeignCharactersAreRefused) {
    for (int b = 1; b < 256; b++) EXPECT_EQ(UnitToCp1250(Cp1250ToUnit((unsigned char)b)), b) << b;
    EXPECT_EQ(Cp1250ToUnit(0xB3), u'\u0142');  // l with stroke
    EXPECT_EQ(Cp1250ToUnit(0xB9), u'\u0105');  // a-ogonek
    EXPECT_EQ(Cp1250ToUnit(0x80), u'\u20AC');
    EXPECT_EQ(Cp1250ToUnit(0x81), u'\u0081');
    EXPECT_EQ(UnitToCp1250(u'\u00F1'), -1);  // n-tilde: 0xF1 is n-acute here
    EXPECT_EQ(UnitToCp1250(u'\u0080'), -1);
    EXPECT_EQ(UnitToCp1250(u'\u00B3'), -1);  // superscript three, 0xB3 in 1252
    EXPECT_EQ(UnitToCp1250((char16_t)0xD83D), -1);
}
