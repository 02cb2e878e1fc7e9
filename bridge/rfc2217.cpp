// RFC 2217 sessions: a connection on an RFC 2217 listener owns the port it
// names for as long as it lasts, like a TCP client after COM. Its settings
// go through the same serial code as SETDCB, RTS= and DTR=.
#include "bridge/rfc2217.h"
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>
#include "base/settings.h"
#include "bridge/protocol.h"
#include "log/log.h"
#include "net/net.h"
#include "net/rfc2217_server.h"
#include "serial/serial.h"

TelnetEvent TelnetNext(TelnetParser& p, const uint8_t* data, int length, int& position, uint8_t* run,
                       int& runLength) {
    while (position < length) {
        if (p.state == 0) {
            // The stretch up to the next IAC is data, copied as one run.
            const uint8_t* from = data + position;
            const void* iac = memchr(from, kIac, (size_t)(length - position));
            int n = iac ? (int)((const uint8_t*)iac - from) : length - position;
            memcpy(run + runLength, from, (size_t)n);
            runLength += n;
            position += n;
            if (position == length) break;
        }
        uint8_t b = data[position++];
        switch (p.state) {
            case 0:
                if (b == kIac)
                    p.state = 1;
                else
                    run[runLength++] = b;
                break;
            case 1:
                if (b == kIac) {
                    run[runLength++] = kIac;
                    p.state = 0;
                } else if (b >= kWill) {
                    p.verb = b;
                    p.state = 2;
                } else if (b == kSb) {
                    p.subLength = 0;
                    p.subDropped = 0;
                    p.state = 3;
                } else {
                    p.state = 0;  // NOP, GA and the like: nothing to do
                }
                break;
            case 2:
                p.state = 0;
                return {kTelnetOption, p.verb, b};
            case 3:
            case 4:
                if (p.state == 3 && b == kIac) {
                    p.state = 4;
                    break;
                }
                if (p.state == 4 && b == kSe) {
                    p.state = 0;
                    return {kTelnetSub, 0, 0};
                }
                // IAC IAC is one 255; any other IAC pair inside is dropped.
                if (p.state == 3 || b == kIac) {
                    if (p.subLength < kMaxSubnegotiation)
                        p.sub[p.subLength++] = b;
                    else
                        p.subDropped++;
                }
                p.state = 3;
                break;
        }
    }
    return {kTelnetEnd, 0, 0};
}

namespace {

// One session. The parser, the options and the settings belong to the
// listener's thread; sendOrder keeps the relay's sends and the suspension
// (suspended, held, heldDropped) in order between it and the reader.
struct RfcSession {
    TelnetParser parser;
    bool local[256], remote[256];  // options in force: ours (WILL), the client's
    bool owner;
    bool breakOn;
    bool errorSaid;
    char portName[16];
    char peer[16];
    uint8_t modemMask, lineMask;
    int lastModem;  // -1: not read yet
    std::mutex sendOrder;
    bool suspended;
    std::vector<uint8_t> held;
    int heldDropped;
};

enum : int { kHeldMax = 65536 };

RfcSession sessions[kMaxRfc2217Listeners * kClientCells];
// A session on a connection outside the listeners' tables (the fuzz target).
RfcSession otherSession;
std::atomic<ClientCell*> otherCell{nullptr};

RfcSession* SessionOf(const ClientCell* cell) {
    int i = Rfc2217CellIndex(cell);
    if (i >= 0) return &sessions[i];
    if (cell && cell == otherCell.load()) return &otherSession;
    return nullptr;
}

uint32_t GetLe32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

void Send(ClientCell& cell, const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) SendTCP(bytes.data(), (int)bytes.size(), &cell);
}

void SendOption(ClientCell& cell, uint8_t verb, uint8_t option) {
    Send(cell, {kIac, verb, option});
}

// IAC SB COM-PORT-OPTION command value IAC SE, the value IAC doubled.
void SendSub(ClientCell& cell, uint8_t command, const uint8_t* value, int length) {
    std::vector<uint8_t> out = {kIac, kSb, kOptComPort, command};
    for (int i = 0; i < length; i++) {
        out.push_back(value[i]);
        if (value[i] == kIac) out.push_back(kIac);
    }
    out.insert(out.end(), {kIac, kSe});
    Send(cell, out);
}

void SendSubByte(ClientCell& cell, uint8_t command, uint8_t value) {
    SendSub(cell, command, &value, 1);
}

