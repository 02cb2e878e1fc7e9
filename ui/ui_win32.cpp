// The tray user interface on Windows: the hidden main window's procedure, the
// tray icon, the popup menu, the About box and the two settings dialogs.
// Twin: ui_posix.cpp (the daemon's tooltip on stdout).
#include "ui/ui_win32.h"
#include <shellapi.h>
#include <cstdio>
#include <cstring>
#include "core/bridge.h"
#include "core/core.h"
#include "core/settings.h"
#include "ui/resource.h"
#include "ui/ui.h"

std::atomic<HWND> mainWindow{nullptr};
UINT_PTR housekeepingTimer = 0;

// Main thread only.
static HICON closedIcon, activityIcon, openIcon;
static UINT taskbarCreatedMessage;
// The modal dialog now open, so that a second menu command does not stack
// another dialog (with stale fields) on top of it.
static HWND openDialog;

static const int kSerialControls[] = {IDC_PORT_NAME,   IDC_BAUD_RATE, IDC_PARITY_NONE,
                                      IDC_PARITY_EVEN, IDC_PARITY_ODD, IDC_DATA_8,
                                      IDC_DATA_7,      IDC_STOP_1,    IDC_STOP_2};
static const char* const kBaudRates[] = {"1200",  "2400",  "4800",  "9600",
                                         "19200", "38400", "57600", "115200"};
static const int kPeerEdits[kVirtualSlots] = {IDC_PEER_1, IDC_PEER_2, IDC_PEER_3};
static const int kPortCombos[kVirtualSlots] = {IDC_VPORT_1, IDC_VPORT_2, IDC_VPORT_3};
static const int kStatusEdits[kVirtualSlots] = {IDC_STATUS_1, IDC_STATUS_2, IDC_STATUS_3};
static const int kCountEdits[kVirtualSlots] = {IDC_COUNT_1, IDC_COUNT_2, IDC_COUNT_3};

static HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

static HICON IconHandle(int icon) {
    switch (icon) {
    case kIconClosed: return closedIcon;
    case kIconActivity: return activityIcon;
    case kIconOpen: return openIcon;
    default: return nullptr;
    }
}

void LoadTrayIcons(HINSTANCE instance) {
    closedIcon = (HICON)LoadImageA(instance, MAKEINTRESOURCEA(IDI_CLOSED), IMAGE_ICON, 16, 16,
                                   LR_DEFAULTCOLOR);
    activityIcon = (HICON)LoadImageA(instance, MAKEINTRESOURCEA(IDI_ACTIVITY), IMAGE_ICON, 16, 16,
                                     LR_DEFAULTCOLOR);
    openIcon = (HICON)LoadImageA(instance, MAKEINTRESOURCEA(IDI_OPEN), IMAGE_ICON, 16, 16,
                                 LR_DEFAULTCOLOR);
}

void DestroyTrayIcons() {
    for (HICON* icon : {&closedIcon, &activityIcon, &openIcon}) {
        if (*icon) DestroyIcon(*icon);
        *icon = nullptr;
    }
}

void TrayIconUpdate(int operation, int icon, const char* text) {
    HWND window = mainWindow;
    if (!window) return;
    NOTIFYICONDATAA data;
    memset(&data, 0, sizeof data);
    // The full structure of this platform's headers (508 bytes in 32-bit builds).
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallback;
    data.hIcon = IconHandle(icon);
    if (text) {
        char tip[kTooltipMax + 1];
        BuildTooltip(text, tip);
        lstrcpynA(data.szTip, tip, kTooltipMax + 1);
    }
    Shell_NotifyIconA((DWORD)operation, &data);
}

