#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Fault-injection soak: two headless Kestrels on two namespace hosts play a song in a loop through
"Kestrel Port1" into a recording synth, while faults are injected at random times (the seed is
printed first). Runs inside the ALSA virtual machine (tests/alsa-vm/run-in-vm), as root.

Invariants:
  - after each fault, events reach the synth again within 3 s of the fault's end;
  - at the end, once the senders stopped and the server ended, no note is left sounding: every
    Note On is followed by its Note Off or an All Notes Off on its channel;
  - neither Kestrel died or hung: each ends on SIGTERM within 2 s;
  - each one's resident memory at the end is within 10 % of its value after the first minute
    (unless --no-memory-check: sanitizer builds keep freed memory aside on purpose).
"""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

RECOVERY_LIMIT_S = 3.0
LAN = "soak"
SRV_NS, CLI_NS = LAN + "-srv", LAN + "-cli"
SRV_IF, CLI_IF = LAN + "-a", LAN + "-b"
SRV_IP, CLI_IP = "10.77.0.1", "10.77.0.2"
SYNTH = "Soak Synth"


def log(text):
    print(f"[{time.monotonic():10.1f}] {text}", flush=True)


def sh(*args, check=True):
    return subprocess.run(args, check=check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Soak:
    def __init__(self, options):
        self.o = options
        self.work = tempfile.mkdtemp(prefix="soak.")
        self.random = random.Random(options.seed)
        self.failures = []
        self.recoveries = {}  # fault kind -> [seconds]
        self.procs = {}
        self.synth_log = os.path.join(self.work, "synth.log")
        self.player_stop = False
        self.player = None

    # ---- set-up ------------------------------------------------------------------------------
    def network(self):
        for ns in (SRV_NS, CLI_NS):
            sh("ip", "netns", "add", ns)
            sh("ip", "-n", ns, "link", "set", "lo", "up")
        sh("ip", "link", "add", SRV_IF, "type", "veth", "peer", "name", CLI_IF)
        sh("ip", "link", "set", SRV_IF, "netns", SRV_NS)
        sh("ip", "link", "set", CLI_IF, "netns", CLI_NS)
        sh("ip", "-n", SRV_NS, "addr", "add", SRV_IP + "/24", "dev", SRV_IF)
        sh("ip", "-n", CLI_NS, "addr", "add", CLI_IP + "/24", "dev", CLI_IF)
        sh("ip", "-n", SRV_NS, "link", "set", SRV_IF, "up")
        sh("ip", "-n", CLI_NS, "link", "set", CLI_IF, "up")

    def env_of(self, side):
        base = os.path.join(self.work, side)
        os.makedirs(os.path.join(base, "run"), exist_ok=True)
        os.makedirs(os.path.join(base, "config"), exist_ok=True)
        os.chmod(os.path.join(base, "run"), 0o700)
        env = dict(os.environ)
        env.update(XDG_RUNTIME_DIR=os.path.join(base, "run"), XDG_CONFIG_HOME=os.path.join(base, "config"), HOME=base)
        return env

    def start_provider(self):
        out = open(os.path.join(self.work, "provider.log"), "a")
        self.procs["provider"] = subprocess.Popen([self.o.provider], env=self.env_of("srv"), stdout=out, stderr=out)
        self.wait_for(lambda: "Kestrel Port1" in subprocess.run(["aconnect", "-o"], capture_output=True,
                                                                text=True).stdout, 10, "the provider's ports")

    def start_synth(self):
        out = open(self.synth_log, "a")
        self.procs["synth"] = subprocess.Popen([self.o.synth, SYNTH], stdout=out, stderr=subprocess.DEVNULL)
        self.wait_for(lambda: SYNTH in subprocess.run(["aconnect", "-o"], capture_output=True, text=True).stdout,
                      10, "the synth's port")

    def kestrel(self, side, ns, settings):
        cmd = ["ip", "netns", "exec", ns, self.o.kestrel, "--headless"]
        for s in settings:
            cmd += ["--set", s]
        out = open(os.path.join(self.work, side + ".log"), "a")
        self.procs[side] = subprocess.Popen(cmd, env=self.env_of(side), stdout=out, stderr=out,
                                            cwd=os.path.join(self.work, side))

    def switch(self, side, ns, what, state):
        subprocess.run(["ip", "netns", "exec", ns, self.o.kestrel, "--" + what, state], env=self.env_of(side),
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)

    def player_loop(self):
        # aplaymidi again and again; it ends by itself when its port goes (the provider restarts).
        import threading

        def run():
            while not self.player_stop:
                self.player = subprocess.Popen(["aplaymidi", "-p", "Kestrel:0", self.o.song],
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.player.wait()
                time.sleep(0.2)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread

    # ---- observation -------------------------------------------------------------------------
    def wait_for(self, done, seconds, what):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if done():
                return True
            time.sleep(0.05)
        self.fail(f"no {what} within {seconds} s")
        return False

    def fail(self, text):
        log("FAIL: " + text)
        self.failures.append(text)

    def synth_lines(self):
        with open(self.synth_log) as f:
            return [line.split() for line in f if line.strip()]

    def last_event_ms(self):
        last = 0.0
        for fields in self.synth_lines():
            if len(fields) == 5 and fields[1] in ("on", "off", "cc", "sysex", "other"):
                last = float(fields[0])
        return last

    def recovery(self, kind, ended):
        """Seconds from `ended` (monotonic) until the synth hears an event."""
        deadline = ended + RECOVERY_LIMIT_S + 7
        while time.monotonic() < deadline:
            last = self.last_event_ms() / 1000.0
            if last >= ended:
                took = max(0.0, last - ended)
                self.recoveries.setdefault(kind, []).append(took)
                if took > RECOVERY_LIMIT_S:
                    self.fail(f"{kind}: events came back after {took:.2f} s")
                return took
            time.sleep(0.05)
        self.recoveries.setdefault(kind, []).append(float("inf"))
        self.fail(f"{kind}: no event within {deadline - ended:.0f} s of the fault's end")
        return None

    def rss_kib(self, side):
        try:
            with open(f"/proc/{self.procs[side].pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return None

    def check_alive(self):
        for side in ("srv", "cli"):
            if self.procs[side].poll() is not None:
                self.fail(f"the {side} Kestrel ended by itself (status {self.procs[side].returncode})")
                return False
        return True

    # ---- faults ------------------------------------------------------------------------------
    def fault(self, kind):
        r = self.random
        if kind == "server-toggle":
            self.switch("srv", SRV_NS, "server", "off")
            time.sleep(r.uniform(0.5, 3))
            self.switch("srv", SRV_NS, "server", "on")
        elif kind == "client-toggle":
            self.switch("cli", CLI_NS, "client", "off")
            time.sleep(r.uniform(0.5, 3))
            self.switch("cli", CLI_NS, "client", "on")
        elif kind == "provider-kill":
            self.procs["provider"].send_signal(signal.SIGKILL)
            self.procs["provider"].wait()
            time.sleep(r.uniform(0.5, 2))
            self.start_provider()
            # The player sends to the address it found at its start, which the new provider need
            # not have: it finds "Kestrel" again by name, as a program that follows its ports does.
            if self.player is not None:
                self.player.terminate()
        elif kind == "output-vanish":
            self.procs["synth"].terminate()
            self.procs["synth"].wait()
            time.sleep(r.uniform(0.5, 2))
            self.start_synth()
        elif kind == "reader-stall":
            self.procs["synth"].send_signal(signal.SIGSTOP)
            time.sleep(3)
            self.procs["synth"].send_signal(signal.SIGCONT)
        elif kind == "loss":
            sh("ip", "netns", "exec", SRV_NS, "tc", "qdisc", "add", "dev", SRV_IF, "root", "netem", "loss", "5%")
            time.sleep(10)
            sh("ip", "netns", "exec", SRV_NS, "tc", "qdisc", "del", "dev", SRV_IF, "root")
        elif kind == "link-down":
            sh("ip", "-n", SRV_NS, "link", "set", SRV_IF, "down")
            time.sleep(3)
            sh("ip", "-n", SRV_NS, "link", "set", SRV_IF, "up")
        elif kind == "hostile":
            self.hostile_burst()
        return time.monotonic()

    def hostile_burst(self):
        # Junk, truncated records, lengths that lie and fragments out of sequence, from the
        # server's host to the client's port, as fast as they go for a second.
        script = f"""