bool Owns(const ClientCell& cell, const RfcSession& s) {
    if (!s.owner || bridge.ReplyTarget.load() != &cell) return false;
    return settingsRecord.alwaysOpen ? AlwaysOpenPortClaimed() : SerialIsOpen();
}

// The RFC 2217 codes of the DCB image's parity (0 none .. 4 space) and
// stop bits (0 one, 1 one and a half, 2 two).
uint8_t ParityCode(uint8_t dcbParity) {
    return dcbParity <= 4 ? (uint8_t)(dcbParity + 1) : 1;
}
uint8_t StopCode(uint8_t dcbStop) {
    return dcbStop == 2 ? 2 : dcbStop == 1 ? 3 : 1;
}

void LogSettings(const RfcSession& s, const uint8_t* dcb) {
    static const char letters[] = "NOEMS";
    char line[128];
    PortParameterLine(line, sizeof line, GetLe32(dcb + kDcbOffBaud), dcb[kDcbOffDataBits],
                      dcb[kDcbOffParity] <= 4 ? letters[dcb[kDcbOffParity]] : '?',
                      dcb[kDcbOffStopBits] == 2 ? 2 : 1);
    LogFormat("RFC 2217 - %s: ustawiono %s", s.portName, line);
}

// Applies a change to the port's DCB image as SETDCB does, keeping RTS and
// DTR where they are; the image in force afterwards is left in dcb. Under
// protocolLock, so no SETDCB of a client comes between.
enum DcbField { kBaud, kDataSize, kParity, kStopSize, kOutFlow, kInFlow };
void ChangeDcb(DcbField field, uint32_t value, uint8_t dcb[kDcbSize]) {
    std::lock_guard<std::mutex> guard(protocolLock);
    SerialGetDcb(dcb);
    if (dcb[kDcbOffLength] != kDcbSize) return;  // no port open
    uint32_t flags = GetLe32(dcb + kDcbOffFlags);
    switch (field) {
        case kBaud: PutLe32(dcb + kDcbOffBaud, value); break;
        case kDataSize: dcb[kDcbOffDataBits] = (uint8_t)value; break;
        case kParity: dcb[kDcbOffParity] = (uint8_t)(value - 1); break;
        case kStopSize: dcb[kDcbOffStopBits] = value == 2 ? 2 : value == 3 ? 1 : 0; break;
        case kOutFlow:
            flags &= ~(1u << 2 | 1u << 8);
            if (value == 2) flags |= 1u << 8;
            if (value == 3) flags |= 1u << 2;
            break;
        case kInFlow:
            flags &= ~(1u << 9 | 3u << 12);
            if (value == 15) flags |= 1u << 9;
            if (value == 16) flags |= 2u << 12;
            break;
    }
    flags &= ~(3u << 4);
    if (DtrState()) flags |= 1u << 4;
    if ((flags >> 12 & 3) != 2) {
        flags &= ~(3u << 12);
        if (RtsState()) flags |= 1u << 12;
    }
    PutLe32(dcb + kDcbOffFlags, flags);
    SerialSetDcb(dcb);
    SerialGetDcb(dcb);
}

uint8_t OutFlowCode(const uint8_t* dcb) {
    uint32_t flags = GetLe32(dcb + kDcbOffFlags);
    return flags & 1u << 2 ? 3 : flags & 1u << 8 ? 2 : 1;
}

uint8_t InFlowCode(const uint8_t* dcb) {
    uint32_t flags = GetLe32(dcb + kDcbOffFlags);
    return (flags >> 12 & 3) == 2 ? 16 : flags & 1u << 9 ? 15 : 14;
}

void SayError(RfcSession& s, const char* what) {
    if (s.errorSaid) return;
    s.errorSaid = true;
    LogFormat("RFC 2217 - %s: Error - %s", s.portName, what);
}

