// The tray's texts as the wide calls get them on Windows.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "ui/ui_win32.h"

// The tooltip the shell gets, and a text through a control and back: Polish
// letters whole, the cut at the buffer, and a foreign character refused.
TEST(TrayWide, TextsKeepThePolishLetters) {
    ResetBridgeState();
    uint8_t image[kSettingsSize];
    DefaultSettingsImage(image);
    SettingsFromImage(image);
    char text[256];
    FormatStatistics(text);
    wchar_t tip[kTooltipMax + 1];
    BuildWideTooltip(text, tip);
    EXPECT_EQ(std::wstring(tip).substr(0, 29), L"IP:\nPo\u0142\u0105czenia: 0\nAutoroz\u0142\u0105cz");
    EXPECT_EQ(wcslen(tip), 120u);

    char all[256];
    for (int b = 1; b < 256; b++) all[b - 1] = (char)b;
    all[255] = 0;
    wchar_t wide[256];
    WideFrom1250(all, wide, 256);
    char back[256];
    ASSERT_TRUE(Cp1250FromWide(wide, back, sizeof back));
    EXPECT_EQ(std::string(back), std::string(all));

    WideFrom1250(all, wide, 4);
    EXPECT_EQ(std::wstring(wide), L"\x01\x02\x03");
    ASSERT_TRUE(Cp1250FromWide(L"\u017C\u00F3\u0142\u0107", back, 3));
    EXPECT_STREQ(back, "\xBF\xF3");
    EXPECT_FALSE(Cp1250FromWide(L"A\u00F1o", back, sizeof back));
    EXPECT_STREQ(back, "");
}
