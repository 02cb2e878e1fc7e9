// Small helpers shared by the unit tests of both targets.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

// A fresh empty folder made the working directory for one test, removed after.
struct ScopedWorkDir {
    std::filesystem::path old, dir;
    ScopedWorkDir() {
        old = std::filesystem::current_path();
        std::random_device rd;
        dir = std::filesystem::temp_directory_path() /
              ("kestrun-unit-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
    }
    ~ScopedWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(old, ec);
        std::filesystem::remove_all(dir, ec);
    }
};

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

// The communication log of the test's working folder.
inline std::string Log() { return ReadFileBytes("k.log"); }

// How often `what` occurs in text.
inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Polls cond every few milliseconds until it holds or the time is up.
template <class F>
bool WaitFor(F cond, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}