void SetControl(ClientCell& cell, RfcSession& s, uint8_t value) {
    uint8_t dcb[kDcbSize];
    uint8_t reply = value;
    switch (value) {
        case 0: case 13: case 1: case 2: case 3: case 14: case 15: case 16:
            if (value == 0 || value == 13) {
                std::lock_guard<std::mutex> guard(protocolLock);
                SerialGetDcb(dcb);
            } else {
                ChangeDcb(value <= 3 ? kOutFlow : kInFlow, value, dcb);
                LogFormat("RFC 2217 - %s: kontrola przeplywu %d", s.portName, value);
            }
            reply = value <= 3 ? OutFlowCode(dcb) : InFlowCode(dcb);
            break;
        case 4: reply = s.breakOn ? 5 : 6; break;
        case 5: case 6:
            s.breakOn = value == 5;
            SerialSetBreak(s.breakOn);
            LogFormat("RFC 2217 - %s: BREAK=%d", s.portName, s.breakOn ? 1 : 0);
            break;
        case 7: reply = DtrState() ? 8 : 9; break;
        case 8: case 9:
            SetDTR(value == 8);
            LogFormat("RFC 2217 - %s: DTR=%d", s.portName, value == 8 ? 1 : 0);
            reply = DtrState() ? 8 : 9;
            break;
        case 10: reply = RtsState() ? 11 : 12; break;
        case 11: case 12:
            SetRTS(value == 11);
            LogFormat("RFC 2217 - %s: RTS=%d", s.portName, value == 11 ? 1 : 0);
            reply = RtsState() ? 11 : 12;
            break;
        default: {
            // DCD, DTR and DSR flow control are not offered: the answer is
            // the outbound setting in force.
            std::lock_guard<std::mutex> guard(protocolLock);
            SerialGetDcb(dcb);
            reply = OutFlowCode(dcb);
        }
    }
    SendSubByte(cell, 105, reply);
}

void Resume(ClientCell& cell, RfcSession& s) {
    std::vector<uint8_t> held;
    std::lock_guard<std::mutex> order(s.sendOrder);
    s.suspended = false;
    held.swap(s.held);
    if (!held.empty()) SendTCP(held.data(), (int)held.size(), &cell);
    if (s.heldDropped > 0) LogFormat("RFC 2217 - %s: Error - klient wstrzymal odbior, pominieto %d bajtow", s.portName, s.heldDropped);
    s.heldDropped = 0;
}

void Subnegotiation(ClientCell& cell, RfcSession& s) {
    const TelnetParser& p = s.parser;
    if (p.subDropped > 0) {
        LogFormat("RFC 2217 - %s: Error - za dluga podnegocjacja, pominieto %d bajtow", s.portName,
                  p.subLength + p.subDropped);
        return;
    }
    if (p.subLength < 2 || p.sub[0] != kOptComPort) {
        SayError(s, "nieznana podnegocjacja");
        return;
    }
    uint8_t command = p.sub[1];
    const uint8_t* value = p.sub + 2;
    int length = p.subLength - 2;
    uint8_t dcb[kDcbSize];
    if (command == 0) {
        if (length == 0) {
            const char name[] = "Kestrun";
            SendSub(cell, 100, (const uint8_t*)name, (int)sizeof name - 1);
        } else {
            LogDump("RFC 2217 - klient:", value, length);
        }
        return;
    }
    // The rest takes one value byte (four for the rate).
    int need = command == 1 ? 4 : command == 6 || command == 7 || command == 8 || command == 9 ? 0 : 1;
    if (command > 12 || length < need) {
        SayError(s, "nieznana lub niepelna podnegocjacja");
        return;
    }
    switch (command) {
        case 1: {
            uint32_t rate = (uint32_t)value[0] << 24 | (uint32_t)value[1] << 16 | (uint32_t)value[2] << 8 | value[3];
            if (rate != 0 && rate <= INT32_MAX) {
                ChangeDcb(kBaud, rate, dcb);
                LogSettings(s, dcb);
            } else {
                std::lock_guard<std::mutex> guard(protocolLock);
                SerialGetDcb(dcb);
            }
            uint32_t now = GetLe32(dcb + kDcbOffBaud);
            uint8_t out[4] = {(uint8_t)(now >> 24), (uint8_t)(now >> 16), (uint8_t)(now >> 8), (uint8_t)now};
            SendSub(cell, 101, out, 4);
            return;
        }
        case 2: case 3: case 4: {
            bool valid = command == 2 ? value[0] >= 5 && value[0] <= 8 : command == 3 ? value[0] >= 1 && value[0] <= 5
                                                                                       : value[0] >= 1 && value[0] <= 3;
            if (valid) {
                ChangeDcb(command == 2 ? kDataSize : command == 3 ? kParity : kStopSize, value[0], dcb);
                LogSettings(s, dcb);
            } else {
                std::lock_guard<std::mutex> guard(protocolLock);
                SerialGetDcb(dcb);
            }
            uint8_t now = command == 2 ? dcb[kDcbOffDataBits]
                          : command == 3 ? ParityCode(dcb[kDcbOffParity]) : StopCode(dcb[kDcbOffStopBits]);
            SendSubByte(cell, (uint8_t)(100 + command), now);
            return;
        }
        case 5: SetControl(cell, s, value[0]); return;
        case 6: SendSubByte(cell, 106, 0); return;  // no line errors are known
        case 7: SendSubByte(cell, 107, (uint8_t)(SerialModemStatus() & 0xF0 & s.modemMask)); return;
        case 8: {
            std::lock_guard<std::mutex> order(s.sendOrder);
            s.suspended = true;
            return;
        }
        case 9: Resume(cell, s); return;
        case 10: s.lineMask = value[0]; SendSubByte(cell, 110, value[0]); return;
        case 11: s.modemMask = value[0]; SendSubByte(cell, 111, value[0]); return;
        case 12: {
            uint8_t which = value[0];
            if (which >= 1 && which <= 3) {
                SerialPurgeQueues(which & 1, which & 2);
                if (which & 1) {
                    std::lock_guard<std::mutex> order(s.sendOrder);
                    s.held.clear();
                }
                LogFormat("RFC 2217 - %s: wyczyszczono bufory (%d)", s.portName, which);
            }
            SendSubByte(cell, 112, which);
            return;
        }
    }
}

