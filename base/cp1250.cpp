// Windows-1250, the code page of every text the bridge stores and logs, to and
// from UTF-8 for terminals and the Linux tools, and UTF-16 for the Windows
// wide calls.
#include "base/cp1250.h"
#include <cstdint>
#include <cstring>

// Unicode code points of Windows-1250 bytes 0x80..0xFF; 0 marks the five
// bytes the code page leaves undefined (shown as '?').
static const uint16_t kCp1250High[128] = {
    0x20AC, 0x0000, 0x201A, 0x0000, 0x201E, 0x2026, 0x2020, 0x2021,
    0x0000, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

void Cp1250ToUtf8(const char* in, char* out, size_t outSize) {
    if (outSize == 0) return;
    size_t used = 0;
    for (const unsigned char* p = (const unsigned char*)in; *p; p++) {
        unsigned code = *p < 0x80 ? *p : kCp1250High[*p - 0x80];
        if (code == 0) code = '?';
        char seq[3];
        size_t len;
        if (code < 0x80) {
            seq[0] = (char)code;
            len = 1;
        } else if (code < 0x800) {
            seq[0] = (char)(0xC0 | code >> 6);
            seq[1] = (char)(0x80 | (code & 0x3F));
            len = 2;
        } else {
            seq[0] = (char)(0xE0 | code >> 12);
            seq[1] = (char)(0x80 | ((code >> 6) & 0x3F));
            seq[2] = (char)(0x80 | (code & 0x3F));
            len = 3;
        }
        // A character that does not fit whole is left out, never cut.
        if (used + len >= outSize) break;
        memcpy(out + used, seq, len);
        used += len;
    }
    out[used] = 0;
}

// UTF-8 to Windows-1250 by looking each character up among the 256 bytes'
// own UTF-8 forms; 1 when the text is not UTF-8 or has a character the code
// page lacks.
int Utf8ToCp1250(const std::string& in, std::string& out) {
    std::string forms[256];
    for (int b = 1; b < 256; b++) {
        char one[2] = {(char)b, 0}, utf8[8];
        Cp1250ToUtf8(one, utf8, sizeof utf8);
        forms[b] = (b >= 0x80 && strcmp(utf8, "?") == 0) ? "" : utf8;  // undefined bytes
    }
    out.clear();
    size_t at = 0;
    while (at < in.size()) {
        int best = 0;
        for (int b = 1; b < 256; b++)
            if (!forms[b].empty() && in.compare(at, forms[b].size(), forms[b]) == 0) {
                best = b;
                break;
            }
        if (best == 0) return 1;
        out += (char)best;
        at += forms[best].size();
    }
    return 0;
}

char16_t Cp1250ToUnit(unsigned char byte) {
    if (byte < 0x80) return byte;
    uint16_t code = kCp1250High[byte - 0x80];
    return code ? (char16_t)code : (char16_t)byte;
}

int UnitToCp1250(char16_t unit) {
    if (unit < 0x80) return unit;
    for (int b = 0x80; b < 0x100; b++)
        if (Cp1250ToUnit((unsigned char)b) == unit) return b;
    return -1;
}
