// Settings on Windows: the spool folder at the root of drive C; setup.dat is
// replaced by MoveFileExA. Twin: settings_posix.cpp.
#include <windows.h>
#include "base/settings.h"

const char kDefaultSpoolDirectory[] = "C:\\SERVBUFF";

int ReplaceFileWith(const char* path, const char* temporary, const uint8_t* data, size_t size) {
    HANDLE h = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return (int)GetLastError();
    DWORD error = 0;
    while (size > 0 && !error) {
        DWORD written = 0;
        if (!WriteFile(h, data, (DWORD)size, &written, nullptr)) {
            error = GetLastError();
        } else if (written == 0) {
            error = ERROR_WRITE_FAULT;
        } else {
            data += written;
            size -= written;
        }
    }
    if (!error && !FlushFileBuffers(h)) error = GetLastError();
    if (!CloseHandle(h) && !error) error = GetLastError();
    if (error) return (int)error;
    // Write-through: the call returns once the rename is on the disk.
    if (!MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return (int)GetLastError();
    return 0;
}
