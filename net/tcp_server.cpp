// TCP control server (placeholder).
#include "net/net.h"

ClientCell tcpCells[kClientCells];
void TCPServerOn() {}
void TCPServerOff() {}
