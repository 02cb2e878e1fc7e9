// The log's rendering of data and its entries. Checks:
//   - EscapeBytes renders each byte as itself (0x20 to 0x7F), [LF], [CR],
//     [ESC] or [XX] with two upper-case hex digits, and nothing else;
//   - a dump of any length lands in the file whole after its header, an
//     entry of any text lands with every LF stored as CR LF, cut at 4095
//     characters;
//   - EscapeText renders a text as EscapeBytes does, so it stays one line;
//   - the timer arithmetic is exact: (ticks * 10^6) / frequency, held at
//     the limit beyond 64 bits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include "log/log.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "PROPERTY FAILED: %s\n", what);
    abort();
}

std::string logFile;

bool Init() {
    std::random_device random;
    auto dir = std::filesystem::temp_directory_path() /
               ("kestrun-fuzz-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir);
    logFile = (dir / "k.log").string();
    LogSetPath(logFile.c_str());
    return true;
}

std::string Rendered(const uint8_t* data, size_t size) {
    std::string out;
    char hex[8];
    for (size_t i = 0; i < size; i++) {
        uint8_t b = data[i];
        if (b == '\n')
            out += "[LF]";
        else if (b == '\r')
            out += "[CR]";
        else if (b == 0x1B)
            out += "[ESC]";
        else if (b < 0x20 || b > 0x7F)
            snprintf(hex, sizeof hex, "[%02X]", b), out += hex;
        else
            out += (char)b;
    }
    return out;
}

std::string ReadLog() {
    std::string bytes;
    FILE* f = fopen(logFile.c_str(), "rb");
    if (!f) return bytes;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

// The text of the one entry in the log, after "msek. ".
std::string EntryText(const std::string& log) {
    size_t at = log.find(" msek. ");
    if (log.compare(0, 2, "\r\n") != 0 || at == std::string::npos) Fail("an entry without its stamp");
    return log.substr(at + 7);
}

std::string CrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Init();
    (void)ready;

    std::vector<char> out(5 * size + 1);
    EscapeBytes(data, (int)size, out.data());
    std::string expected = Rendered(data, size);
    if (strlen(out.data()) != expected.size() || expected.compare(out.data()) != 0)
        Fail("EscapeBytes differs from the byte table");

    remove(logFile.c_str());
    LogDump("Dump:", data, (int)size);
    if (EntryText(ReadLog()) != "Dump:" + expected) Fail("the dump in the file is not the rendering whole");

    // The input up to its first zero byte as the text of an entry.
    std::string text((const char*)data, strnlen((const char*)data, size));
    remove(logFile.c_str());
    LogText(text.c_str());
    std::string log = ReadLog();
    // A foreign text put into an entry: its rendering, one line.
    std::vector<char> shown(5 * text.size() + 1);
    EscapeText(text.c_str(), shown.data(), shown.size());
    if (Rendered((const uint8_t*)text.data(), text.size()) != shown.data())
        Fail("EscapeText differs from EscapeBytes");
    if (text.empty()) {
        if (!log.empty()) Fail("an empty text made an entry");
    } else {
        size_t stamp = log.find(" msek. ") + 7 - 1;  // the file's stamp, its CR LF counted once
        if (log.find(" msek. ") == std::string::npos) Fail("an entry without its stamp");
        std::string kept = text.substr(0, stamp < 4095 ? 4095 - stamp : 0);
        if (EntryText(log) != CrLf(kept)) Fail("the entry's text is not the text, LF as CR LF, cut at 4095");
    }

    if (size >= 16) {
        int64_t ticks, frequency;
        memcpy(&ticks, data, 8);
        memcpy(&frequency, data + 8, 8);
        if (ticks < 0) ticks = -(ticks + 1);
        if (frequency < 0) frequency = -(frequency + 1);
        if (frequency > 0) {
            // Exact below 2^62 microseconds (146,000 years); held high above.
            __int128 exact = (__int128)ticks * 1000000 / frequency;
            int64_t micros = PerfTicksToMicros(ticks, frequency);
            if (exact < ((__int128)1 << 62) ? micros != (int64_t)exact : micros < ((int64_t)1 << 62))
                Fail("PerfTicksToMicros is not exact");
        }
    }
    return 0;
}
