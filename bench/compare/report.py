#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Turns the console of bench/compare/inside-vm.sh into the comparison table (Markdown, on standard
output) and the plot of delay distributions.

    report.py CONSOLE_LOG [--plot PNG]
"""
import re
import statistics
import sys

SYSTEMS = ["seq-floor", "udp-floor", "kestrel", "kestrel-midiin", "qmidinet"]
LABELS = {"seq-floor": "Sequencer alone (Midi Through)", "udp-floor": "UDP alone (half a ping-pong)",
          "kestrel": "Kestrel, through Kestrel Port1", "kestrel-midiin": "Kestrel, MIDI In",
          "qmidinet": "qmidinet"}
# The paths whose delay is set against the floors and qmidinet's.
DELAY_PATHS = ("kestrel", "kestrel-midiin", "qmidinet")


def fields(line):
    return dict(re.findall(r"(\w+)=(\S+)", line))


def parse(path):
    runs, lat, other = {}, {}, {}
    for raw in open(path, errors="replace"):
        line = raw.strip().replace("\r", "")
        if line.startswith("LAT "):
            parts = line.split()
            lat[(parts[1], parts[2])] = [float(v) for v in parts[3:]]
        elif line.startswith("CMP "):
            kind = line.split()[1]
            f = fields(line)
            if kind in ("delay", "udp"):
                if "p50" not in f:
                    continue  # cut short
                runs.setdefault((f["system"], f.get("mode", "even")), []).append(f)
            else:
                other.setdefault(kind, []).append(f)
    return runs, lat, other


def ms(us):
    return f"{float(us) / 1000:.2f}"


def loss_table(other):
    """The song under random loss: the Markdown lines, and per (system, loss) [notes, pedals, missing, runs]."""
    out = []
    w = out.append
    stuck = other.get("stuck", [])
    loss_names = {"kestrel-repeat": "Kestrel, messages that end sound repeated (default)",
                  "kestrel-once": "Kestrel, `RepeatNoteOff=0`", "qmidinet": "qmidinet"}
    levels = sorted({int(f["loss"]) for f in stuck})
    left = {}
    for f in stuck:
        cell = left.setdefault((f["system"], int(f["loss"])), [0, 0, 0, 0])
        cell[0] += int(f["sounding"]) - int(f["song_sounding"])
        cell[1] += int(f["pedal_down"]) - int(f["song_pedal_down"])
        cell[2] += int(f.get("missing", 0))
        cell[3] += 1
    if stuck:
        runs_each = max(c[3] for c in left.values())
        w(f"Notes left sounding at the end of the song ({runs_each} runs summed; held pedals after the '+'), with "
          "datagrams dropped at random on the sending side (netem); in brackets the events that never arrived. "
          "Recorded until 2 s after the song, while the connection stands.")
        w("")
        w("| Path | " + " | ".join(f"{v} % loss" for v in levels) + " |")
        w("|---|" + "---|" * len(levels))
        for system, label in loss_names.items():
            cells = [left.get((system, v)) for v in levels]
            if not any(cells):
                continue
            w(f"| {label} | " + " | ".join(
                "–" if c is None else f"{c[0]}" + (f" + {c[1]}" if c[1] else "") + f" ({c[2]})" for c in cells) + " |")
        w("")

    return out, left


def main():
    path = sys.argv[1]
    plot = sys.argv[sys.argv.index("--plot") + 1] if "--plot" in sys.argv else None
    runs, lat, other = parse(path)
    out = []
    w = out.append
    if not runs and other.get("stuck"):  # scripts/bench-compare --loss
        lines, left = loss_table(other)
        out.extend(lines)
        c = left.get(("kestrel-repeat", 5))
        if c:
            w("| Target | Result |")
            w("|---|---|")
            w(f"| Kestrel: no note left sounding after the song at 5 % loss | "
              f"{'met' if c[0] == 0 and c[1] == 0 else '**not met**'} ({c[0]} notes, {c[1]} pedals in {c[3]} runs) |")
        print("\n".join(out))
        return

    def med(system, mode, key):
        rs = runs.get((system, mode), [])
        return statistics.median(float(r[key]) for r in rs) if rs else float("nan")

    def worst(system, mode, key):
        rs = runs.get((system, mode), [])
        return max(float(r[key]) for r in rs) if rs else float("nan")

    w("Delay from the write into the sending side until the measuring client reads the event, in ms "
      "(median of the runs; max: the largest of all runs). Emulated processor: absolute times are inflated, "
      "compare the rows.")
    w("")
    w("| Path | Pattern | Runs × events | Lost | Out of order | p50 | p99 | p99.9 | max |")
    w("|---|---|---|---|---|---|---|---|---|")
    for system in SYSTEMS:
        for mode in ("even", "burst"):
            rs = runs.get((system, mode))
            if not rs:
                continue
            lost = sum(int(r.get("lost", 0)) for r in rs)
            disorder = sum(int(r.get("out_of_order", 0)) for r in rs)
            pattern = "even" if mode == "even" else "bursts of 128"
            w(f"| {LABELS[system]} | {pattern} | {len(rs)} × {rs[0]['sent']} | {lost} | "
              f"{disorder if system != 'udp-floor' else '–'} | {ms(med(system, mode, 'p50'))} | "
              f"{ms(med(system, mode, 'p99'))} | {ms(med(system, mode, 'p999'))} | {ms(worst(system, mode, 'max'))} |")
    w("")

    # Above the floors: the sequencer alone (two hops through the kernel, as each system has) plus the
    # UDP one-way floor.
    w("Above the floors (sequencer alone + UDP alone, same percentile; the floor of bursts is the sequencer's "
      "in bursts plus the UDP floor):")
    w("")
    w("| System | Pattern | p50 above floor | p99 above floor | p50 / floor | p99 / floor |")
    w("|---|---|---|---|---|---|")
    above = {}
    for system in DELAY_PATHS:
        for mode in ("even", "burst"):
            if (system, mode) not in runs:
                continue
            row = []
            for key in ("p50", "p99"):
                floor = med("seq-floor", mode, key) + med("udp-floor", "even", key)
                value = med(system, mode, key)
                above[(system, mode, key)] = value - floor
                row.append((value - floor, value / floor if floor > 0 else float("nan")))
            pattern = "even" if mode == "even" else "bursts of 128"
            w(f"| {LABELS[system]} | {pattern} | {ms(row[0][0])} | {ms(row[1][0])} | {row[0][1]:.1f}× | "
              f"{row[1][1]:.1f}× |")
    w("")

    w("| System | Highest lossless rate, bursts of 128 | Lost at twice that | Lost at 64 000/s |")
    w("|---|---|---|---|")
    tp = {f["system"]: f for f in other.get("throughput", [])}
    t64 = {f["system"]: f for f in other.get("target64k", [])}
    for system in ("kestrel", "qmidinet"):
        if system in tp:
            f, g = tp[system], t64.get(system, {})
            w(f"| {LABELS[system]} | {int(f['lossless']):,} events/s | {f.get('at2x_lost', '–')} of {f['of']} | "
              f"{g.get('lost', '?')} of {g.get('of', '?')} |")
    w("")

    sysex = other.get("sysex", [])
    sizes = sorted({int(f["size"]) for f in sysex})
    w("| System-exclusive | " + " | ".join(f"{s} B" for s in sizes) + " |")
    w("|---|" + "---|" * len(sizes))
    for system in ("kestrel", "qmidinet"):
        cells = []
        for s in sizes:
            f = next((x for x in sysex if x["system"] == system and int(x["size"]) == s), None)
            if f is None:
                cells.append("?")
            elif f["whole"] == "1":
                cells.append(f"whole, {float(f['ms']):.1f} ms")
            else:
                cells.append(f"**broken** ({f['received']} B)")
        w(f"| {LABELS[system]} | " + " | ".join(cells) + " |")
    w("")

    src = other.get("file_source", [{}])
    files = {f["system"]: f for f in other.get("file", [])}
    for system in ("kestrel", "qmidinet"):
        f = files.get(system)
        if f:
            verdict = "equal and in order" if f["exact"] == "1" else (
                "same events, reordered" if f["same_set"] == "1" else "different")
            w(f"- MIDI file through {LABELS[system]}: {f['recorded']} of {f['played']} events recorded, {verdict}"
              f" (missing {f['missing']}, extra {f['extra']}).")
    cpu = {f["system"]: f for f in other.get("cpu", [])}
    for system in ("kestrel", "qmidinet"):
        f = cpu.get(system)
        if f:
            per = 1e6 / float(f["hz"]) / float(f["events"])
            w(f"- CPU time per event, {LABELS[system]}: sending side {float(f['server_ticks']) * per:.0f} µs, "
              f"receiving side {float(f['client_ticks']) * per:.0f} µs ({f['events']} events).")
    scale = other.get("scale", [])
    lossy = None
    if len(scale) >= 2:
        one, many = scale[0], scale[-1]
        per_client = [int(v) for v in many["got"].split(",")][:int(many["clients"])]
        sent = int(many["sent"])
        lossy = [i + 1 for i, g in enumerate(per_client) if g != sent]
        w(f"- Scale with the sequencer (emulated CPU): one Kestrel server, {many['clients']} clients on one bridge, "
          f"{sent} events at {many.get('rate', '?')}/s: {len(per_client) - len(lossy)} of {len(per_client)} clients "
          f"lossless" + (f" (lost per client: {', '.join(f'#{i}: {sent - per_client[i - 1]}' for i in lossy)})"
                         if lossy else "")
          + f"; out of order {many['out_of_order']}; server CPU {int(many['server_ticks']) * 10} ms with "
          f"{many['clients']} clients against {int(one['server_ticks']) * 10} ms with one "
          f"(one client: lost {one['lost']}, out of order {one['out_of_order']}).")
    host = {f["clients"]: f for f in other.get("scale_host", [])}
    bare = {f["listeners"]: f for f in other.get("scale_bare", [])}
    if host:
        many = host[max(host, key=int)]
        one = host.get("1", many)
        w(f"- Scale on this machine's processors (no sequencer; the clients' outputs count): {many['clients']} "
          f"clients, {many['events']} events at 10 000/s: lost per client {many['lost_min']} to {many['lost_max']}, "
          f"out of order {many['out_of_order']}, duplicates {many['duplicates']}, delay p50 "
          f"{float(many['p50']):.0f} µs p99 {float(many['p99']):.0f} µs. Server thread per event "
          f"{float(one['server_ns_per_event']) / 1000:.1f} µs with one client, "
          f"{float(many['server_ns_per_event']) / 1000:.1f} µs with {many['clients']}"
          + (f"; a bare socket broadcasting the same: {float(bare['1']['sender_ns_per_datagram']) / 1000:.1f} and "
             f"{float(bare[many['clients']]['sender_ns_per_datagram']) / 1000:.1f} µs per datagram (the kernel of "
             f"this one machine delivers into every listener's socket within the send; on a LAN each client's "
             f"machine does that)" if "1" in bare and many["clients"] in bare else "") + ".")
    w("")

    lines, left = loss_table(other)
    out.extend(lines)

    # Targets
    def yes(ok):
        return "met" if ok else "**not met**"

    w("| Target | Result |")
    w("|---|---|")
    if "kestrel" in t64:
        w(f"| Kestrel: zero loss at 64 000 events/s in bursts of 128 | {yes(t64['kestrel']['lost'] == '0')} "
          f"(lost {t64['kestrel']['lost']} of {t64['kestrel']['of']}) |")
    for system in ("kestrel", "kestrel-midiin"):
        for mode in ("even", "burst"):
            if (system, mode) in runs:
                floor = med("seq-floor", mode, "p99") + med("udp-floor", "even", "p99")
                k = med(system, mode, "p99")
                w(f"| {LABELS[system]}: p99 within twice the floors ({mode}) | {yes(k <= 2 * floor)} ({ms(k)} ms "
                  f"against 2 × {ms(floor)} ms) |")
    for system in ("kestrel", "kestrel-midiin"):
        for mode in ("even", "burst"):
            for key in ("p50", "p99"):
                if (system, mode, key) in above and ("qmidinet", mode, key) in above:
                    a, b = above[(system, mode, key)], above[("qmidinet", mode, key)]
                    w(f"| {LABELS[system]}: delay above floors below qmidinet's, {key} ({mode}) | {yes(a < b)} "
                      f"({ms(a)} against {ms(b)} ms) |")
    ks = [x for x in sysex if x["system"] == "kestrel"]
    if ks:
        w(f"| Every sysex size delivered whole by Kestrel | {yes(all(x['whole'] == '1' for x in ks))} |")
    if "kestrel" in files:
        w(f"| MIDI file through Kestrel exact and in order | {yes(files['kestrel']['exact'] == '1')} |")
    if ("kestrel-repeat", 5) in left:
        c = left[("kestrel-repeat", 5)]
        w(f"| Kestrel: no note left sounding after the song at 5 % loss | {yes(c[0] == 0 and c[1] == 0)} "
          f"({c[0]} notes, {c[1]} pedals in {c[3]} runs) |")
    if host:
        many = host[max(host, key=int)]
        ok = many["lost_max"] == "0"
        w(f"| All {many['clients']} clients lossless at 10 000 events/s (this machine's processors) | {yes(ok)} |")
    if lossy is not None:
        w(f"| All {scale[-1]['clients']} clients lossless at {scale[-1].get('rate', '?')} events/s "
          f"(sequencer, emulated CPU) | {yes(not lossy)} |")
    if host and "1" in bare and max(host, key=int) in bare:
        n = max(host, key=int)
        own_one = float(host["1"]["server_ns_per_event"]) - float(bare["1"]["sender_ns_per_datagram"])
        own_all = float(host[n]["server_ns_per_event"]) - float(bare[n]["sender_ns_per_datagram"])
        w(f"| Server's own cost the same whatever the number of clients | "
          f"{yes(own_all <= max(own_one, 0) + 2000)} (server thread minus a bare broadcasting socket: "
          f"{own_one / 1000:.1f} µs with one client, {own_all / 1000:.1f} µs with {n}) |")
    print("\n".join(out))

    if plot:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharey=True)
        colours = {"seq-floor": "#888888", "udp-floor": "#bbbbbb", "kestrel": "#1f77b4", "kestrel-midiin": "#2ca02c",
                   "qmidinet": "#d62728"}
        for ax, mode, title in ((axes[0], "even", "Even rate"), (axes[1], "burst", "Bursts of 128")):
            for system in SYSTEMS:
                q = lat.get((system, mode)) or (lat.get((system, "even")) if system == "udp-floor" else None)
                if not q:
                    continue
                q = [max(v, 1.0) / 1000 for v in q]
                ys = [i / (len(q) - 1) for i in range(len(q))]
                ax.plot(q, ys, label=LABELS[system], color=colours[system],
                        linestyle="--" if "floor" in system else "-")
            ax.set_xscale("log")
            ax.set_xlabel("delay, ms (log scale; emulated CPU)")
            ax.set_title(title)
            ax.grid(True, which="both", alpha=0.3)
        axes[0].set_ylabel("share of events delivered within")
        axes[1].legend(loc="lower right", fontsize=8)
        fig.suptitle("Write on one host until read on the other (ALSA sequencer in a virtual machine)")
        fig.tight_layout()
        fig.savefig(plot, dpi=90)


if __name__ == "__main__":
    main()
