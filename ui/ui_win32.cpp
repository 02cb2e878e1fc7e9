// The tray user interface on Windows: the tray icon, the popup menu, the
// About box and the two settings dialogs, which answer what the user chose.
// Twin: ui_posix.cpp (the daemon's tooltip on stdout).
#include "ui/ui_win32.h"
#include <shellapi.h>
#include <cstdio>
#include <cstring>
#include <string>
#include "base/bridge.h"
#include "base/cp1250.h"
#include "base/settings.h"
#include "ui/resource.h"
#include "ui/ui.h"

enum : UINT { kTrayIconId = 1000 };

// Main thread only.
static HWND trayWindow;
static HICON closedIcon, activityIcon, openIcon;
// The modal dialog now open, so that a second menu command does not stack
// another dialog (with stale fields) on top of it.
static HWND openDialog;
// Where the dialog now open puts the user's choice on OK.
static uint8_t* chosenImage;

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

void TraySetWindow(HWND window) {
    trayWindow = window;
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

void WideFrom1250(const char* text, wchar_t* out, size_t count) {
    if (count == 0) return;
    size_t n = 0;
    for (; n + 1 < count && text[n]; n++) out[n] = (wchar_t)Cp1250ToUnit((unsigned char)text[n]);
    out[n] = 0;
}

bool Cp1250FromWide(const wchar_t* text, char* out, size_t size) {
    if (size == 0) return false;
    size_t n = 0;
    for (; text[n]; n++) {
        int byte = UnitToCp1250((char16_t)text[n]);
        if (byte < 0) {
            out[0] = 0;
            return false;
        }
        if (n + 1 < size) out[n] = (char)byte;
    }
    out[n + 1 < size ? n : size - 1] = 0;
    return true;
}

int MessageBox1250(HWND owner, const char* text, const char* caption, UINT type) {
    std::wstring wideText(strlen(text) + 1, L'\0'), wideCaption(strlen(caption) + 1, L'\0');
    WideFrom1250(text, &wideText[0], wideText.size());
    WideFrom1250(caption, &wideCaption[0], wideCaption.size());
    return MessageBoxW(owner, wideText.c_str(), wideCaption.c_str(), type);
}

void BuildWideTooltip(const char* text, wchar_t out[kTooltipMax + 1]) {
    char tip[kTooltipMax + 1];
    BuildTooltip(text, tip);
    WideFrom1250(tip, out, kTooltipMax + 1);
}

void TrayIconUpdate(int operation, int icon, const char* text) {
    HWND window = trayWindow;
    if (!window) return;
    NOTIFYICONDATAW data;
    memset(&data, 0, sizeof data);
    // The full structure of this platform's headers.
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallback;
    data.hIcon = IconHandle(icon);
    if (text) BuildWideTooltip(text, data.szTip);
    // A shell that lost the icon (a restart not announced to this window)
    // refuses the change: the icon is put back instead.
    if (!Shell_NotifyIconW((DWORD)operation, &data) && operation == kTrayModify)
        Shell_NotifyIconW(NIM_ADD, &data);
}

void ShowTrayMenu(HWND window) {
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

// The dialog's EndDialog value; 0 when another dialog is open already.
static INT_PTR RunDialog(HWND window, int id, DLGPROC procedure, uint8_t* chosen) {
    if (openDialog && IsWindow(openDialog)) {
        SetForegroundWindow(openDialog);
        return 0;
    }
    chosenImage = chosen;
    INT_PTR end = DialogBoxParamW(Instance(), MAKEINTRESOURCEW(id), window, procedure, 0);
    openDialog = nullptr;
    chosenImage = nullptr;
    return end;
}

static INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
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

// Enables or disables the serial-port controls of the settings dialog.
static void EnableSerialControls(HWND dialog, BOOL enable) {
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

// Shows a Windows-1250 text in a control.
static void ShowText(HWND dialog, int id, const char* text) {
    wchar_t wide[256];
    WideFrom1250(text, wide, 256);
    SetDlgItemTextW(dialog, id, wide);
}

// Reads a text control into a text field of the chosen image: at most
// capacity - 1 characters, as GetDlgItemTextW gives them, cut to the field
// and terminated; the bytes after the terminator stay as they were. False,
// with the field untouched, when the text has a character that
// Windows-1250 lacks.
static bool ReadText(HWND dialog, int id, int capacity, size_t offset, size_t width) {
    wchar_t wide[256];
    char text[256];
    if (capacity > 256) capacity = 256;
    wide[0] = 0;
    GetDlgItemTextW(dialog, id, wide, capacity);
    if (!Cp1250FromWide(wide, text, sizeof text)) return false;
    size_t n = strnlen(text, width - 1);
    memcpy(chosenImage + offset, text, n);
    chosenImage[offset + n] = 0;
    return true;
}

// Refuses an OK whose field id cannot be stored: says so, and puts the
// cursor in the field so that the user can mend it.
static void RefuseText(HWND dialog, int id) {
    MessageBox1250(dialog,
                   "To pole zawiera znak, kt\xF3rego nie ma w stronie kodowej Windows-1250.\n"
                   "Popraw je, aby zapisa\xE6 ustawienia.",
                   "uwaga", MB_OK | MB_ICONWARNING);
    HWND field = GetDlgItem(dialog, id);
    SetFocus(field);
    SendMessageW(field, EM_SETSEL, 0, -1);
}

static void ReadNumber(HWND dialog, int id, size_t offset) {
    PutLe32(chosenImage + offset, (int32_t)GetDlgItemInt(dialog, id, nullptr, FALSE));
}

static void SettingsInit(HWND dialog) {
    SettingsRecord& s = settingsRecord;
    SetDlgItemInt(dialog, IDC_AUTO_DISCONNECT, (UINT)s.autoDisconnectSeconds, FALSE);
    SetDlgItemInt(dialog, IDC_TCP_PORT, (UINT)s.tcpPort, FALSE);
    SetDlgItemInt(dialog, IDC_UDP_PORT, (UINT)s.udpPort, FALSE);
    Tick(dialog, IDC_BUFFER_PRINTS, s.bufferPrints != 0);
    Tick(dialog, IDC_TCP_ENABLED, s.tcpEnabled != 0);
    Tick(dialog, IDC_UDP_ENABLED, s.udpEnabled != 0);
    ShowText(dialog, IDC_SPOOL_DIRECTORY, s.spoolDirectory);
    ShowText(dialog, IDC_LOG_PATH, s.logPath);
    ShowText(dialog, IDC_INTERFACE, s.interfaceAddress);
    Tick(dialog, IDC_ALWAYS_OPEN, s.alwaysOpen != 0);
    FillPortList(dialog, IDC_PORT_NAME);
    SendDlgItemMessageA(dialog, IDC_BAUD_RATE, CB_RESETCONTENT, 0, 0);
    for (const char* rate : kBaudRates)
        SendDlgItemMessageA(dialog, IDC_BAUD_RATE, CB_ADDSTRING, 0, (LPARAM)rate);
    ShowText(dialog, IDC_PORT_NAME, s.portName);
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

// OK: the record as it is now, with the dialog's fields in place; 0, or the
// text field that cannot be stored.
static int SettingsOk(HWND dialog) {
    uint8_t* image = chosenImage;
    SettingsToImage(image);
    ReadNumber(dialog, IDC_AUTO_DISCONNECT, kOffAutoDisconnectSeconds);
    ReadNumber(dialog, IDC_TCP_PORT, kOffTcpPort);
    ReadNumber(dialog, IDC_UDP_PORT, kOffUdpPort);
    PutLe32(image + kOffBufferPrints, Ticked(dialog, IDC_BUFFER_PRINTS) ? 1 : 0);
    PutLe32(image + kOffTcpEnabled, Ticked(dialog, IDC_TCP_ENABLED) ? 1 : 0);
    PutLe32(image + kOffUdpEnabled, Ticked(dialog, IDC_UDP_ENABLED) ? 1 : 0);
    PutLe32(image + kOffAlwaysOpen, Ticked(dialog, IDC_ALWAYS_OPEN) ? 1 : 0);
    if (!ReadText(dialog, IDC_SPOOL_DIRECTORY, 199, kOffSpoolDirectory, sizeof settingsRecord.spoolDirectory))
        return IDC_SPOOL_DIRECTORY;
    if (!ReadText(dialog, IDC_LOG_PATH, 100, kOffLogPath, sizeof settingsRecord.logPath)) return IDC_LOG_PATH;
    if (!ReadText(dialog, IDC_INTERFACE, 100, kOffInterfaceAddress, sizeof settingsRecord.interfaceAddress))
        return IDC_INTERFACE;
    if (!ReadText(dialog, IDC_PORT_NAME, 100, kOffPortName, sizeof settingsRecord.portName)) return IDC_PORT_NAME;
    ReadNumber(dialog, IDC_BAUD_RATE, kOffBaudRate);
    image[kOffParityLetter] =
        (uint8_t)(Ticked(dialog, IDC_PARITY_EVEN) ? 'E' : Ticked(dialog, IDC_PARITY_ODD) ? 'O' : 'N');
    PutLe32(image + kOffStopBits, Ticked(dialog, IDC_STOP_1) ? 1 : 2);
    PutLe32(image + kOffDataBits, Ticked(dialog, IDC_DATA_7) ? 7 : 8);
    return 0;
}

static INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
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
    case IDOK: {
        int refused = SettingsOk(dialog);
        if (refused) RefuseText(dialog, refused);
        else EndDialog(dialog, IDOK);
        return TRUE;
    }
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case IDC_SHUTDOWN:
        EndDialog(dialog, IDC_SHUTDOWN);
        return TRUE;
    default:
        return FALSE;
    }
}

static void VirtualPortsInit(HWND dialog) {
    Tick(dialog, IDC_VIRTUAL_ENABLED, settingsRecord.virtualPortsEnabled != 0);
    for (int slot = 0; slot < kVirtualSlots; slot++) {
        FillPortList(dialog, kPortCombos[slot]);
        ShowText(dialog, kPeerEdits[slot], settingsRecord.virtualPeer[slot]);
        ShowText(dialog, kPortCombos[slot], settingsRecord.virtualPortName[slot]);
        char status[100];
        GetVirtualStatus(slot, status);
        ShowText(dialog, kStatusEdits[slot], status);
        SetDlgItemInt(dialog, kCountEdits[slot], (UINT)bridge.virtualUseCount[slot], FALSE);
    }
}

// As SettingsOk.
static int VirtualPortsOk(HWND dialog) {
    SettingsToImage(chosenImage);
    PutLe32(chosenImage + kOffVirtualPortsEnabled, Ticked(dialog, IDC_VIRTUAL_ENABLED) ? 1 : 0);
    for (int slot = 0; slot < kVirtualSlots; slot++) {
        if (!ReadText(dialog, kPeerEdits[slot], 39, kOffVirtualPeer + 40 * slot, 40)) return kPeerEdits[slot];
        if (!ReadText(dialog, kPortCombos[slot], 39, kOffVirtualPortName + 40 * slot, 40))
            return kPortCombos[slot];
    }
    return 0;
}

static INT_PTR CALLBACK VirtualPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        openDialog = dialog;
        VirtualPortsInit(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    if (LOWORD(wParam) == IDOK) {
        int refused = VirtualPortsOk(dialog);
        if (refused) RefuseText(dialog, refused);
        else EndDialog(dialog, IDOK);
        return TRUE;
    }
    if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

void RunAboutDialog(HWND owner) {
    RunDialog(owner, IDD_ABOUT, AboutDialogProc, nullptr);
}

// The EndDialog value as the answer: OK, the shutdown button, or cancel.
static int DialogEnd(INT_PTR end) {
    if (end == IDOK) return kDialogOk;
    if (end == IDC_SHUTDOWN) return kDialogShutdown;
    return kDialogCancel;
}

int RunSettingsDialog(HWND owner, uint8_t chosen[kSettingsSize]) {
    return DialogEnd(RunDialog(owner, IDD_SETTINGS, SettingsDialogProc, chosen));
}

int RunVirtualPortsDialog(HWND owner, uint8_t chosen[kSettingsSize]) {
    return DialogEnd(RunDialog(owner, IDD_VIRTUAL, VirtualPortsDialogProc, chosen));
}

// The status line is the daemon's; the tray shows its state in the icon.
void StatusLineFlush() {}
