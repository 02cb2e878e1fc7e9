// A serial driver double for the tests linked with -Wl,--wrap=ioctl: every
// ioctl of the program passes through here. A pseudo-terminal has no modem
// lines, so where its driver refuses the line calls RTS and DTR are kept
// here; and two rates stand for a driver that refuses a rate and one that
// quietly falls back to 9600. Apart from <termios.h>, as termios2 needs.
#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <atomic>
#include <cstdint>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace kt {

static std::atomic<int> lines{0};

int DoubleLines() {
    return lines.load();
}

void SetDoubleLines(int value) {
    lines = value;
}

}  // namespace kt

// The rates are those declared in support/pty.h.
extern "C" int __wrap_ioctl(int fd, unsigned long request, void* arg) {
    if (request == TCSETS2) {
        struct termios2 t = *(const struct termios2*)arg;
        if (t.c_ospeed == 4000000) {
            errno = EINVAL;
            return -1;
        }
        if (t.c_ospeed == 3000000) t.c_ispeed = t.c_ospeed = 9600;
        return __real_ioctl(fd, request, &t);
    }
    int r = __real_ioctl(fd, request, arg);
    if (r == 0 || errno != ENOTTY) return r;
    int* value = (int*)arg;
    switch (request) {
        case TIOCMBIS: kt::lines |= *value; return 0;
        case TIOCMBIC: kt::lines &= ~*value; return 0;
        case TIOCMSET: kt::lines = *value; return 0;
        case TIOCMGET: *value = kt::lines.load(); return 0;
        default: return r;
    }
}
