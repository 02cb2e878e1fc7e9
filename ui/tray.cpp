// Tooltip and statistics text (placeholder).
#include "ui/ui.h"
#include <cstring>

void FormatStatistics(char out[256]) { out[0] = 0; }
void BuildTooltip(const char*, char out[128]) { out[0] = 0; }
void Cp1250ToUtf8(const char* in, char* out, size_t size) { strncpy(out, in, size); }
