// Windows-1250 to and from UTF-8 and UTF-16.
#pragma once
#include <cstddef>
#include <string>

// Windows-1250 to UTF-8 for terminals; the five undefined bytes become '?',
// and a character that does not fit whole in out is left out.
void Cp1250ToUtf8(const char* in, char* out, size_t outSize);
// UTF-8 to Windows-1250; 1 when in is not UTF-8 or has a character the code
// page lacks.
int Utf8ToCp1250(const std::string& in, std::string& out);
// One Windows-1250 byte as its UTF-16 unit, for the Windows wide calls (each
// character of the code page is one unit). The five bytes the code page
// leaves undefined map to U+0081, U+0083, U+0088, U+0090 and U+0098, as
// Windows maps them, so that every byte survives a round trip.
char16_t Cp1250ToUnit(unsigned char byte);
// The Windows-1250 byte of a UTF-16 unit; -1 when the code page lacks it
// (always for a surrogate).
int UnitToCp1250(char16_t unit);
