// Line rates on Linux through termios2, so that any rate the driver can make
// is set, not only those that have a Bnnn constant. Kept in a file of its
// own: the kernel's termios2 header cannot share a file with <termios.h>.
#pragma once
#include <cstdint>

// Sets the input and output rate of a terminal device; 0 when the driver
// holds that rate afterwards. A rate of 0, a refusal, or a rate the driver
// replaced with another one (more than 3 % off) is 1, and the device keeps
// the rate it had.
int SetLineRate(int fd, uint32_t rate);
