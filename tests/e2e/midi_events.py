#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Standard MIDI files for the end-to-end test: writes the performance to play, and reads back
the channel and system-exclusive events of a recorded file, in order, without their times
(tests/support/smf.py)."""
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from smf import read_events  # noqa: E402


def var_length(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


def performance():
    """A bit of everything a keyboard player sends, and a sysex dump long enough to be fragmented."""
    events = []
    for i in range(60):
        key = 36 + i % 48
        events.append(bytes([0x90 | i % 16, key, 1 + (i * 7) % 127]))
        events.append(bytes([0xB0 | i % 16, 1, i % 128]))
        events.append(bytes([0x80 | i % 16, key, 64]))
    events.append(bytes([0xC3, 42]))
    events.append(bytes([0xE5, 0x00, 0x50]))
    events.append(bytes([0xD2, 99]))
    events.append(bytes([0xF0]) + bytes((i * 13) % 128 for i in range(1200)) + bytes([0xF7]))
    events.append(bytes([0x94, 60, 100]))
    events.append(bytes([0x84, 60, 0]))
    return events


def interop_performance():
    """What the multicast convention's peers exchange: notes and controllers on every channel, a
    program change, pitch bend, and a system-exclusive message of 1 KiB, whole, in one datagram."""
    events = []
    for i in range(40):
        key = 40 + i % 40
        events.append(bytes([0x90 | i % 16, key, 1 + (i * 11) % 127]))
        events.append(bytes([0xB0 | i % 16, 7, (i * 3) % 128]))
        events.append(bytes([0x80 | i % 16, key, 0]))
    events.append(bytes([0xC9, 17]))
    events.append(bytes([0xE1, 0x7F, 0x3F]))
    events.append(bytes([0xF0]) + bytes((i * 29 + 5) % 128 for i in range(1022)) + bytes([0xF7]))
    events.append(bytes([0x92, 64, 90]))
    events.append(bytes([0x82, 64, 0]))
    return events


def dumps():
    """Ten system-exclusive dumps of 10000 bytes, each 21 fragments on the network, one a second:
    a reader that takes them slower than a burst must get each one whole."""
    return [bytes([0xF0]) + bytes((i * 7 + n) % 128 for i in range(9998)) + bytes([0xF7]) for n in range(10)]


def write(path, events, ticks_apart=4):
    track = bytearray()
    for e in events:
        track += var_length(ticks_apart)  # 4/96 of a beat at 120 bpm: about 20 ms
        if e[0] == 0xF0:
            track += bytes([0xF0]) + var_length(len(e) - 1) + e[1:]
        else:
            track += e
    track += b"\x00\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + track)


if __name__ == "__main__":
    # write FILE | compare FILE, of the two-host performance; write-interop FILE | compare-interop
    # FILE, of the interop one; write-dumps FILE | compare-dumps FILE, of the dumps; count FILE: the
    # number of events recorded.
    if sys.argv[1] == "write":
        write(sys.argv[2], performance())
    elif sys.argv[1] == "write-interop":
        write(sys.argv[2], interop_performance())
    elif sys.argv[1] == "write-dumps":
        write(sys.argv[2], dumps(), ticks_apart=192)
    elif sys.argv[1] == "count":
        print(len(read_events(sys.argv[2])))
    else:
        expected = {"compare-interop": interop_performance, "compare-dumps": dumps}.get(sys.argv[1], performance)()
        played, recorded = expected, read_events(sys.argv[2])
        if played == recorded:
            print(f"recorded {len(recorded)} events, equal to the played ones and in order")
            sys.exit(0)
        print(f"played {len(played)} events, recorded {len(recorded)}")
        for i, (p, r) in enumerate(zip(played, recorded)):
            if p != r:
                print(f"first difference at event {i}: played {p[:8].hex()} recorded {r[:8].hex()}")
                break
        sys.exit(1)