import random, socket, struct, time
r = random.Random({self.random.randrange(1 << 30)})
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
end = time.monotonic() + 1
while time.monotonic() < end:
    k = r.randrange(4)
    if k == 0:
        d = bytes(r.randrange(256) for _ in range(r.randrange(600)))
    elif k == 1:
        d = struct.pack('<8i', 0x7FFFFFFF, 963, 1, 0, 0, 0, 0, 0)
    elif k == 2:
        d = struct.pack('<8i', 100, 1, 1, 0, 0, 100000, r.randrange(4), r.randrange(9)) + bytes(100)
    else:
        d = struct.pack('<8i', 4, 963, r.randrange(-5, 30), 0, 0, 0, 0, 0) + bytes([0x90, 60, 100, 0])
    s.sendto(d, ('{CLI_IP}', 8800))
"""
        subprocess.run(["ip", "netns", "exec", SRV_NS, "python3", "-c", script], check=False)

    # ---- the run -----------------------------------------------------------------------------
    def run(self):
        log(f"soak: {self.o.minutes} min, seed {self.o.seed}")
        self.network()
        self.start_provider()
        open(self.synth_log, "w").close()
        self.start_synth()
        self.kestrel("srv", SRV_NS, ["Server.Enable=1", "Client.Enable=0", "Server.MidiIN_Port=--Disabled--"])
        cli = ["Server.Enable=0", "Client.Enable=1", "Client.HostIP=" + CLI_IP, "Client.Port1=1",
               "Client.To1=" + SYNTH + " in"] + [f"Client.Port{n}=0" for n in range(2, 9)]
        self.kestrel("cli", CLI_NS, cli)
        self.wait_for(lambda: "Client: connected" in open(os.path.join(self.work, "cli.log")).read(), 30,
                      "connection")
        start = time.monotonic()
        self.player_loop()
        self.recovery("start", start)

        end = start + self.o.minutes * 60
        kinds = ["server-toggle", "client-toggle", "provider-kill", "output-vanish", "reader-stall", "loss",
                 "link-down", "hostile"]
        plan = []
        injected = {}
        rss_first = None
        while time.monotonic() < end and self.check_alive():
            if rss_first is None and time.monotonic() - start >= 60:
                rss_first = {side: self.rss_kib(side) for side in ("srv", "cli")}
                log(f"memory after the first minute: {rss_first}")
            if not plan:
                plan = kinds[:]
                self.random.shuffle(plan)
            time.sleep(self.random.uniform(1, 4))
            kind = plan.pop()
            log(f"fault: {kind}")
            ended = self.fault(kind)
            injected[kind] = injected.get(kind, 0) + 1
            took = self.recovery(kind, ended)
            if took is not None:
                log(f"  events again after {took:.2f} s")
        if rss_first is None:
            rss_first = {side: self.rss_kib(side) for side in ("srv", "cli")}
        rss_last = {side: self.rss_kib(side) for side in ("srv", "cli")}

        # The senders stop; the server ends; the client's silence rule silences what sounds.
        self.player_stop = True
        if self.player is not None:
            self.player.terminate()
        self.check_alive()
        self.end_kestrel("srv")
        time.sleep(7)
        notes = self.check_notes()
        self.end_kestrel("cli")
        self.procs["synth"].terminate()
        self.procs["provider"].terminate()
        self.report(injected, notes, rss_first, rss_last)
        return 0 if not self.failures else 1

    def end_kestrel(self, side):
        p = self.procs[side]
        if p.poll() is not None:
            return
        p.send_signal(signal.SIGTERM)
        t = time.monotonic()
        try:
            p.wait(timeout=2)
        except subprocess.TimeoutExpired:
            self.fail(f"the {side} Kestrel did not end within 2 s of SIGTERM")
            p.kill()
            p.wait()
            return
        if p.returncode != 0:
            self.fail(f"the {side} Kestrel ended with status {p.returncode}")
        log(f"{side} ended {time.monotonic() - t:.2f} s after SIGTERM")

    def check_notes(self):
        sounding = {}
        notes = 0
        for fields in self.synth_lines():
            if len(fields) != 5:
                continue
            kind, ch, a = fields[1], int(fields[2]), int(fields[3])
            if kind == "on":
                notes += 1
                sounding[(ch, a)] = sounding.get((ch, a), 0) + 1
            elif kind == "off":
                if sounding.get((ch, a), 0) > 0:
                    sounding[(ch, a)] -= 1
            elif kind == "cc" and a == 123:
                for key in [k for k in sounding if k[0] == ch]:
                    sounding[key] = 0
        stuck = sorted(k for k, v in sounding.items() if v > 0)
        if stuck:
            self.fail(f"{len(stuck)} notes left sounding (channel, note): {stuck[:10]}")
        return notes

    def report(self, injected, notes, rss_first, rss_last):
        print("== soak report", flush=True)
        print(f"seed {self.o.seed}, {self.o.minutes} min")
        print("faults injected: " + ", ".join(f"{k} {v}" for k, v in sorted(injected.items())))
        every = [s for values in self.recoveries.values() for s in values if s != float("inf")]
        if every:
            print(f"recovery: p50 {statistics.median(every):.2f} s, max {max(every):.2f} s over {len(every)} faults")
        for kind, values in sorted(self.recoveries.items()):
            print(f"  {kind}: " + " ".join(f"{v:.2f}" for v in values))
        print(f"notes checked: {notes}")
        for side in ("srv", "cli"):
            print(f"memory {side}: {rss_first.get(side)} KiB after the first minute, {rss_last.get(side)} KiB at the end")
            if not self.o.no_memory_check and rss_first.get(side) and rss_last.get(side):
                if rss_last[side] > rss_first[side] * 1.10:
                    self.fail(f"the {side} Kestrel grew from {rss_first[side]} to {rss_last[side]} KiB")
        if self.failures:
            print(f"FAILED with seed {self.o.seed} (scripts/soak --seed {self.o.seed} --minutes {self.o.minutes:g} "
                  "runs the same schedule):\n  " + "\n  ".join(self.failures))
            for name in ("srv.log", "cli.log", "provider.log"):
                path = os.path.join(self.work, name)
                if os.path.exists(path):
                    print(f"---- {name} (last lines)")
                    print("".join(open(path).readlines()[-30:]))
        else:
            print("PASS: Kestrel kept playing through every fault")

    def cleanup(self):
        self.player_stop = True
        for p in self.procs.values():
            if p.poll() is None:
                p.kill()
        if self.player is not None and self.player.poll() is None:
            self.player.kill()
        for ns in (SRV_NS, CLI_NS):
            sh("ip", "netns", "del", ns, check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kestrel", required=True)
    parser.add_argument("--provider", required=True)
    parser.add_argument("--synth", required=True)
    parser.add_argument("--song", required=True)
    parser.add_argument("--minutes", type=float, default=2)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--no-memory-check", action="store_true")
    options = parser.parse_args()
    if options.seed is None:
        # The test run's seed (scripts/test picks one and prints it), else one of our own.
        seed = os.environ.get("KESTREL_SOAK_SEED", "")
        options.seed = int(seed) if seed.isdigit() else random.randrange(1 << 31)
    soak = Soak(options)
    try:
        return soak.run()
    finally:
        soak.cleanup()


if __name__ == "__main__":
    sys.exit(main())
