// The line rate of a terminal device through termios2, which holds any rate
// in bauds. Apart from pty_posix.cpp: the kernel's termios2 header cannot
// share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <cstdint>

namespace kt {

uint32_t LineRateOf(int fd) {
    struct termios2 t;
    return ioctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

}  // namespace kt
