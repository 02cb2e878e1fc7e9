// UDP control server (placeholder).
#include "net/net.h"

void UDPServerOn() {}
void UDPServerOff() {}