// RFC 854's rule against loops: an answer only when the state changes.
void Option(ClientCell& cell, RfcSession& s, uint8_t verb, uint8_t option) {
    bool offered = option == kOptBinary || option == kOptSga || option == kOptComPort;
    switch (verb) {
        case kWill:
            if (!offered) {
                SendOption(cell, kDont, option);
            } else if (!s.remote[option]) {
                s.remote[option] = true;
                SendOption(cell, kDo, option);
            }
            break;
        case kWont:
            if (s.remote[option]) {
                s.remote[option] = false;
                SendOption(cell, kDont, option);
            }
            break;
        case kDo:
            if (!offered) {
                SendOption(cell, kWont, option);
            } else if (!s.local[option]) {
                s.local[option] = true;
                SendOption(cell, kWill, option);
            }
            break;
        case kDont:
            if (s.local[option]) {
                s.local[option] = false;
                SendOption(cell, kWont, option);
            }
            break;
    }
}

void ResetSession(RfcSession& s) {
    s.parser = TelnetParser{};
    memset(s.local, 0, sizeof s.local);
    memset(s.remote, 0, sizeof s.remote);
    s.owner = false;
    s.breakOn = false;
    s.errorSaid = false;
    s.modemMask = 255;
    s.lineMask = 0;
    s.lastModem = -1;
    std::lock_guard<std::mutex> order(s.sendOrder);
    s.suspended = false;
    s.held.clear();
    s.heldDropped = 0;
}

void WriteRun(const RfcSession& s, ClientCell& cell, const uint8_t* run, int& count) {
    if (count > 0 && Owns(cell, s)) {
        bridge.ActivityCounter++;
        SerialWriteBytes(run, count);
    }
    count = 0;
}

}  // namespace

bool Rfc2217Start(ClientCell& cell, uint32_t peer, const char* portName) {
    RfcSession* found = SessionOf(&cell);
    if (!found && Rfc2217CellIndex(&cell) < 0) {
        otherCell = &cell;
        found = &otherSession;
    }
    RfcSession& s = *found;
    ResetSession(s);
    snprintf(s.portName, sizeof s.portName, "%s", portName);
    AddressText(peer, s.peer);
    const char* refusal = nullptr;
    {
        std::lock_guard<std::mutex> guard(protocolLock);
        CommandBlock& block = bridge.commandBlock;
        char name[41];
        GetOpenPortName(name);
        int slot = bridge.selectedVirtualSlot;
        if (settingsRecord.bufferPrints) {
            refusal = "wydruki sa buforowane";
        } else if (slot >= 0 && FindVirtualPort(name) >= 0) {
            refusal = "port jest zajety";
        } else if (settingsRecord.alwaysOpen) {
            char always[sizeof settingsRecord.portName];
            SettingsText(always, sizeof always, settingsRecord.portName);
            SerialNameUpperCase(always);
            if (strcmp(always, s.portName) != 0 || !ClaimAlwaysOpenPort()) refusal = "port jest zajety";
        } else {
            char device[41];
            SerialDeviceName(s.portName, device, sizeof device);
            if (SerialIsOpen()) refusal = "port jest zajety";
            else if (SerialOpen(device, (uint32_t)block.baud, block.dataBits, block.parity, block.stopBits, -1, 50,
                                -1) != 0)
                refusal = "blad otwarcia portu";
        }
        if (!refusal) {
            s.owner = true;
            bridge.ReplyTarget = &cell;
            bridge.Statistics[kStatConnections]++;
        }
    }
    if (refusal) {
        LogFormat("RFC 2217 - %s: Error - %s, odrzucono klienta %s", s.portName, refusal, s.peer);
        return false;
    }
    LogFormat("RFC 2217 - %s: poczatek sesji klienta %s", s.portName, s.peer);
    return true;
}

