// The Windows tray application's user interface as core/app_win32.cpp uses
// it: the tray icon's window and icons, the popup menu, and the dialogs, each
// run to its end and answering what the user chose.
#pragma once
#include <windows.h>
#include <cstdint>
#include "base/settings.h"

enum : UINT { kTrayCallback = WM_APP + 100 };

// The window that owns the tray icon and gets its callbacks; nullptr: none
// (TrayIconUpdate then does nothing). Main thread only.
void TraySetWindow(HWND window);
// Loads icons 130, 137 and 139 at 16 x 16 for the tray; destroys them again.
void LoadTrayIcons(HINSTANCE instance);
void DestroyTrayIcons();
// The tray menu at the cursor; its commands reach window as WM_COMMAND.
void ShowTrayMenu(HWND window);

// How a dialog ended. A dialog asked for while another is open brings that
// one to the front and ends as kDialogCancel.
enum : int { kDialogCancel = 0, kDialogOk = 1, kDialogShutdown = 2 };
void RunAboutDialog(HWND owner);
// The settings dialog, filled from the record. On kDialogOk chosen is the
// record's image with the user's values in place; nothing is saved or
// applied here. Ticking "always open" takes effect in the record at once,
// whatever the end.
int RunSettingsDialog(HWND owner, uint8_t chosen[kSettingsSize]);
// The virtual ports dialog, the same way (slot status and use counts shown
// as they are when it opens).
int RunVirtualPortsDialog(HWND owner, uint8_t chosen[kSettingsSize]);
