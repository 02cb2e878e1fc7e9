#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_protocol and fuzz_spool to
fuzz/corpus/protocol/ (the committed files are what scripts/fuzz.sh reads;
run this again after changing a seed here).

An input is a run of packets, each a header byte (bit 7: UDP, else TCP from
client (header & 7) % 5; bit 6: that client connects anew first), two bytes
of length (little-endian) and the packet's bytes.
"""
import os
import struct

ESC, CR = b"\x1b", b"\r"
# A device control block: its length, 9600 bauds, then filler bytes.
DCB = struct.pack("<II", 28, 9600) + bytes(range(8, 28))


def tcp(data, client=0, anew=False):
    return bytes([client | (0x40 if anew else 0)]) + struct.pack("<H", len(data)) + data


def udp(data):
    return b"\x80" + struct.pack("<H", len(data)) + data


def line(text):
    return ESC + text.encode() + CR


SEEDS = {
    # One command line per key the protocol knows.
    "key-com": tcp(line("COM3")),
    "key-test": tcp(line("TEST")),
    "key-close": tcp(line("COM3") + b"open" + line("CLOSE") + b"closed"),
    "key-kill": tcp(line("KILL") + b"never taken"),
    "key-baud": tcp(line("BAUD=19200")),
    "key-data": tcp(line("DATA=7")),
    "key-parity": tcp(line("PARITY=E")),
    "key-stop": tcp(line("STOP=2")),
    "key-timeout1": tcp(line("TIMEOUT1=-1")),
    "key-timeout2": tcp(line("TIMEOUT2=50")),
    "key-timeout3": tcp(line("TIMEOUT3=-1")),
    "key-typ": tcp(line("TYP=108") + b"a\x06b"),
    "key-rts": tcp(line("RTS=1")),
    "key-dtr": tcp(line("DTR=0")),
    "key-msr": tcp(line("MSR=?")),
    "key-dcb-query": tcp(line("DCB=?")),
    "key-setdcb": tcp(line("SETDCB") + DCB),
    # A TCP client's block cut short by its packet, completed by the next.
    "setdcb-split": tcp(line("SETDCB") + DCB[:10]) + tcp(DCB[10:]),
    # Data only: ESC ESC stands for one ESC byte.
    "data-esc-esc": tcp(b"hello" + ESC + ESC + b"world" + ESC + ESC),
    # A receipt: a job with prints buffered, plain data with the port open.
    "print-job": tcp(line("COM4"))
    + tcp(b"RECEIPT 1\r\n" + ESC + ESC + b"@\x06TOTAL 12.50\r\n")
    + tcp(line("CLOSE")),
    # Two clients: a new TCP connection with two keys and data in one
    # packet, a UDP key split over two datagrams, the TCP client's CLOSE.
    "session": tcp(line("TIMEOUT1=10") + line("COM3") + b"hello" + ESC + ESC + b"x", client=1, anew=True)
    + udp(ESC + b"TE")
    + udp(b"ST" + CR)
    + tcp(line("CLOSE"), client=1),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "protocol")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