void Rfc2217Receive(ClientCell& cell, const uint8_t* data, int length) {
    RfcSession* found = SessionOf(&cell);
    if (!found || !data || length <= 0) return;
    RfcSession& s = *found;
    std::vector<uint8_t> run((size_t)length);
    int runLength = 0, position = 0;
    for (;;) {
        TelnetEvent e = TelnetNext(s.parser, data, length, position, run.data(), runLength);
        // Data goes to the device before the command that followed it.
        WriteRun(s, cell, run.data(), runLength);
        if (e.kind == kTelnetEnd) break;
        if (e.kind == kTelnetOption)
            Option(cell, s, e.verb, e.option);
        else if (Owns(cell, s))
            Subnegotiation(cell, s);
    }
}

void Rfc2217End(ClientCell& cell) {
    RfcSession* found = SessionOf(&cell);
    if (!found) return;
    RfcSession& s = *found;
    bool released = false;
    {
        std::lock_guard<std::mutex> guard(protocolLock);
        if (s.owner && bridge.ReplyTarget.load() == &cell) {
            bridge.ReplyTarget = nullptr;
            if (s.breakOn) SerialSetBreak(false);
            if (settingsRecord.alwaysOpen)
                ReleaseAlwaysOpenPort();
            else
                SerialOff();
            released = true;
        }
    }
    if (s.owner) LogFormat("RFC 2217 - %s: koniec sesji klienta %s%s", s.portName, s.peer, released ? "" : " (port oddany wczesniej)");
    ResetSession(s);
    if (&s == &otherSession) otherCell = nullptr;
}

void Rfc2217Tick(ClientCell& cell) {
    RfcSession* found = SessionOf(&cell);
    if (!found || !found->owner) return;
    RfcSession& s = *found;
    if (!Owns(cell, s)) {
        // Closed by auto-disconnect, a CLOSE, a lost device or taken by
        // another client: the session ends with it.
        LogFormat("RFC 2217 - %s: port zamkniety, rozlaczono klienta %s", s.portName, s.peer);
        cell.cut = true;
        return;
    }
    int status = SerialModemStatus() & 0xF0;
    if (s.lastModem >= 0 && status != s.lastModem) {
        int changed = status ^ s.lastModem;
        int deltas = (changed & 0x10 ? 0x01 : 0) | (changed & 0x20 ? 0x02 : 0) |
                     (s.lastModem & 0x40 && !(status & 0x40) ? 0x04 : 0) | (changed & 0x80 ? 0x08 : 0);
        int shown = (status | deltas) & s.modemMask;
        if ((changed | deltas) & s.modemMask) SendSubByte(cell, 107, (uint8_t)shown);
    }
    s.lastModem = status;
}

bool Rfc2217Relay(ClientCell* cell, const uint8_t* data, int count) {
    RfcSession* found = SessionOf(cell);
    if (!found) return false;
    RfcSession& s = *found;
    std::vector<uint8_t> out;
    out.reserve((size_t)count * 2);
    const uint8_t* at = data;
    const uint8_t* end = data + count;
    while (at < end) {
        const uint8_t* iac = (const uint8_t*)memchr(at, kIac, (size_t)(end - at));
        const uint8_t* stop = iac ? iac + 1 : end;
        out.insert(out.end(), at, stop);
        if (iac) out.push_back(kIac);
        at = stop;
    }
    std::lock_guard<std::mutex> order(s.sendOrder);
    if (s.suspended) {
        // A run is kept whole or dropped whole, so no IAC pair is split.
        if (s.held.size() + out.size() <= (size_t)kHeldMax)
            s.held.insert(s.held.end(), out.begin(), out.end());
        else
            s.heldDropped += count;
    } else if (cell->socket.load() != kNoHandle) {
        SendTCP(out.data(), (int)out.size(), cell);
    }
    return true;
}

void Rfc2217Connect() {
    NetSetRfc2217Handlers({Rfc2217Start, Rfc2217Receive, Rfc2217End, Rfc2217Tick});
}
