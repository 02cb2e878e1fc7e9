// Print spool and dispatcher (placeholder).
#include "spool/spool.h"

int SpoolOpen(const char*, const CommandBlock&) { return 0; }
int SpoolWriteByte(uint8_t) { return 0; }
int SpoolClose() { return 0; }
void PrintDispatcher() {}
int StartPrintDispatcher() { return 1; }
int SpoolJobPath(char*, size_t, int) { return 1; }
void SpoolPrepareDirectory() {}
