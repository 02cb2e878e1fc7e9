// A small Windows helper that drives the running tray application for the
// GUI tests under Wine: finds its hidden window by class, posts menu commands,
// reads and sets dialog fields, presses buttons, dismisses message boxes.
// Every wait is bounded; the exit code is 0 when the step succeeded.
//   kdriver find MS                 wait for the main window
//   kdriver gone MS                 wait until the main window has gone
//   kdriver command ID [CAPTION MS] post WM_COMMAND ID; with CAPTION, repost
//                                   until that dialog is open (bounded)
//   kdriver post MSG WPARAM LPARAM  post any message to the main window
//   kdriver dismiss CAPTION MS      print a message box's text, press OK
//   kdriver menu MOUSEMSG MS [KEY]  send the tray callback with a mouse
//                                   message; 0 when a popup menu shows, which
//                                   is then closed (Escape), given KEY, or
//                                   left open (KEY "-")
//   kdriver close-menu              closes an open popup menu (Escape)
//   kdriver taskbar-created         tell the window the shell restarted
//   kdriver cursor X Y              move the mouse pointer (screenshots)
//   kdriver rect CLASS [CAPTION]    print a window's screen rectangle
//   kdriver dialog CAPTION OP...    act on an open dialog, in order:
//       get:ID  state:ID  enabled:ID  count:ID  dump
//       set:ID=TEXT  check:ID=0|1  press:ID  wait:MS  gone:MS
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>

static HWND FindByClass(const char* cls) {
    return FindWindowA(cls, nullptr);
}

static HWND WaitWindow(const char* cls, const char* caption, int ms) {
    DWORD end = GetTickCount() + (DWORD)ms;
    for (;;) {
        HWND w = FindWindowA(cls, caption);
        if (w) return w;
        if ((int)(GetTickCount() - end) >= 0) return nullptr;
        Sleep(20);
    }
}

static bool WaitGone(const char* cls, const char* caption, int ms) {
    DWORD end = GetTickCount() + (DWORD)ms;
    for (;;) {
        if (!FindWindowA(cls, caption)) return true;
        if ((int)(GetTickCount() - end) >= 0) return false;
        Sleep(20);
    }
}

// WM_GETTEXT itself: GetWindowTextA does not read controls of other processes.
static std::string Text(HWND w) {
    char buf[1024] = "";
    SendMessageA(w, WM_GETTEXT, sizeof buf, (LPARAM)buf);
    return buf;
}

static BOOL CALLBACK DumpChild(HWND child, LPARAM) {
    char cls[64] = "";
    GetClassNameA(child, cls, sizeof cls);
    int id = GetDlgCtrlID(child);
    printf("%d|%s|%s|check=%d|enabled=%d\n", id, cls, Text(child).c_str(),
           (int)SendMessageA(child, BM_GETCHECK, 0, 0), IsWindowEnabled(child) ? 1 : 0);
    return TRUE;
}

