// The Windows tray application's start-up, message loop and end: one
// instance, a hidden main window, the tray icon and the 300 ms timer.
// Twin: app_posix.cpp (the Linux daemon).
#include <windows.h>
#include <cstring>
#include "core/bridge.h"
#include "core/core.h"
#include "ui/resource.h"
#include "ui/ui.h"
#include "ui/ui_win32.h"

static const char kClassName[] = "Kestrun";

struct FindWindowSearch {
    const char* className;
    HWND found;
};

static BOOL CALLBACK MatchWindowClass(HWND window, LPARAM param) {
    FindWindowSearch* search = (FindWindowSearch*)param;
    char name[300];
    if (GetClassNameA(window, name, sizeof name) > 0 && strcmp(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The first top-level window of className, of any process, or null.
static HWND FindAppWindow(const char* className) {
    FindWindowSearch search = {className, nullptr};
    EnumWindows(MatchWindowClass, (LPARAM)&search);
    return search.found;
}

int KestrunMain() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (FindAppWindow(kClassName)) {
        MessageBoxA(nullptr, "Kestrun mo\xBF" "e by\xE6 uruchomiony tylko jeden raz!", "uwaga",
                    MB_OK | MB_ICONINFORMATION);
        return 0;
    }
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
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDA_MAIN));

    StartupServices();

    TrayIconUpdate(kTrayAdd, kIconNone, nullptr);
    LoadTrayIcons(instance);
    TrayIconUpdate(kTrayModify, kIconActivity, "Quenlor Kestrun");
    housekeepingTimer = SetTimer(window, 0, kTickMs, nullptr);

    StartupAlwaysOpen();

    MSG msg;
    memset(&msg, 0, sizeof msg);
    // GetMessageA gives -1 on an error; only a positive result is a message.
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!accelerators || !TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    EndBanner();
    return (int)msg.wParam;
}

// Posted, never sent: KILL arrives on a server thread, and the main thread
// joins the server threads while it shuts down.
void RequestShutdown() {
    HWND window = mainWindow;
    if (window) PostMessageA(window, WM_CLOSE, 0, 0);
}
