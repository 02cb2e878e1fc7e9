// The Windows tray application: its WinMain, one instance, the hidden main
// window and its procedure (timer, tray menu commands, dialogs), the message
// loop and the shutdown when the window is destroyed.
// Twin: app_posix.cpp (the Linux daemon).
#include <windows.h>
#include <shellapi.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "core/core.h"
#include "core/options.h"
#include "log/log.h"
#include "ui/resource.h"
#include "ui/ui.h"
#include "ui/ui_win32.h"

enum : UINT { kTickMs = 300 };
// The housekeeping timer's ID: KillTimer takes the ID, not what SetTimer
// returned.
enum : UINT_PTR { kHousekeepingTimerId = 1 };
static const char kClassName[] = "Kestrun";

// The hidden main window: owner of the tray icon, the timer and the dialogs.
// Atomic because RequestShutdown posts to it from server threads.
static std::atomic<HWND> mainWindow{nullptr};
// Main thread only.
static bool housekeepingTimer = false;
static UINT taskbarCreatedMessage;
// Set once the end banner is logged, so that it is logged once only.
static bool endLogged = false;

// One copy runs per machine, across sessions and beside any other mode:
// the mutex is named in the Global\ namespace, and its handle stays open
// until the process ends.
static const char kInstanceMutexName[] = "Global\\Kestrun";

// True when another copy holds the mutex. Access denied means that a copy
// under another account (another session) made it.
static bool AnotherInstanceRuns() {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
    DWORD error = GetLastError();
    if (!mutex) return error == ERROR_ACCESS_DENIED;
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return true;
    }
    return false;
}

// A dialog's OK: the record takes what the user chose, setup.dat is saved,
// then what changed restarts (compared with the record as it was at OK). A
// save that failed left the old file; the settings still run until the end,
// and the user is told that they were not stored.
static void TakeSettings(const uint8_t chosen[kSettingsSize], bool virtualPorts) {
    uint8_t snapshot[kSettingsSize];
    SettingsToImage(snapshot);
    SettingsFromImage(chosen);
    LogSetPath(settingsRecord.logPath);
    int error = StoreSettings();
    if (virtualPorts)
        ApplyVirtualPortsChange(snapshot);
    else
        ApplySettingsChange(snapshot);
    if (error) {
        char text[256];
        snprintf(text, sizeof text,
                 "Nie zapisano ustawie\xF1 w pliku setup.dat (kod: %d).\n"
                 "Plik zachowa\xB3 poprzednie ustawienia; nowe dzia\xB3" "aj\xB9 do zamkni\xEA" "cia programu.",
                 error);
        MessageBoxA(mainWindow.load(), text, "uwaga", MB_OK | MB_ICONWARNING);
    }
}

static void OnMainWindowDestroyed(HWND window) {
    if (housekeepingTimer) KillTimer(window, kHousekeepingTimerId);
    housekeepingTimer = false;
    TrayIconUpdate(kTrayDelete, kIconNone, nullptr);
    // From here on a late KILL or tray refresh finds no window.
    mainWindow = nullptr;
    TraySetWindow(nullptr);
    ShutdownServices();
    DestroyTrayIcons();
    PostQuitMessage(0);
}

