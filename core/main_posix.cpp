// Program entry of the Linux daemon. Twin: main_win32.cpp.
#include "core/core.h"

int main() {
    return KestrunMain();
}
