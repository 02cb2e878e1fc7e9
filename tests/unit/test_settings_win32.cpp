// setup.dat saves on Windows: a save that meets a file held for a moment.
#include <gtest/gtest.h>
#include <windows.h>
#include <chrono>
#include <string>
#include <thread>
#include "base/settings.h"
#include "unit_util.h"

namespace {

bool TemporaryFileExists() {
    for (const auto& entry : std::filesystem::directory_iterator("."))
        if (entry.path().filename().string().find("setup.dat.new-") == 0) return true;
    return false;
}

}  // namespace

// A scanner holds setup.dat without delete sharing: the save waits it out
// and replaces the file once it is let go, and leaves no temporary file.
TEST(SettingsSaveWin32, ReplaceWaitsOutAMomentaryHolder) {
    ScopedWorkDir work;
    WriteFileBytes("setup.dat", "old");
    HANDLE held = CreateFileA("setup.dat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    // Let go once the temporary file has stayed beside it for 150 ms, which
    // only a save that retries does (or at once when it went).
    std::thread holder([&] {
        bool seen = WaitFor(TemporaryFileExists, 5000);
        auto since = std::chrono::steady_clock::now();
        if (seen)
            WaitFor([&] {
                return !TemporaryFileExists() ||
                       std::chrono::steady_clock::now() - since > std::chrono::milliseconds(150);
            }, 1000);
        CloseHandle(held);
    });
    const uint8_t data[] = {'n', 'e', 'w'};
    int error = ReplaceFileWith("setup.dat", data, sizeof data);
    holder.join();
    EXPECT_EQ(0, error);
    EXPECT_EQ("new", ReadFileBytes("setup.dat"));
    EXPECT_FALSE(TemporaryFileExists());
}
