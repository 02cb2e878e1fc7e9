// The Windows service: kestrun.exe --service runs the bridge under the
// Service Control Manager, with no window and no tray icon, in
// %ProgramData%\Kestrun (or -C DIR). The service's thread is the bridge's
// main thread: start-up, the 300 ms tick loop with its reloads, and the
// shutdown. The control handler, on the dispatcher's thread, only reports
// and sets the two events. Beside app_win32.cpp, which dispatches to it.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <atomic>
#include <mutex>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "core/core.h"
#include "core/program_win32.h"
#include "log/log.h"

// The SCM's name is the one it started the service under; a service of its
// own process may give any name here.
static wchar_t kServiceName[] = L"Kestrun";

// How long each step of the start and of the shutdown may take, as the wait
// hint of the pending state: the serial close is bounded at about two
// seconds, every server's stop well under one.
enum : DWORD { kStartHintMs = 10000, kStopStepHintMs = 5000 };

// Made before the dispatcher starts, closed at the process end.
static HANDLE stopEvent = nullptr;    // manual reset: a stop stays asked for
static HANDLE reloadEvent = nullptr;  // auto reset: one reload per request
static std::atomic<bool> serviceMode{false};
static ProgramOptions serviceOptions;  // written before the dispatcher starts

// The handler (dispatcher thread) and the service's thread both report the
// state: the status record and its check point under statusLock.
static std::mutex statusLock;
static SERVICE_STATUS_HANDLE statusHandle = nullptr;
static SERVICE_STATUS status;
static DWORD acceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;

// Reports state to the SCM. A pending state counts its check point up from
// 1; once STOPPED is reported nothing more is. Only RUNNING takes controls.
static void Report(DWORD state, DWORD exitCode, DWORD waitHint) {
    std::lock_guard<std::mutex> guard(statusLock);
    if (!statusHandle || status.dwCurrentState == SERVICE_STOPPED) return;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    if (!pending)
        status.dwCheckPoint = 0;
    else if (state != status.dwCurrentState)
        status.dwCheckPoint = 1;
    else
        status.dwCheckPoint++;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = waitHint;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? acceptedControls : 0;
    if (SetServiceStatus(statusHandle, &status) || state != SERVICE_RUNNING) return;
    // A system without PRESHUTDOWN refuses the whole set: take SHUTDOWN.
    if (GetLastError() != ERROR_INVALID_PARAMETER) return;
    acceptedControls = (acceptedControls & ~(DWORD)SERVICE_ACCEPT_PRESHUTDOWN) | SERVICE_ACCEPT_SHUTDOWN;
    status.dwControlsAccepted = acceptedControls;
    SetServiceStatus(statusHandle, &status);
}

// The shutdown's progress, after each of its steps.
static void ReportStopStep() {
    Report(SERVICE_STOP_PENDING, NO_ERROR, kStopStepHintMs);
}

static DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, NO_ERROR, kStopStepHintMs);
        SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        SetEvent(reloadEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The tick loop's wait: a stop before a reload.
static int WaitForRequest(int timeoutMs) {
    HANDLE events[2] = {stopEvent, reloadEvent};
    DWORD woken = WaitForMultipleObjects(2, events, FALSE, (DWORD)timeoutMs);
    if (woken == WAIT_OBJECT_0) return kWaitShutdown;
    if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) return kWaitShutdown;
    if (woken == WAIT_OBJECT_0 + 1) return kWaitReload;
    return kWaitTimedOut;
}

static std::wstring Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, &wide[0], n);
    wide.resize((size_t)n - 1);
    return wide;
}

static std::wstring ProgramDataFolder() {
    PWSTR known = nullptr;
    std::wstring folder;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known) == S_OK && known) folder = known;
    CoTaskMemFree(known);
    if (!folder.empty()) return folder;
    wchar_t text[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"ProgramData", text, MAX_PATH);
    if (n > 0 && n < MAX_PATH) folder = text;
    return folder;
}

