// A small Windows helper that drives the running tray application for the
// GUI tests under Wine: finds its hidden window by class, posts menu commands,
// reads and sets dialog fields, presses buttons, dismisses message boxes.
// Every wait is bounded.
//   kdriver find MS                 wait for the main window
//   kdriver gone MS                 wait until the main window has gone
//   kdriver command ID [CAPTION MS] post WM_COMMAND ID; with CAPTION, repost
//                                   until that dialog is open (bounded)
//   kdriver post MSG WPARAM LPARAM  post any message to the main window
//   kdriver send MSG WPARAM LPARAM MS  send it and wait up to MS for the
//                                   answer, which is printed
//   kdriver dismiss CAPTION MS      print a message box's text, press OK
//   kdriver service-control NAME CODE  send control CODE to service NAME
//                                   (Wine's sc has no "control")
//   kdriver hold-mutex NAME FILE MS hold mutex NAME, make FILE, then dismiss
//                                   the "uwaga" box (as dismiss)
//   kdriver menu MOUSEMSG MS [KEY]  send the tray callback with a mouse
//                                   message; 0 when a popup menu shows, which
//                                   is then closed (Escape), given KEY, or
//                                   left open (KEY "-")
//   kdriver close-menu              closes an open popup menu (Escape)
//   kdriver taskbar-created         tell the window the shell restarted
//   kdriver cursor X Y              move the mouse pointer (screenshots)
//   kdriver rect CLASS [CAPTION]    print a window's screen rectangle
//   kdriver acp                     print this process's ANSI code page
//   kdriver dialog CAPTION OP...    act on an open dialog, in order:
//       get:ID  state:ID  enabled:ID  count:ID  dump
//       set:ID=TEXT  check:ID=0|1  press:ID  wait:MS
//       wget:ID  wset:ID=TEXT  as get and set, but through the wide calls
//                with the text as UTF-8, whatever this program's code page
//       gone:MS  until no dialog with CAPTION is left and the main window
//                answers again; the last press is repeated while it stays
//
// Exit codes: 0 when the step succeeded, else one of its own, all 10 or
// above, so that any other code (1 among them) is a failure of Wine to run
// it at all:
//   10 no main window         the program's window is not there
//   11 no dialog              the dialog, message box or window asked for
//                             never appeared
//   12 still open             a dialog, message box or the main window did
//                             not go in time
//   13 set failed             a set: or check: did not take
//   14 no menu                no popup menu showed
//   15 not answering          the dialog went but the main window did not
//                             answer in time
//   16 call failed            a post or another Windows call failed
//   17 usage                  unknown command or step
// Before its first change to the program's state (a post, a set, a press,
// a pointer move) a run writes "kdriver: acting" on stderr: a run that
// failed without that line changed nothing and may be run again.
#include <windows.h>
#include <shellapi.h>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>

static const int kOk = 0;
static const int kNoMainWindow = 10;
static const int kNoDialog = 11;
static const int kStillOpen = 12;
static const int kSetFailed = 13;
static const int kNoMenu = 14;
static const int kNotAnswering = 15;
static const int kCallFailed = 16;
static const int kUsage = 17;

// A press is now and then lost under Wine; gone: repeats it this often.
static const int kRepressMs = 1500;

// Writes the "acting" line once, before the run first changes anything.
static void Acting() {
    static bool written = false;
    if (written) return;
    written = true;
    fputs("kdriver: acting\n", stderr);
    fflush(stderr);
}

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

