#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Compares a played standard MIDI file with its recording, event by event.

The played file's tracks are merged by time as a player sends them (at equal times the lower track
first); meta events stay behind. The recording is one track. A Note On with velocity 0 counts as a
Note Off. Prints one line: "exact=1 same_set=1 played=N recorded=M ..." (exact: the same events in
the same order; exact=0 with same_set=1: the same events, reordered)."""
import collections
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "support"))
from smf import read_events  # noqa: E402


def main():
    played, recorded = read_events(sys.argv[1]), read_events(sys.argv[2])
    exact = played == recorded
    same_set = collections.Counter(played) == collections.Counter(recorded)
    first = next((i for i, (p, r) in enumerate(zip(played, recorded)) if p != r), min(len(played), len(recorded)))
    missing = sum((collections.Counter(played) - collections.Counter(recorded)).values())
    extra = sum((collections.Counter(recorded) - collections.Counter(played)).values())
    print(f"exact={int(exact)} same_set={int(same_set)} played={len(played)} "
          f"recorded={len(recorded)} missing={missing} extra={extra} first_difference={-1 if exact else first}")


if __name__ == "__main__":
    main()
