// Windows-1250 to and from UTF-8.
#pragma once
#include <cstddef>
#include <string>

// Windows-1250 to UTF-8 for terminals; the five undefined bytes become '?',
// and a character that does not fit whole in out is left out.
void Cp1250ToUtf8(const char* in, char* out, size_t outSize);
// UTF-8 to Windows-1250; 1 when in is not UTF-8 or has a character the code
// page lacks.
int Utf8ToCp1250(const std::string& in, std::string& out);