// A dialog's window exists before its controls are made; it is shown once
// they are, after WM_INITDIALOG, so a shown dialog is one to work on.
static HWND WaitDialog(const char* caption, int ms) {
    DWORD end = GetTickCount() + (DWORD)ms;
    HWND w = WaitWindow("#32770", caption, ms);
    while (w && !IsWindowVisible(w)) {
        if ((int)(GetTickCount() - end) >= 0) return nullptr;
        Sleep(20);
        w = FindWindowA("#32770", caption);
    }
    return w;
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

// WM_GETTEXT through the wide call, as UTF-8.
static std::string WideText(HWND w) {
    wchar_t wide[1024] = L"";
    SendMessageW(w, WM_GETTEXT, 1024, (LPARAM)wide);
    char utf8[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

// Argument index of this program's command line as the system got it, wide
// (argv has been through the ANSI code page).
static std::wstring WideArgument(int index) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring arg = args && index < count ? args[index] : L"";
    LocalFree(args);
    return arg;
}

static BOOL CALLBACK DumpChild(HWND child, LPARAM) {
    char cls[64] = "";
    GetClassNameA(child, cls, sizeof cls);
    int id = GetDlgCtrlID(child);
    printf("%d|%s|%s|check=%d|enabled=%d\n", id, cls, Text(child).c_str(),
           (int)SendMessageA(child, BM_GETCHECK, 0, 0), IsWindowEnabled(child) ? 1 : 0);
    return TRUE;
}

// Waits up to ms until no dialog with the caption is left and the main window
// answers a sent message, that is, has done with the dialog's result. While
// the dialog stays, the button last pressed (pressed, or -1) is pressed again.
static int WaitDialogGone(HWND dialog, const char* caption, int pressed, int ms) {
    DWORD end = GetTickCount() + (DWORD)ms;
    DWORD repress = GetTickCount() + kRepressMs;
    // A round sleeps 20 ms at least; the count only backs up the clock.
    const int rounds = ms / 10 + 100;
    for (int round = 0; round < rounds; round++) {
        bool stays = IsWindow(dialog) != FALSE;
        if (!stays && !FindWindowA("#32770", caption)) {
            HWND main = FindByClass("Kestrun");
            if (!main) {
                fprintf(stderr, "kdriver: no main window after dialog %s\n", caption);
                return kNoMainWindow;
            }
            DWORD_PTR answer = 0;
            if (SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)) return kOk;
        }
        if ((int)(GetTickCount() - end) >= 0) break;
        if (stays && pressed >= 0 && (int)(GetTickCount() - repress) >= 0) {
            fprintf(stderr, "kdriver: dialog %s still open, pressing %d again\n", caption, pressed);
            HWND button = GetDlgItem(dialog, pressed);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(pressed, BN_CLICKED), (LPARAM)button);
            repress = GetTickCount() + kRepressMs;
        }
        Sleep(20);
    }
    if (IsWindow(dialog) || FindWindowA("#32770", caption)) {
        fprintf(stderr, "kdriver: dialog %s still open after %d ms\n", caption, ms);
        return kStillOpen;
    }
    fprintf(stderr, "kdriver: main window does not answer after dialog %s\n", caption);
    return kNotAnswering;
}

static int DialogOps(HWND dialog, const char* caption, int argc, char** argv, int first) {
    int pressed = -1;
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
        } else if (verb == "wget") {
            printf("%d=%s\n", id, WideText(control).c_str());
        } else if (verb == "state") {
            printf("%d=%d\n", id, (int)SendMessageA(control, BM_GETCHECK, 0, 0));
        } else if (verb == "enabled") {
            printf("%d=%d\n", id, IsWindowEnabled(control) ? 1 : 0);
        } else if (verb == "count") {
            printf("%d=%d\n", id, (int)SendMessageA(control, CB_GETCOUNT, 0, 0));
        } else if (verb == "set") {
            std::string text = rest.substr(rest.find('=') + 1);
            if (!control) {
                fprintf(stderr, "kdriver: no control %d to set\n", id);
                return kSetFailed;
            }
            Acting();
            if (!SendMessageA(control, WM_SETTEXT, 0, (LPARAM)text.c_str())) {
                fprintf(stderr, "kdriver: cannot set %d\n", id);
                return kSetFailed;
            }
        } else if (verb == "wset") {
            std::wstring arg = WideArgument(i);
            size_t eq = arg.find(L'=');
            std::wstring text = eq == std::wstring::npos ? L"" : arg.substr(eq + 1);
            if (!control) {
                fprintf(stderr, "kdriver: no control %d to set\n", id);
                return kSetFailed;
            }
            Acting();
            if (!SendMessageW(control, WM_SETTEXT, 0, (LPARAM)text.c_str())) {
                fprintf(stderr, "kdriver: cannot set %d\n", id);
                return kSetFailed;
            }
        } else if (verb == "check") {
            int on = atoi(rest.substr(rest.find('=') + 1).c_str());
            if (!control) {
                fprintf(stderr, "kdriver: no button %d to check\n", id);
                return kSetFailed;
            }
            // As a click would: the new state, then the notification.
            Acting();
            SendMessageA(control, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
            if (SendMessageA(control, BM_GETCHECK, 0, 0) != (on ? BST_CHECKED : BST_UNCHECKED)) {
                fprintf(stderr, "kdriver: button %d did not take check=%d\n", id, on);
                return kSetFailed;
            }
        } else if (verb == "press") {
            Acting();
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
            pressed = id;
        } else if (verb == "wait") {
            Sleep((DWORD)id);
        } else if (verb == "gone") {
            int code = WaitDialogGone(dialog, caption, pressed, id);
            if (code != kOk) return code;
        } else {
            fprintf(stderr, "kdriver: unknown step %s\n", op.c_str());
            return kUsage;
        }
        fflush(stdout);
    }
    return kOk;
}

