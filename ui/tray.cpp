// The tray's texts on both platforms: the statistics text and the tooltip
// built from the host addresses and the interface.
#include <cstdio>
#include <cstring>
#include "base/bridge.h"
#include "base/settings.h"
#include "ui/ui.h"

void FormatStatistics(char out[256]) {
    const BridgeState& b = bridge;
    // The counters in the order the lines show them (not their index order).
    snprintf(out, 256,
             "Po\xB3\xB9"
             "czenia: %d\nAutoroz\xB3\xB9"
             "cz: %d\n\nIl. po\xB3. TCP: %d\nIl. po\xB3. wirt. port\xF3w: %d\n"
             "Il. po\xB3. UDP: %d\nBuforowano: %d\nWydrukowano: %d\n",
             (int)b.Statistics[kStatConnections].load(), (int)b.Statistics[kStatAutoDisconnects].load(),
             (int)b.Statistics[kStatTcpConnections].load(),
             (int)b.Statistics[kStatVirtualConnections].load(),
             (int)b.Statistics[kStatUdpDatagrams].load(), (int)b.Statistics[kStatBuffered].load(),
             (int)b.Statistics[kStatPrinted].load());
}

// Appends text to a work buffer without running past its end.
static void Append(char* work, size_t size, const char* text) {
    size_t used = strnlen(work, size);
    if (used + 1 >= size) return;
    size_t n = strnlen(text, size - 1 - used);
    memcpy(work + used, text, n);
    work[used + n] = 0;
}

void BuildTooltip(const char* text, char out[128]) {
    out[0] = 0;
    if (!text) return;
    char work[1024] = "IP:\n";
    for (int i = 0; i < kLocalAddresses; i++) {
        char address[17];
        memcpy(address, bridge.localAddresses[i], 16);
        address[16] = 0;
        if (!address[0]) continue;  // empty entries leave no empty line
        Append(work, sizeof work, address);
        Append(work, sizeof work, "\n");
    }
    char interfaceAddress[101];
    SettingsText(interfaceAddress, sizeof interfaceAddress, settingsRecord.interfaceAddress);
    if (interfaceAddress[0]) {
        Append(work, sizeof work, "Interface: ");
        Append(work, sizeof work, interfaceAddress);
        Append(work, sizeof work, "\n");
    }
    Append(work, sizeof work, text);
    size_t n = strnlen(work, kTooltipMax);
    memcpy(out, work, n);
    out[n] = 0;
}
