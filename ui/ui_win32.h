// The Windows tray application's window, icons and dialog procedures, shared
// by core/app_win32.cpp (start-up, shutdown) and ui/ui_win32.cpp.
#pragma once
#include <windows.h>
#include <atomic>

enum : UINT { kTrayCallback = WM_APP + 100, kTrayIconId = 1000, kTickMs = 300 };

// The hidden main window: owner of the tray icon, the timer and the dialogs.
// Atomic because RequestShutdown posts to it from server threads.
extern std::atomic<HWND> mainWindow;
// The housekeeping timer's identifier as the system returned it.
extern UINT_PTR housekeepingTimer;

// Loads icons 130, 137 and 139 at 16 x 16 for the tray; destroys them again.
void LoadTrayIcons(HINSTANCE instance);
void DestroyTrayIcons();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK VirtualPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Enables or disables the serial-port controls of the settings dialog.
void EnableSerialControls(HWND dialog, BOOL enable);