static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarCreatedMessage && message == taskbarCreatedMessage) {
        // The shell restarted and forgot the icon: put it back as it was.
        RefreshTray(kTrayAdd);
        return 0;
    }
    uint8_t chosen[kSettingsSize];
    switch (message) {
    case WM_CREATE:
        taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
        // An elevated copy still hears it from the (unelevated) shell.
        if (taskbarCreatedMessage)
            ChangeWindowMessageFilterEx(window, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_DESTROY:
        OnMainWindowDestroyed(window);
        return 0;
    case WM_QUERYENDSESSION:
        // The bridge never holds up a logoff or a shutdown.
        return TRUE;
    case WM_ENDSESSION:
        // Once this returns the process may be ended at any moment: the
        // whole shutdown runs here, not in the message loop.
        if (wParam) {
            DestroyWindow(window);
            if (!endLogged) EndBanner();
            endLogged = true;
        }
        return 0;
    case WM_TIMER:
        HousekeepingTick();
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_ABOUT:
            RunAboutDialog(window);
            return 0;
        case IDC_EXIT:
            DestroyWindow(window);
            return 0;
        case IDC_VIRTUAL_PORTS:
            if (RunVirtualPortsDialog(window, chosen) == kDialogOk) TakeSettings(chosen, true);
            return 0;
        case IDC_SETTINGS: {
            int end = RunSettingsDialog(window, chosen);
            if (end == kDialogOk) TakeSettings(chosen, false);
            // Posted: the window closes once back in the message loop.
            if (end == kDialogShutdown) RequestShutdown();
            // However the dialog closed; not when the program is ending.
            if (IsWindow(window) && mainWindow == window) RefreshTray(kTrayModify);
            return 0;
        }
        default:
            return DefWindowProcA(window, message, wParam, lParam);
        }
    case kTrayCallback:
        if (LOWORD(lParam) == WM_RBUTTONDOWN) ShowTrayMenu(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// ---- The command line ----

static std::wstring Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring wide((size_t)(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0], n);
    return wide;
}

// The arguments as UTF-8, whatever the ANSI code page.
static std::vector<std::string> CommandLineArguments() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return arguments;
    for (int i = 0; i < count; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string utf8((size_t)(n > 0 ? n : 1), '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &utf8[0], n, nullptr, nullptr);
        utf8.resize(strlen(utf8.c_str()));
        arguments.push_back(utf8);
    }
    LocalFree(wide);
    return arguments;
}

// Shows text where whoever started the program sees it: its redirected
// output or error stream, else the console it was started from, else a
// message box (a GUI program has no console of its own).
static void ShowCommandLineText(const std::string& utf8, bool error) {
    if (utf8.empty()) return;
    HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    bool attached = false;
    if (!out || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) {
        out = nullptr;
        if (AttachConsole(ATTACH_PARENT_PROCESS)) {
            attached = true;
            out = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (out == INVALID_HANDLE_VALUE) out = nullptr;
        }
    }
    DWORD mode, written;
    if (out && GetConsoleMode(out, &mode)) {
        std::wstring wide = Wide(utf8);
        WriteConsoleW(out, wide.data(), (DWORD)wide.size(), &written, nullptr);
    } else if (out) {
        WriteFile(out, utf8.data(), (DWORD)utf8.size(), &written, nullptr);
    } else {
        MessageBoxW(nullptr, Wide(utf8).c_str(), L"Kestrun",
                    MB_OK | (error ? MB_ICONWARNING : MB_ICONINFORMATION));
    }
    if (attached) {
        if (out) CloseHandle(out);
        FreeConsole();
    }
}

// --set: the fields given, into setup.dat of the working folder.
static int SetFields(const ProgramOptions& options) {
    std::vector<const char*> fields;
    for (const std::string& field : options.sets) fields.push_back(field.c_str());
    uint8_t image[kSettingsSize];
    std::string messages;
    int status = EditSetupFile("setup.dat", fields.data(), (int)fields.size(), image, "kestrun.exe", messages);
    ShowCommandLineText(messages, true);
    return status;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    // A wrong command line starts nothing: exit status 2, as the daemon's.
    std::vector<std::string> arguments = CommandLineArguments();
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    ProgramOptions options;
    std::string text;
    int status = ParseProgramOptions((int)argv.size(), argv.data(), kWindowsOptions, options, text);
    if (status >= 0) {
        ShowCommandLineText(text, status != 0);
        return status;
    }
    if (!options.directory.empty() && !SetCurrentDirectoryW(Wide(options.directory).c_str())) {
        ShowCommandLineText("kestrun.exe: -C " + options.directory + ": error " + std::to_string(GetLastError()) +
                                "\n",
                            true);
        return 1;
    }
    if (!options.sets.empty()) return SetFields(options);
    // Taken before anything else, so that two copies started together
    // cannot both pass.
    if (AnotherInstanceRuns()) {
        MessageBoxA(nullptr, "Kestrun mo\xBF" "e by\xE6 uruchomiony tylko jeden raz!", "uwaga",
                    MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    ApplyProgramOptions(options);
    StartupBegin();

    char title[101] = "";
    LoadStringA(instance, IDS_TITLE, title, 100);

    WNDCLASSEXA wc;
    memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLOSED));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    wc.hbrBackground = (HBRUSH)GetStockObject(NULL_BRUSH);
    wc.lpszClassName = kClassName;
    RegisterClassExA(&wc);

    HWND window = CreateWindowExA(0, kClassName, title, WS_POPUP, 100, 100, 100, 100, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) return 0;
    mainWindow = window;
    TraySetWindow(window);
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDA_MAIN));

    BridgeConnect(RequestShutdown);
    StartupServices();

    TrayIconUpdate(kTrayAdd, kIconNone, nullptr);
    LoadTrayIcons(instance);
    TrayIconUpdate(kTrayModify, kIconActivity, "Quenlor Kestrun");
    housekeepingTimer = SetTimer(window, kHousekeepingTimerId, kTickMs, nullptr) != 0;

    StartAlwaysOpenPort();

    MSG msg;
    memset(&msg, 0, sizeof msg);
    // GetMessageA gives -1 on an error; only a positive result is a message.
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!accelerators || !TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (!endLogged) EndBanner();
    endLogged = true;
    return (int)msg.wParam;
}

// Posted, never sent: KILL arrives on a server thread, and the main thread
// joins the server threads while it shuts down.
void RequestShutdown() {
    HWND window = mainWindow;
    if (window) PostMessageA(window, WM_CLOSE, 0, 0);
}
