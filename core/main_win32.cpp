// Program entry of the Windows tray application. Twin: main_posix.cpp.
#include <windows.h>
#include "core/core.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return KestrunMain();
}
