// UDP control server: one thread that receives datagrams on the control port
// and hands each to the datagram handler; the latest sender gets the replies.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include "base/settings.h"
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"

static std::thread udpThread;  // main thread only
static std::atomic<int> udpStop{0};

static void UDPPolling() {
    LogText("UDP Poling - Start");
    if (NetStartup() != 0) {
        LogText("UDP Poling - Error - blad startu Winsock");
        LogText("UDP Poling - Stop");
        return;
    }
    static uint8_t buffer[kMaxPacket + 1];
    memset(buffer, 0, sizeof buffer);

    char address[101];
    SettingsText(address, sizeof address, settingsRecord.interfaceAddress);
    int port = settingsRecord.udpPort;
    int error = 0;
    Handle s = UdpOpen(address, port, &error);
    if (s == kNoHandle) {
        char shown[sizeof address * 5];
        EscapeText(address[0] ? address : "0.0.0.0", shown, sizeof shown);
        LogFormat("UDP Poling - Error - blad nasluchu na %s:%d, kod: %d", shown, port,
                  error);
    }
    // Bound again every 300 ms, silently, until it binds or the server stops.
    while (s == kNoHandle) {
        for (int i = 0; i < 3 && !udpStop; i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (udpStop) {
            LogText("UDP Poling - Stop");
            return;
        }
        s = UdpOpen(address, port, &error);
    }
    Handle event = UdpEventOpen(s);
    if (event == kNoHandle) {
        LogText("UDP Poling - Stop");
        SocketClose(s);
        return;
    }
    bridge.udpSocket = s;
    LogText("UDP Poling - Ready");

    // An unexpected receive error is logged once per run of them, and
    // receiving goes on after a short pause: only a stop ends the thread.
    bool errorLogged = false;
    // The 100 ms step is also how soon a stop request is seen.
    while (!udpStop) {
        if (!UdpEventWait(event, s, 100)) continue;
        uint64_t sender = 0;
        int n = UdpReceive(s, buffer, kMaxPacket, &sender, &error);
        if (n == kRecvRetry) continue;
        if (n == kRecvTooLong) {
            // One oversized datagram must not end the server: drop it whole.
            LogFormat("UDP Poling - Error - datagram dluzszy niz %d bajtow pominiety", kMaxPacket);
            continue;
        }
        if (n < 0) {
            if (!errorLogged) LogFormat("UDP Poling - Error - blad odbioru, kod: %d", error);
            errorLogged = true;
            for (int i = 0; i < 5 && !udpStop; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        errorLogged = false;
        // A refused sender is not answered and does not become the last sender.
        if (!PeerAllowed(UdpSenderAddress(sender))) continue;
        bridge.lastUdpSender = sender;
        if (n == 0) continue;
        bridge.Statistics[kStatUdpDatagrams]++;
        buffer[n] = 0;
        LogDump("TCP/UDP receive:", buffer, n);
        DataHandler handler = udpDatagramHandler;
        if (handler) handler(buffer, n);
    }

    UdpEventClose(event);
    {
        std::lock_guard<std::mutex> guard(udpSocketLock);
        bridge.udpSocket = kNoHandle;
        SocketClose(s);
    }
    // The handler hears of the stop as a datagram of length 0, so a line a
    // sender left unfinished does not run on with the next server's senders.
    DataHandler handler = udpDatagramHandler;
    if (handler) handler(nullptr, 0);
    LogText("UDP Poling - Stop");
}

void UDPServerOn() {
    LogText("Serwer UDP On - Start");
    // A second start while one runs would fight over the one socket.
    if (udpThread.joinable()) return;
    udpStop = 0;
    udpThread = std::thread(UDPPolling);
    LogText("Serwer UDP On - Stop");
}

void UDPServerOff() {
    LogText("Serwer UDP Off - Start");
    if (!udpThread.joinable()) return;
    udpStop = 1;
    udpThread.join();
    LogText("Serwer UDP Off - Stop");
}