// %ProgramData%\Kestrun, made if missing. It holds the settings the
// service obeys, the log path among them, so a new one is writable only by
// the system, administrators and the service's account (LocalService, as
// the installer registers it); others may read it, whatever ProgramData
// lets users do. A link in its place is refused.
static DWORD MakeServiceFolder(std::wstring& folder) {
    folder = ProgramDataFolder();
    if (folder.empty()) return ERROR_PATH_NOT_FOUND;
    folder += L"\\Kestrun";
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;LS)(A;OICI;FRFX;;;BU)",
                                                             SDDL_REVISION_1, &descriptor, nullptr))
        attributes.lpSecurityDescriptor = descriptor;
    BOOL made = CreateDirectoryW(folder.c_str(), &attributes);
    DWORD error = made ? NO_ERROR : GetLastError();
    if (descriptor) LocalFree(descriptor);
    if (error != NO_ERROR && error != ERROR_ALREADY_EXISTS) return error;
    DWORD kind = GetFileAttributesW(folder.c_str());
    if (kind == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (!(kind & FILE_ATTRIBUTE_DIRECTORY) || (kind & FILE_ATTRIBUTE_REPARSE_POINT)) return ERROR_CANT_ACCESS_FILE;
    return NO_ERROR;
}

// A service starts in System32: the working folder is set before anything
// reads a relative path. NO_ERROR, or why it could not be.
static DWORD EnterWorkingFolder() {
    std::wstring folder;
    if (!serviceOptions.directory.empty()) {
        folder = Wide(serviceOptions.directory);
        if (folder.empty()) return ERROR_INVALID_NAME;
    } else {
        DWORD error = MakeServiceFolder(folder);
        if (error != NO_ERROR) return error;
    }
    return SetCurrentDirectoryW(folder.c_str()) ? NO_ERROR : GetLastError();
}

static void WINAPI ServiceMain(DWORD, LPWSTR*) {
    {
        std::lock_guard<std::mutex> guard(statusLock);
        statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
    }
    if (!statusHandle) return;
    Report(SERVICE_START_PENDING, NO_ERROR, kStartHintMs);
    DWORD error = EnterWorkingFolder();
    if (error != NO_ERROR) {
        Report(SERVICE_STOPPED, error, 0);
        return;
    }
    if (AnotherInstanceRuns()) {
        // Nobody sees a message box here: one line in the log it would use.
        LoadSettings();
        LogSetPath(settingsRecord.logPath);
        LogText("Error - Kestrun juz dziala, usluga nie zostala uruchomiona");
        Report(SERVICE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING, 0);
        return;
    }
    ApplyProgramOptions(serviceOptions);
    StartupBegin();
    Report(SERVICE_START_PENDING, NO_ERROR, kStartHintMs);
    BridgeConnect(RequestShutdown);
    // Nobody is there to start the service again after a remote KILL.
    ProtocolRefuseKill(true);
    StartupServices();
    StartAlwaysOpenPort();
    Report(SERVICE_RUNNING, NO_ERROR, 0);

    RunTickLoop(WaitForRequest);

    // The tray's shutdown, with its progress reported after each step.
    Report(SERVICE_STOP_PENDING, NO_ERROR, kStopStepHintMs);
    ShutdownServices(ReportStopStep);
    EndBanner();
    Report(SERVICE_STOPPED, NO_ERROR, 0);
}

int RunService(const ProgramOptions& options) {
    serviceOptions = options;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reloadEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!stopEvent || !reloadEvent) return 1;
    serviceMode = true;
    SERVICE_TABLE_ENTRYW table[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    // Returns once the service has stopped; fails at once when this process
    // was not started by the SCM.
    if (!StartServiceCtrlDispatcherW(table)) return 1;
    return 0;
}

bool ServiceRequestStop() {
    if (!serviceMode) return false;
    SetEvent(stopEvent);
    return true;
}
