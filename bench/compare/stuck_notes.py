#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Counts what a recording leaves sounding at its end, beside what the played file itself leaves.

A key sounds from a Note On with a velocity until a Note Off for it (a Note On with velocity 0
counts as one), All Notes Off or All Sound Off on its channel; a held sustain pedal is counted
apart. Prints one line: "sounding=N pedal_down=P song_sounding=S song_pedal_down=Q"."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "support"))
from smf import read_events  # noqa: E402


def left_sounding(events):
    keys, pedal = set(), {}
    for e in events:
        if len(e) < 3 or e[0] >= 0xF0:
            continue
        kind, channel = e[0] & 0xF0, e[0] & 0x0F
        if kind == 0x90 and e[2] > 0:
            keys.add((channel, e[1]))
        elif kind == 0x80:
            keys.discard((channel, e[1]))
        elif kind == 0xB0 and e[1] in (120, 123):
            keys = {k for k in keys if k[0] != channel}
        elif kind == 0xB0 and e[1] == 64:
            pedal[channel] = e[2] >= 64
    return len(keys), sum(pedal.values())


def main():
    song = left_sounding(read_events(sys.argv[1]))
    recording = left_sounding(read_events(sys.argv[2]))
    print(f"sounding={recording[0]} pedal_down={recording[1]} song_sounding={song[0]} song_pedal_down={song[1]}")


if __name__ == "__main__":
    main()
