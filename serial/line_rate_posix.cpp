// Line rates on Linux: termios2 with BOTHER, the rate given in bauds.
// Only <asm/termbits.h> here, never <termios.h>: both define struct termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include "serial/line_rate_posix.h"

static bool Near(uint32_t held, uint32_t wanted) {
    uint64_t diff = held > wanted ? held - wanted : wanted - held;
    return diff * 100 <= (uint64_t)wanted * 3;
}

int SetLineRate(int fd, uint32_t rate) {
    // Rate 0 is B0 to a terminal: it would hang the line up.
    if (rate == 0) return 1;
    struct termios2 before, t;
    if (ioctl(fd, TCGETS2, &before) != 0) return 1;
    t = before;
    t.c_cflag &= ~(tcflag_t)(CBAUD | CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER | BOTHER << IBSHIFT;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (ioctl(fd, TCSETS2, &t) != 0) return 1;
    // Drivers store the rate they really set; one that cannot make the rate
    // may fall back to another (often 9600) without an error.
    if (ioctl(fd, TCGETS2, &t) == 0 && Near(t.c_ospeed, rate)) return 0;
    ioctl(fd, TCSETS2, &before);
    return 1;
}
