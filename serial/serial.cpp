// Serial port (placeholder: every operation fails).
#include "serial/serial.h"
#include <cstring>

int SerialOpen(char*, uint32_t, int, char, int, int, int, int) { return 1; }
void SerialOff() { bridge.portClaimed = 0; }
int SerialWriteByte(uint8_t) { return 1; }
void ToggleRTS() {}
void ToggleDTR() {}
void AckDeviceLines(const uint8_t*, int) {}
bool IsHandshakeAck(uint8_t) { return false; }
bool IsCtsDeviceType(int) { return false; }
int ComNumberOf(const char*) { return 0; }
void SerialDeviceName(const char* n, char* out, size_t size) { strncpy(out, n, size); }
uint8_t SerialModemStatus() { return 0; }
void SerialGetDcb(uint8_t dcb[kDcbSize]) { memset(dcb, 0, kDcbSize); }
void SerialSetDcb(const uint8_t*) {}
void SerialPurge() {}
Handle OpenCommPort(const char*, uint32_t, int, char, int, int, int, int) { return kNoHandle; }
void SerialPolling() {}
