// Between the two programs of kestrun.exe: the tray application
// (app_win32.cpp, which holds WinMain) and the service (service_win32.cpp).
#pragma once
#include <string>

// What the service takes from the command line.
struct ServiceOptions {
    std::string directory;  // -C DIR (UTF-8), empty for %ProgramData%\Kestrun
};

// Takes the machine-wide instance mutex; true when another copy (tray or
// service, in any session) holds it. The handle stays open until the end.
bool AnotherInstanceRuns();
// Runs the bridge under the Service Control Manager until it is stopped;
// the process's exit status (1 when the SCM did not start this process).
int RunService(const ServiceOptions& options);
// In service mode: asks the service's thread to stop and answers true;
// false in the tray application.
bool ServiceRequestStop();
