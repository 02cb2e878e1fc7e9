// Sends to clients (placeholder).
#include "net/net.h"

int SendTCP(const uint8_t*, int, ClientCell*) { return 1; }
int SendUDP(const uint8_t*, int) { return 0; }