static int DialogOps(HWND dialog, int argc, char** argv, int first) {
    for (int i = first; i < argc; i++) {
        std::string op = argv[i];
        size_t colon = op.find(':');
        std::string verb = op.substr(0, colon);
        std::string rest = colon == std::string::npos ? "" : op.substr(colon + 1);
        int id = atoi(rest.c_str());
        HWND control = GetDlgItem(dialog, id);
        if (verb == "dump") {
            EnumChildWindows(dialog, DumpChild, 0);
        } else if (verb == "get") {
            printf("%d=%s\n", id, Text(control).c_str());
        } else if (verb == "state") {
            printf("%d=%d\n", id, (int)SendMessageA(control, BM_GETCHECK, 0, 0));
        } else if (verb == "enabled") {
            printf("%d=%d\n", id, IsWindowEnabled(control) ? 1 : 0);
        } else if (verb == "count") {
            printf("%d=%d\n", id, (int)SendMessageA(control, CB_GETCOUNT, 0, 0));
        } else if (verb == "set") {
            std::string text = rest.substr(rest.find('=') + 1);
            if (!control || !SendMessageA(control, WM_SETTEXT, 0, (LPARAM)text.c_str())) {
                fprintf(stderr, "kdriver: cannot set %d\n", id);
                return 1;
            }
        } else if (verb == "check") {
            int on = atoi(rest.substr(rest.find('=') + 1).c_str());
            // As a click would: the new state, then the notification.
            SendMessageA(control, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
        } else if (verb == "press") {
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
        } else if (verb == "wait") {
            Sleep((DWORD)id);
        } else if (verb == "gone") {
            DWORD end = GetTickCount() + (DWORD)id;
            while (IsWindow(dialog) && (int)(GetTickCount() - end) < 0) Sleep(20);
            if (IsWindow(dialog)) {
                fprintf(stderr, "kdriver: dialog still open\n");
                return 1;
            }
        } else {
            fprintf(stderr, "kdriver: unknown step %s\n", op.c_str());
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return 2;
    std::string what = argv[1];
    if (what == "find") {
        return WaitWindow("Kestrun", nullptr, argc > 2 ? atoi(argv[2]) : 10000) ? 0 : 1;
    }
    if (what == "gone") {
        return WaitGone("Kestrun", nullptr, argc > 2 ? atoi(argv[2]) : 10000) ? 0 : 1;
    }
    if (what == "command" && argc >= 3) {
        int id = atoi(argv[2]);
        const char* caption = argc > 3 ? argv[3] : nullptr;
        int ms = argc > 4 ? atoi(argv[4]) : 10000;
        DWORD end = GetTickCount() + (DWORD)ms;
        // A command posted right after start-up is now and then lost; repost
        // until its dialog shows, but never while one is already open.
        for (int tries = 0; tries < 20; tries++) {
            HWND main = FindByClass("Kestrun");
            if (!main) return 1;
            if (caption && FindWindowA("#32770", caption)) return 0;
            PostMessageA(main, WM_COMMAND, (WPARAM)id, 0);
            if (!caption) return 0;
            if (WaitWindow("#32770", caption, 1500)) return 0;
            if ((int)(GetTickCount() - end) >= 0) break;
        }
        return 1;
    }
    if (what == "post" && argc >= 5) {
        HWND main = FindByClass("Kestrun");
        if (!main) return 1;
        return PostMessageA(main, (UINT)strtoul(argv[2], nullptr, 0), (WPARAM)strtoul(argv[3], nullptr, 0),
                            (LPARAM)strtol(argv[4], nullptr, 0))
                   ? 0
                   : 1;
    }
    if (what == "menu" && argc >= 4) {
        HWND main = FindByClass("Kestrun");
        if (!main) return 1;
        LPARAM mouse = (LPARAM)strtol(argv[2], nullptr, 0);
        DWORD end = GetTickCount() + (DWORD)atoi(argv[3]);
        HWND menu = nullptr;
        // Reposted every 1.5 s while no menu shows (a post can be missed).
        DWORD repost = GetTickCount();
        while (!menu && (int)(GetTickCount() - end) < 0) {
            if ((int)(GetTickCount() - repost) >= 0) {
                PostMessageA(main, WM_APP + 100, 1000, mouse);
                repost = GetTickCount() + 1500;
            }
            HWND w = FindWindowA("#32768", nullptr);
            if (w && IsWindowVisible(w)) menu = w;
            else Sleep(20);
        }
        if (!menu) return 1;
        if (argc > 4 && strcmp(argv[4], "-") == 0) return 0;  // left open
        if (argc > 4) {
            PostMessageA(menu, WM_KEYDOWN, (WPARAM)(unsigned char)toupper(argv[4][0]), 0);
            PostMessageA(menu, WM_CHAR, (WPARAM)(unsigned char)argv[4][0], 0);
        } else {
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        }
        return 0;
    }
    if (what == "close-menu") {
        HWND menu = FindWindowA("#32768", nullptr);
        if (!menu || !IsWindowVisible(menu)) return 1;
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        return 0;
    }
    if (what == "cursor" && argc >= 4) {
        return SetCursorPos(atoi(argv[2]), atoi(argv[3])) ? 0 : 1;
    }
    if (what == "rect" && argc >= 3) {
        HWND w = WaitWindow(argv[2], argc > 3 ? argv[3] : nullptr, 5000);
        RECT r;
        if (!w || !GetWindowRect(w, &r)) return 1;
        printf("rect=%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return 0;
    }
    if (what == "taskbar-created") {
        HWND main = FindByClass("Kestrun");
        if (!main) return 1;
        return PostMessageA(main, RegisterWindowMessageA("TaskbarCreated"), 0, 0) ? 0 : 1;
    }
    if (what == "dismiss" && argc >= 4) {
        HWND box = WaitWindow("#32770", argv[2], atoi(argv[3]));
        if (!box) return 1;
        HWND child = nullptr;
        while ((child = FindWindowExA(box, child, "Static", nullptr)) != nullptr) {
            std::string t = Text(child);
            if (!t.empty()) printf("text=%s\n", t.c_str());
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return WaitGone("#32770", argv[2], 5000) ? 0 : 1;
    }
    if (what == "dialog" && argc >= 3) {
        HWND dialog = WaitWindow("#32770", argv[2], 5000);
        if (!dialog) {
            fprintf(stderr, "kdriver: no dialog %s\n", argv[2]);
            return 1;
        }
        return DialogOps(dialog, argc, argv, 3);
    }
    return 2;
}
