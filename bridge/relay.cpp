// The relay of what the port and the modems send: to the last UDP sender
// and to the TCP client that owns the port (ReplyTarget).
#include "base/settings.h"
#include "bridge/protocol.h"
#include "bridge/rfc2217.h"
#include "net/net.h"
#include "serial/serial.h"

// While prints are buffered the device's answers reach no client.
static void RelayDeviceInput(const uint8_t* data, int count) {
    if (settingsRecord.bufferPrints.load()) return;
    RelayToClients(data, count);
}

void BridgeConnect(void (*shutdown)()) {
    ProtocolSetShutdown(shutdown);
    SerialSetInputSink(RelayDeviceInput);
    NetSetHandlers(ProcessTCPData, ProcessUDPData, RelayToClients);
    Rfc2217Connect();
}
