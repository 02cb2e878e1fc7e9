// Virtual port server (placeholder).
#include "net/net.h"

ClientCell virtualCells[kClientCells];
void VirtualPortsOn() {}
void VirtualPortsOff() {}
