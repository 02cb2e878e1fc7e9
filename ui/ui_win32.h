// The Windows tray application's user interface as core/app_win32.cpp uses
// it: the tray icon's window and icons, the popup menu, and the dialogs, each
// run to its end and answering what the user chose.
#pragma once
#include <windows.h>
#include <cstdint>
#include "base/settings.h"
#include "ui/ui.h"

enum : UINT { kTrayCallback = WM_APP + 100 };

// The window that owns the tray icon and gets its callbacks; nullptr: none
// (TrayIconUpdate then does nothing). Main thread only.
void TraySetWindow(HWND window);
// Loads icons 130, 137 and 139 at 16 x 16 for the tray; destroys them again.
void LoadTrayIcons(HINSTANCE instance);
void DestroyTrayIcons();
// The tray menu at the cursor; its commands reach window as WM_COMMAND.
void ShowTrayMenu(HWND window);

// The program's texts are Windows-1250 and go to and from Windows through
// the wide calls, whatever the system's ANSI code page.
// Windows-1250 text as UTF-16, cut to count - 1 units and terminated.
void WideFrom1250(const char* text, wchar_t* out, size_t count);
// UTF-16 as Windows-1250, cut to size - 1 bytes and terminated; false, with
// out empty, when the text holds a character the code page lacks.
bool Cp1250FromWide(const wchar_t* text, char* out, size_t size);
// MessageBoxW with a Windows-1250 text and caption.
int MessageBox1250(HWND owner, const char* text, const char* caption, UINT type);
// The tooltip as TrayIconUpdate hands it to the shell (BuildTooltip, wide).
void BuildWideTooltip(const char* text, wchar_t out[kTooltipMax + 1]);

// How a dialog ended. A dialog asked for while another is open brings that
// one to the front and ends as kDialogCancel.
enum : int { kDialogCancel = 0, kDialogOk = 1, kDialogShutdown = 2 };
void RunAboutDialog(HWND owner);
// The settings dialog, filled from the record. On kDialogOk chosen is the
// record's image with the user's values in place; nothing is saved or
// applied here. An OK with a text field that Windows-1250 cannot hold is
// refused with a message box, and the dialog stays open. Ticking "always
// open" takes effect in the record at once, whatever the end.
int RunSettingsDialog(HWND owner, uint8_t chosen[kSettingsSize]);
// The virtual ports dialog, the same way (slot status and use counts shown
// as they are when it opens; the same refusal).
int RunVirtualPortsDialog(HWND owner, uint8_t chosen[kSettingsSize]);
