#!/usr/bin/env python3
"""Standard MIDI files for the end-to-end test: writes the performance to play, and reads back
the channel and system-exclusive events of a recorded file, in order, without their times."""
import struct
import sys


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


def write(path, events):
    track = bytearray()
    for e in events:
        track += var_length(4)  # ticks apart: 4/96 of a beat at 120 bpm, about 20 ms
        if e[0] == 0xF0:
            track += bytes([0xF0]) + var_length(len(e) - 1) + e[1:]
        else:
            track += e
    track += b"\x00\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + track)


def read(path):
    data = open(path, "rb").read()
    pos, events = 14, []
    lengths = {0x80: 2, 0x90: 2, 0xA0: 2, 0xB0: 2, 0xC0: 1, 0xD0: 1, 0xE0: 2}
    while pos + 8 <= len(data):
        kind, size = data[pos:pos + 4], struct.unpack(">I", data[pos + 4:pos + 8])[0]
        pos += 8
        end, running, sysex = pos + size, 0, None
        while kind == b"MTrk" and pos < end:
            while data[pos] & 0x80:  # delta time
                pos += 1
            pos += 1
            status = data[pos]
            if status == 0xFF:
                length_pos = pos + 2
                n, used = 0, 0
                while True:
                    b = data[length_pos + used]
                    n = (n << 7) | (b & 0x7F)
                    used += 1
                    if not b & 0x80:
                        break
                pos = length_pos + used + n
                continue
            if status in (0xF0, 0xF7):
                n, used = 0, 0
                while True:
                    b = data[pos + 1 + used]
                    n = (n << 7) | (b & 0x7F)
                    used += 1
                    if not b & 0x80:
                        break
                body = data[pos + 1 + used:pos + 1 + used + n]
                pos += 1 + used + n
                # A dump may be recorded in pieces: F0 ... then F7-continuations.
                sysex = (bytes([0xF0]) + body) if status == 0xF0 else (sysex or b"") + body
                if sysex.endswith(b"\xf7"):
                    events.append(sysex)
                    sysex = None
                continue
            if status & 0x80:
                running = status
                pos += 1
            n = lengths[running & 0xF0]
            events.append(bytes([running]) + data[pos:pos + n])
            pos += n
        pos = end
    return events


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], performance())
    else:
        played, recorded = performance(), read(sys.argv[2])
        # A Note On with velocity 0 and a Note Off are the same event to a sequencer.
        def norm(e):
            return bytes([0x80 | e[0] & 0x0F, e[1], 0]) if e[0] & 0xF0 == 0x90 and e[2] == 0 else e
        played = [norm(e) for e in played]
        recorded = [norm(e) for e in recorded]
        if played == recorded:
            print(f"recorded {len(recorded)} events, equal to the played ones and in order")
            sys.exit(0)
        print(f"played {len(played)} events, recorded {len(recorded)}")
        for i, (p, r) in enumerate(zip(played, recorded)):
            if p != r:
                print(f"first difference at event {i}: played {p[:8].hex()} recorded {r[:8].hex()}")
                break
        sys.exit(1)