static int NoMainWindow() {
    fprintf(stderr, "kdriver: no main window\n");
    return kNoMainWindow;
}

// Waits up to ms for the message box with the caption, prints its text and
// presses its OK.
static int Dismiss(const char* caption, int ms) {
    HWND box = WaitDialog(caption, ms);
    if (!box) {
        fprintf(stderr, "kdriver: no message box %s\n", caption);
        return kNoDialog;
    }
    HWND child = nullptr;
    while ((child = FindWindowExA(box, child, "Static", nullptr)) != nullptr) {
        std::string t = Text(child);
        if (!t.empty()) printf("text=%s\n", t.c_str());
    }
    Acting();
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    if (WaitGone("#32770", caption, 5000)) return kOk;
    fprintf(stderr, "kdriver: message box %s still open\n", caption);
    return kStillOpen;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return kUsage;
    std::string what = argv[1];
    if (what == "find") {
        return WaitWindow("Kestrun", nullptr, argc > 2 ? atoi(argv[2]) : 10000) ? kOk : NoMainWindow();
    }
    if (what == "gone") {
        if (WaitGone("Kestrun", nullptr, argc > 2 ? atoi(argv[2]) : 10000)) return kOk;
        fprintf(stderr, "kdriver: main window still open\n");
        return kStillOpen;
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
            if (!main) return NoMainWindow();
            if (caption && FindWindowA("#32770", caption)) return kOk;
            Acting();
            BOOL posted = PostMessageA(main, WM_COMMAND, (WPARAM)id, 0);
            if (!caption) {
                if (posted) return kOk;
                fprintf(stderr, "kdriver: cannot post command %d\n", id);
                return kCallFailed;
            }
            if (WaitWindow("#32770", caption, 1500)) return kOk;
            if ((int)(GetTickCount() - end) >= 0) break;
        }
        fprintf(stderr, "kdriver: no dialog %s after command %d\n", caption, id);
        return kNoDialog;
    }
    if (what == "send" && argc >= 6) {
        HWND main = FindByClass("Kestrun");
        if (!main) return NoMainWindow();
        Acting();
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutA(main, (UINT)strtoul(argv[2], nullptr, 0), (WPARAM)strtoul(argv[3], nullptr, 0),
                                (LPARAM)strtol(argv[4], nullptr, 0), SMTO_NORMAL, (UINT)atoi(argv[5]), &answer)) {
            printf("answer=%lu\n", (unsigned long)answer);
            return kOk;
        }
        fprintf(stderr, "kdriver: no answer to %s\n", argv[2]);
        return kCallFailed;
    }
    if (what == "post" && argc >= 5) {
        HWND main = FindByClass("Kestrun");
        if (!main) return NoMainWindow();
        Acting();
        if (PostMessageA(main, (UINT)strtoul(argv[2], nullptr, 0), (WPARAM)strtoul(argv[3], nullptr, 0),
                         (LPARAM)strtol(argv[4], nullptr, 0)))
            return kOk;
        fprintf(stderr, "kdriver: cannot post %s\n", argv[2]);
        return kCallFailed;
    }
    if (what == "menu" && argc >= 4) {
        HWND main = FindByClass("Kestrun");
        if (!main) return NoMainWindow();
        LPARAM mouse = (LPARAM)strtol(argv[2], nullptr, 0);
        DWORD end = GetTickCount() + (DWORD)atoi(argv[3]);
        HWND menu = nullptr;
        // Reposted every 1.5 s while no menu shows (a post can be missed).
        DWORD repost = GetTickCount();
        Acting();
        while (!menu && (int)(GetTickCount() - end) < 0) {
            if ((int)(GetTickCount() - repost) >= 0) {
                PostMessageA(main, WM_APP + 100, 1000, mouse);
                repost = GetTickCount() + 1500;
            }
            HWND w = FindWindowA("#32768", nullptr);
            if (w && IsWindowVisible(w)) menu = w;
            else Sleep(20);
        }
        if (!menu) {
            fprintf(stderr, "kdriver: no menu for mouse message %s\n", argv[2]);
            return kNoMenu;
        }
        if (argc > 4 && strcmp(argv[4], "-") == 0) return kOk;  // left open
        if (argc > 4) {
            PostMessageA(menu, WM_KEYDOWN, (WPARAM)(unsigned char)toupper(argv[4][0]), 0);
            PostMessageA(menu, WM_CHAR, (WPARAM)(unsigned char)argv[4][0], 0);
        } else {
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        }
        return kOk;
    }
    if (what == "close-menu") {
        HWND menu = FindWindowA("#32768", nullptr);
        if (!menu || !IsWindowVisible(menu)) {
            fprintf(stderr, "kdriver: no menu to close\n");
            return kNoMenu;
        }
        Acting();
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        return kOk;
    }
    if (what == "cursor" && argc >= 4) {
        Acting();
        if (SetCursorPos(atoi(argv[2]), atoi(argv[3]))) return kOk;
        fprintf(stderr, "kdriver: cannot move the pointer\n");
        return kCallFailed;
    }
    if (what == "rect" && argc >= 3) {
        HWND w = WaitWindow(argv[2], argc > 3 ? argv[3] : nullptr, 5000);
        if (!w) {
            fprintf(stderr, "kdriver: no window %s\n", argv[2]);
            return kNoDialog;
        }
        RECT r;
        if (!GetWindowRect(w, &r)) {
            fprintf(stderr, "kdriver: no rectangle for %s\n", argv[2]);
            return kCallFailed;
        }
        printf("rect=%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return kOk;
    }
    if (what == "acp") {
        printf("acp=%u\n", GetACP());
        return kOk;
    }
    if (what == "taskbar-created") {
        HWND main = FindByClass("Kestrun");
        if (!main) return NoMainWindow();
        Acting();
        if (PostMessageA(main, RegisterWindowMessageA("TaskbarCreated"), 0, 0)) return kOk;
        fprintf(stderr, "kdriver: cannot post TaskbarCreated\n");
        return kCallFailed;
    }
    if (what == "dismiss" && argc >= 4) return Dismiss(argv[2], atoi(argv[3]));
    if (what == "service-control" && argc >= 4) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceA(manager, argv[2], SERVICE_USER_DEFINED_CONTROL |
                                                                         SERVICE_PAUSE_CONTINUE) : nullptr;
        Acting();
        SERVICE_STATUS status;
        bool sent = service && ControlService(service, (DWORD)atoi(argv[3]), &status);
        if (!sent) fprintf(stderr, "kdriver: control failed, error %lu\n", GetLastError());
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
        return sent ? kOk : kCallFailed;
    }
    if (what == "hold-mutex" && argc >= 5) {
        // Holds a named mutex as another copy would, tells the test through
        // the marker file, and dismisses the box that a refused copy shows.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
        if (!mutex) {
            fprintf(stderr, "kdriver: no mutex %s\n", argv[2]);
            return kCallFailed;
        }
        Acting();
        HANDLE marker = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (marker == INVALID_HANDLE_VALUE) {
            CloseHandle(mutex);
            fprintf(stderr, "kdriver: no marker %s\n", argv[3]);
            return kCallFailed;
        }
        CloseHandle(marker);
        int code = Dismiss("uwaga", atoi(argv[4]));
        CloseHandle(mutex);
        return code;
    }
    if (what == "dialog" && argc >= 3) {
        HWND dialog = WaitDialog(argv[2], 5000);
        if (!dialog) {
            fprintf(stderr, "kdriver: no dialog %s\n", argv[2]);
            return kNoDialog;
        }
        return DialogOps(dialog, argv[2], argc, argv, 3);
    }
    fprintf(stderr, "kdriver: unknown command %s\n", what.c_str());
    return kUsage;
}
