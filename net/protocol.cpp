// Command protocol (placeholder).
#include "net/net.h"

std::mutex protocolLock;

void ProcessTCPData(const uint8_t*, int, ClientCell*) {}
int ExecuteTCPCommand(const uint8_t*, int length, int& position, ClientCell*) { position = length; return 1; }
void ProcessUDPData(const uint8_t*, int) {}
int ExecuteUDPCommand(const uint8_t*, int length, int& position) { position = length; return 1; }
int FindVirtualPort(const char*) { return -1; }
int32_t ParseNumber(const char*) { return 0; }
