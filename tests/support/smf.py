# SPDX-License-Identifier: GPL-3.0-or-later
"""Reading standard MIDI files, for the end-to-end test and the comparison with another program."""
import struct

LENGTHS = {0x80: 2, 0x90: 2, 0xA0: 2, 0xB0: 2, 0xC0: 1, 0xD0: 1, 0xE0: 2}


def var_length(data, pos):
    value = 0
    while True:
        b = data[pos]
        pos += 1
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            return value, pos


def read_events(path):
    """The channel and system-exclusive events of a standard MIDI file, without their times: tracks
    merged by time as a player sends them (at equal times the lower track first), meta events left
    out, a dump recorded in pieces (F0 ..., then F7 continuations) joined into one message, and a
    Note On with velocity 0 taken as the Note Off it stands for."""
    data = open(path, "rb").read()
    pos, track, out = 14, 0, []
    while pos + 8 <= len(data):
        kind, size = data[pos:pos + 4], struct.unpack(">I", data[pos + 4:pos + 8])[0]
        pos += 8
        end, tick, running, sysex, index = pos + size, 0, 0, None, 0
        while kind == b"MTrk" and pos < end:
            delta, pos = var_length(data, pos)
            tick += delta
            status = data[pos]
            if status == 0xFF:
                n, pos = var_length(data, pos + 2)
                pos += n
                continue
            if status in (0xF0, 0xF7):
                n, pos = var_length(data, pos + 1)
                body = data[pos:pos + n]
                pos += n
                sysex = (bytes([0xF0]) + body) if status == 0xF0 else (sysex or b"") + body
                if sysex.endswith(b"\xf7"):
                    out.append((tick, track, index, sysex))
                    index += 1
                    sysex = None
                continue
            if status & 0x80:
                running = status
                pos += 1
            n = LENGTHS[running & 0xF0]
            event = bytes([running]) + data[pos:pos + n]
            pos += n
            if event[0] & 0xF0 == 0x90 and event[2] == 0:
                event = bytes([0x80 | event[0] & 0x0F, event[1], 0])
            out.append((tick, track, index, event))
            index += 1
        if kind == b"MTrk":
            track += 1
        pos = end
    return [e[3] for e in sorted(out, key=lambda e: (e[0], e[1], e[2]))]
