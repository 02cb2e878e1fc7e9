// Shared set-up of the protocol and spool tests: a fresh bridge with its log
// in a fresh working folder, command lines, loopback clients of the bridge and
// job files. The fixtures undo what a test leaves (open job, open port, port
// names, bridge state) even when an assertion ended it early.
#pragma once
#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "log/log.h"
#include "loopback.h"
#include "net/net.h"
#include "serial/serial.h"
#include "spool/spool.h"
#include "unit_util.h"

inline std::string Cmd(const std::string& line) { return "\x1b" + line + "\r"; }

// Defaults, log "k.log" and spool folder "SERVBUFF" in the working folder.
struct BridgeFixture : ::testing::Test {
    ScopedWorkDir wd;
    void SetUp() override {
        NetStartup();
        BridgeConnect(nullptr);
        uint8_t image[kSettingsSize];
        DefaultSettingsImage(image);
        SettingsFromImage(image);
        LogSetPath("k.log");
        SetSettingsText(settingsRecord.spoolDirectory, sizeof settingsRecord.spoolDirectory, "SERVBUFF");
        settingsRecord.udpEnabled = 1;
        ResetBridgeState();
        ProtocolResetFraming();
        SpoolPrepareDirectory();  // as at start-up
    }
    void TearDown() override {
        if (bridge.spoolFile >= 0) SpoolClose();
        SerialOff();
        LogSetPath("");
        for (int k = 0; k < kVirtualSlots; k++)
            SetSettingsText(settingsRecord.virtualPortName[k], sizeof settingsRecord.virtualPortName[k], "");
        ResetBridgeState();
    }
};

// The spool tests run with print buffering on.
struct Spool : BridgeFixture {
    void SetUp() override {
        BridgeFixture::SetUp();
        settingsRecord.bufferPrints = 1;
    }
};

// Reads from s until n bytes arrived or timeoutMs passed.
inline std::string Recv(Handle s, size_t n, int timeoutMs) {
    std::string got;
    WaitFor([&] {
        if (lb::Readable(s, 1)) {
            char buf[2048];
            int r = (int)recv(lb::Raw(s), buf, sizeof buf, 0);
            if (r > 0) got.append(buf, (size_t)r);
        }
        return got.size() >= n;
    }, timeoutMs);
    return got;
}

// Reads what arrives until quietMs pass without a byte.
inline std::string Drain(Handle s, int quietMs = 100) {
    std::string got;
    for (int round = 0; round < 100; round++) {
        std::string more = Recv(s, 1, quietMs);
        if (more.empty()) break;
        got += more;
    }
    return got;
}

// A loopback TCP connection: client is the test's end, server the bridge's
// end, put into a ClientCell as the TCP server would.
struct TcpPair {
    lb::TcpPair pair;
    Handle client = kNoHandle;
    ClientCell* cell = nullptr;
    explicit TcpPair(ClientCell* into) : cell(into) {
        pair.Open();
        client = pair.client;
        cell->socket = pair.server;
    }
    ~TcpPair() { cell->socket = kNoHandle; }
    void Feed(const std::string& bytes) {
        ProcessTCPData((const uint8_t*)bytes.data(), (int)bytes.size(), cell);
    }
    std::string Reply(size_t n) { return Recv(client, n, 3000); }
};

// The UDP control socket and a client; the bridge's replies go to the last
// sender, which is the client.
struct UdpPair {
    Handle client = kNoHandle, server = kNoHandle;
    UdpPair() {
        server = lb::UdpSocket();
        client = lb::UdpSocket();
        bridge.udpSocket = server;
        bridge.lastUdpSender = lb::PackedLoopback(lb::LocalPort(client));
    }
    ~UdpPair() {
        bridge.udpSocket = kNoHandle;
        lb::CloseSock(server);
        lb::CloseSock(client);
    }
    void Feed(const std::string& bytes) {
        ProcessUDPData((const uint8_t*)bytes.data(), (int)bytes.size());
    }
    std::string Reply(size_t n) { return Recv(client, n, 3000); }
};

inline std::string JobPath(int n) {
    char path[512];
    EXPECT_EQ(0, SpoolJobPath(path, sizeof path, n));
    return path;
}

// A job file as SpoolOpen writes it, with chosen parameters and data.
inline void WriteJob(int n, const char* port, int32_t baud, const std::string& data, int32_t dataBits = 8,
                     char parity = 'N', int32_t stopBits = 1) {
    std::string header(kSpoolHeaderSize, '\0');
    memcpy(&header[0], port, strlen(port));
    CommandBlock block;
    memset(&block, 0, sizeof block);
    block.inCommand = 1;
    block.baud = baud;
    block.dataBits = dataBits;
    block.parity = parity;
    block.stopBits = stopBits;
    block.timeout1 = 10;
    block.timeout2 = 50;
    memcpy(&header[kSpoolPortNameSize], &block, sizeof block);
    std::filesystem::create_directories("SERVBUFF");
    WriteFileBytes(JobPath(n), header + data);
}
