// Between the two programs of kestrun.exe: the tray application
// (app_win32.cpp, which holds WinMain) and the service (service_win32.cpp).
#pragma once
#include "core/options.h"

// Takes the machine-wide instance mutex; true when another copy (tray or
// service, in any session) holds it. The handle stays open until the end.
bool AnotherInstanceRuns();
// Runs the bridge under the Service Control Manager until it is stopped,
// in options.directory (-C) or %ProgramData%\Kestrun, with the options'
// filter and log bound and a remote KILL always refused; the process's exit
// status (1 when the SCM did not start this process).
int RunService(const ProgramOptions& options);
// In service mode: asks the service's thread to stop and answers true;
// false in the tray application.
bool ServiceRequestStop();