// The tray refreshed from the live statistics (after the settings dialog, and
// when the shell comes back).
static void ShowTrayMenu(HWND window) {
    HMENU menu = LoadMenuA(Instance(), MAKEINTRESOURCEA(IDM_TRAY));
    if (!menu) return;
    HMENU popup = GetSubMenu(menu, 0);
    SetForegroundWindow(window);
    POINT at = {0, 0};
    GetCursorPos(&at);
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    // Lets the menu close properly when the user clicks elsewhere.
    PostMessageA(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

static void RunDialog(HWND window, int id, DLGPROC procedure) {
    if (openDialog && IsWindow(openDialog)) {
        SetForegroundWindow(openDialog);
        return;
    }
    DialogBoxParamA(Instance(), MAKEINTRESOURCEA(id), window, procedure, 0);
    openDialog = nullptr;
}

static void OnMainWindowDestroyed(HWND window) {
    if (housekeepingTimer) KillTimer(window, housekeepingTimer);
    housekeepingTimer = 0;
    TrayIconUpdate(kTrayDelete, kIconNone, nullptr);
    // From here on a late KILL or tray refresh finds no window.
    mainWindow = nullptr;
    ShutdownServices();
    DestroyTrayIcons();
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarCreatedMessage && message == taskbarCreatedMessage) {
        // The shell restarted and forgot the icon: put it back as it was.
        RefreshTray(kTrayAdd);
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_DESTROY:
        OnMainWindowDestroyed(window);
        return 0;
    case WM_TIMER:
        HousekeepingTick();
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_ABOUT:
            RunDialog(window, IDD_ABOUT, AboutDialogProc);
            return 0;
        case IDC_EXIT:
            DestroyWindow(window);
            return 0;
        case IDC_VIRTUAL_PORTS:
            RunDialog(window, IDD_VIRTUAL, VirtualPortsDialogProc);
            return 0;
        case IDC_SETTINGS:
            RunDialog(window, IDD_SETTINGS, SettingsDialogProc);
            // However the dialog closed; not when the program is ending.
            if (IsWindow(window) && mainWindow == window) RefreshTray(kTrayModify);
            return 0;
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

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        openDialog = dialog;
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void EnableSerialControls(HWND dialog, BOOL enable) {
    for (int id : kSerialControls) EnableWindow(GetDlgItem(dialog, id), enable);
}

static void FillPortList(HWND dialog, int id) {
    SendDlgItemMessageA(dialog, id, CB_RESETCONTENT, 0, 0);
    for (int n = 1; n <= 19; n++) {
        char name[16];
        snprintf(name, sizeof name, "COM%d", n);
        SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, (LPARAM)name);
    }
}

static bool Ticked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

static void Tick(HWND dialog, int id, bool on) {
    CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED);
}

// Reads a text control into a settings text field: at most capacity - 1
// characters, as GetDlgItemTextA gives them.
static void ReadText(HWND dialog, int id, int capacity, char* field, size_t width) {
    char text[256];
    if (capacity > (int)sizeof text) capacity = (int)sizeof text;
    text[0] = 0;
    GetDlgItemTextA(dialog, id, text, capacity);
    SetSettingsText(field, width, text);
}

static void SettingsInit(HWND dialog) {
    SettingsRecord& s = settingsRecord;
    SetDlgItemInt(dialog, IDC_AUTO_DISCONNECT, (UINT)s.autoDisconnectSeconds, FALSE);
    SetDlgItemInt(dialog, IDC_TCP_PORT, (UINT)s.tcpPort, FALSE);
    SetDlgItemInt(dialog, IDC_UDP_PORT, (UINT)s.udpPort, FALSE);
    Tick(dialog, IDC_BUFFER_PRINTS, s.bufferPrints != 0);
    Tick(dialog, IDC_TCP_ENABLED, s.tcpEnabled != 0);
    Tick(dialog, IDC_UDP_ENABLED, s.udpEnabled != 0);
    SetDlgItemTextA(dialog, IDC_SPOOL_DIRECTORY, s.spoolDirectory);
    SetDlgItemTextA(dialog, IDC_LOG_PATH, s.logPath);
    SetDlgItemTextA(dialog, IDC_INTERFACE, s.interfaceAddress);
    Tick(dialog, IDC_ALWAYS_OPEN, s.alwaysOpen != 0);
    FillPortList(dialog, IDC_PORT_NAME);
    SendDlgItemMessageA(dialog, IDC_BAUD_RATE, CB_RESETCONTENT, 0, 0);
    for (const char* rate : kBaudRates)
        SendDlgItemMessageA(dialog, IDC_BAUD_RATE, CB_ADDSTRING, 0, (LPARAM)rate);
    SetDlgItemTextA(dialog, IDC_PORT_NAME, s.portName);
    SetDlgItemInt(dialog, IDC_BAUD_RATE, (UINT)s.baudRate, FALSE);
    char parity = s.parityLetter;
    if (parity == 'E') Tick(dialog, IDC_PARITY_EVEN, true);
    else if (parity == 'O') Tick(dialog, IDC_PARITY_ODD, true);
    else if (parity == 'N') Tick(dialog, IDC_PARITY_NONE, true);
    if (s.stopBits == 1) Tick(dialog, IDC_STOP_1, true);
    else if (s.stopBits == 2) Tick(dialog, IDC_STOP_2, true);
    if (s.dataBits == 7) Tick(dialog, IDC_DATA_7, true);
    else if (s.dataBits == 8) Tick(dialog, IDC_DATA_8, true);
    EnableSerialControls(dialog, s.alwaysOpen != 0);
}

static void SettingsOk(HWND dialog) {
    SettingsRecord& s = settingsRecord;
    uint8_t snapshot[kSettingsSize];
    SettingsToImage(snapshot);
    s.autoDisconnectSeconds = (int32_t)GetDlgItemInt(dialog, IDC_AUTO_DISCONNECT, nullptr, FALSE);
    s.tcpPort = (int32_t)GetDlgItemInt(dialog, IDC_TCP_PORT, nullptr, FALSE);
    s.udpPort = (int32_t)GetDlgItemInt(dialog, IDC_UDP_PORT, nullptr, FALSE);
    s.bufferPrints = Ticked(dialog, IDC_BUFFER_PRINTS) ? 1 : 0;
    s.tcpEnabled = Ticked(dialog, IDC_TCP_ENABLED) ? 1 : 0;
    s.udpEnabled = Ticked(dialog, IDC_UDP_ENABLED) ? 1 : 0;
    s.alwaysOpen = Ticked(dialog, IDC_ALWAYS_OPEN) ? 1 : 0;
    ReadText(dialog, IDC_SPOOL_DIRECTORY, 199, s.spoolDirectory, sizeof s.spoolDirectory);
    ReadText(dialog, IDC_LOG_PATH, 100, s.logPath, sizeof s.logPath);
    ReadText(dialog, IDC_INTERFACE, 100, s.interfaceAddress, sizeof s.interfaceAddress);
    ReadText(dialog, IDC_PORT_NAME, 100, s.portName, sizeof s.portName);
    s.baudRate = (int32_t)GetDlgItemInt(dialog, IDC_BAUD_RATE, nullptr, FALSE);
    s.parityLetter = Ticked(dialog, IDC_PARITY_EVEN) ? 'E' : Ticked(dialog, IDC_PARITY_ODD) ? 'O' : 'N';
    s.stopBits = Ticked(dialog, IDC_STOP_1) ? 1 : 2;
    s.dataBits = Ticked(dialog, IDC_DATA_7) ? 7 : 8;
    SaveSettings();
    ApplySettingsChange(snapshot);
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        openDialog = dialog;
        SettingsInit(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_ALWAYS_OPEN:
        // Takes effect in the record at once; "Anuluj" does not undo it.
        settingsRecord.alwaysOpen = Ticked(dialog, IDC_ALWAYS_OPEN) ? 1 : 0;
        EnableSerialControls(dialog, settingsRecord.alwaysOpen != 0);
        return FALSE;
    case IDOK:
        SettingsOk(dialog);
        EndDialog(dialog, IDOK);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case IDC_SHUTDOWN:
        EndDialog(dialog, IDC_SHUTDOWN);
        // Posted: the main window closes after this dialog has gone.
        RequestShutdown();
        return TRUE;
    default:
        return FALSE;
    }
}

static void VirtualPortsInit(HWND dialog) {
    Tick(dialog, IDC_VIRTUAL_ENABLED, settingsRecord.virtualPortsEnabled != 0);
    for (int slot = 0; slot < kVirtualSlots; slot++) {
        FillPortList(dialog, kPortCombos[slot]);
        SetDlgItemTextA(dialog, kPeerEdits[slot], settingsRecord.virtualPeer[slot]);
        SetDlgItemTextA(dialog, kPortCombos[slot], settingsRecord.virtualPortName[slot]);
        char status[100];
        GetVirtualStatus(slot, status);
        SetDlgItemTextA(dialog, kStatusEdits[slot], status);
        SetDlgItemInt(dialog, kCountEdits[slot], (UINT)bridge.virtualUseCount[slot], FALSE);
    }
}

static void VirtualPortsOk(HWND dialog) {
    uint8_t snapshot[kSettingsSize];
    SettingsToImage(snapshot);
    settingsRecord.virtualPortsEnabled = Ticked(dialog, IDC_VIRTUAL_ENABLED) ? 1 : 0;
    for (int slot = 0; slot < kVirtualSlots; slot++) {
        ReadText(dialog, kPeerEdits[slot], 39, settingsRecord.virtualPeer[slot],
                 sizeof settingsRecord.virtualPeer[slot]);
        ReadText(dialog, kPortCombos[slot], 39, settingsRecord.virtualPortName[slot],
                 sizeof settingsRecord.virtualPortName[slot]);
    }
    SaveSettings();
    ApplyVirtualPortsChange(snapshot);
}

INT_PTR CALLBACK VirtualPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        openDialog = dialog;
        VirtualPortsInit(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDOK) {
        VirtualPortsOk(dialog);
        EndDialog(dialog, IDOK);
        return TRUE;
    }
    if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}
