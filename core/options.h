// The command line that the daemon and kestrun.exe share: parsed here, one
// platform's program acting on the result (folder, service, output).
#pragma once
#include <string>
#include <vector>

// Which program's options: the Windows one also takes --service and --set.
enum OptionsProgram { kDaemonOptions, kWindowsOptions };

struct ProgramOptions {
    std::string directory;  // -C DIR, empty for the working folder
    bool noRemoteKill = false;
    bool service = false;           // --service (Windows)
    std::vector<std::string> sets;  // --set field=value ... (Windows)
    long long logMaxBytes = 0;      // --log-max-bytes, 0 for the default
    std::vector<std::string> rfc2217;  // --rfc2217 values, each checked
};

// Parses argv[1..argc-1] (UTF-8). -1: run with options. Otherwise the exit
// status, with text to show: 0 (--help, --version) for the output, 2 (a
// wrong command line) for the error stream, the usage included.
int ParseProgramOptions(int argc, const char* const* argv, OptionsProgram program, ProgramOptions& options,
                        std::string& text);
// Sets up what the options ask of the bridge before its servers start: the
// --allow filter, the KILL refusal, the log's size bound and the RFC 2217
// listeners.
void ApplyProgramOptions(const ProgramOptions& options);
