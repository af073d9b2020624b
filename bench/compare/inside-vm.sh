#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The measurements of scripts/bench-compare, run inside the ALSA virtual machine (run-in-vm), where
# every host is a network namespace on the one kernel, sequencer and clock. Prints its results as
# lines starting with "CMP " (one figure) and "LAT " (a delay distribution as 200 quantiles, µs);
# scripts/bench-compare turns them into the table and the plot.
#
#   inside-vm.sh KESTREL KESTREL_PORTS PROBE MIDI_FILE [quick|full] [loss|all] [LEVELS] [RUNS] [all|repeat]
#
# quick: one run each and 4 clients; loss: only the song under random loss, at LEVELS % ("1 5 20"),
# RUNS times each (3), through every system or through Kestrel with its repeats alone (repeat).
set -uo pipefail
kestrel=$1
provider=$2
probe=$3
midifile=$4
quick=${5:-}
only=${6:-}
loss_levels=${7:-1 5 20}
loss_runs=${8:-3}
loss_systems=${9:-all}
full=1
[ "$only" = loss ] && full=0
here=$(cd "$(dirname "$0")" && pwd)
work=${TMPDIR:-/tmp}/compare
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

runs=5
count=10000
rate=2000     # mean rate of the delay runs, events/s (even: one every 500 µs; bursts: 128 every 64 ms)
scale_clients=32
# The emulated processors carry about 8 000 events a second in all (each client plays every
# event); 32 clients at 10 000/s each are measured on this machine's own processors instead
# (bench/scale_bench.cpp, without the sequencer).
scale_rate=250
scale_count=5000
if [ "$quick" = quick ]; then runs=1; count=2000; scale_clients=4; scale_count=1000; fi

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  for ns in $(ip netns list | awk '{print $1}' | grep '^cmp-'); do ip netns del "$ns"; done
  ip link del cmpbr 2>/dev/null || true
}
trap cleanup EXIT
say() { echo "CMP $*"; }
log() { echo "bench-compare: $*" >&2; }

# ---- the LAN: two hosts on a veth pair, no gateway; multicast routed onto the wire --------------
ip netns add cmp-a
ip netns add cmp-b
ip link add cmpa type veth peer name cmpb
ip link set cmpa netns cmp-a
ip link set cmpb netns cmp-b
ip -n cmp-a addr add 10.79.0.1/24 dev cmpa
ip -n cmp-b addr add 10.79.0.2/24 dev cmpb
for ns in cmp-a cmp-b; do ip -n "$ns" link set lo up; done
ip -n cmp-a link set cmpa up
ip -n cmp-b link set cmpb up
ip -n cmp-a route add 224.0.0.0/4 dev cmpa
ip -n cmp-b route add 224.0.0.0/4 dev cmpb

# ---- the measuring client --------------------------------------------------------------------
coproc PROBE { "$probe" serve "$scale_clients"; }
pids+=("$PROBE_PID")
read -r ready <&"${PROBE[0]}"
case "$ready" in READY*) ;; *) log "the probe did not start: $ready"; exit 1 ;; esac
IFS='|' read -r -a probe_ports <<<"${ready#READY|}" # "client:port=name" for each input
port_addr() { echo "${probe_ports[$1]%%=*}"; }
port_name() { echo "${probe_ports[$1]#*=}"; }
ask() { # one command to the probe, its answer on stdout
  echo "$*" >&"${PROBE[1]}"
  local answer
  read -r answer <&"${PROBE[0]}"
  echo "$answer"
}
field() { # field NAME ANSWER
  sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"
}
quantiles() { # FILE...: 200 quantiles of the pooled delays
  sort -g "$@" | awk '{v[NR]=$1} END {s=""; for (i=0;i<200;i++) {k=int(i*(NR-1)/199)+1; s=s" "v[k]} print s}'
}

cputicks() { awk '{print $14+$15}' "/proc/$1/stat"; }

# delay_runs NAME: five even and five bursty runs into the current target
delay_runs() {
  local name=$1 mode i a
  for mode in even burst; do
    rm -f "$work"/lat-*.txt
    for i in $(seq "$runs"); do
      a=$(ask run "$mode" "$count" "$rate" "$work/lat-$i.txt")
      say "delay system=$name mode=$mode run=$i ${a#OK }"
    done
    echo "LAT $name $mode $(quantiles "$work"/lat-*.txt)"
  done
}

# delay_runs_with_cpu NAME SENDER_PID RECEIVER_PID: the delay runs, and the processor time both
# sides spent on them
delay_runs_with_cpu() {
  local s0 c0
  s0=$(cputicks "$2")
  c0=$(cputicks "$3")
  delay_runs "$1"
  say "cpu system=$1 events=$((2 * runs * count)) server_ticks=$(($(cputicks "$2") - s0))" \
    "client_ticks=$(($(cputicks "$3") - c0)) hz=$(getconf CLK_TCK)"
}

sysex_runs() {
  local name=$1 size a
  for size in 256 1024 4096 16384 65536; do
    a=$(ask sysex "$size")
    say "sysex system=$name ${a#OK }"
  done
}

# Highest rate in bursts of 128 with nothing lost (doubling, then halving the gap three times),
# the loss at twice that, and the 64 000 events/s target on its own.
throughput_search() {
  local name=$1 n=20000 good=0 bad=0 r=8000 a lost
  trial() {
    a=$(ask run burst "$n" "$1" -)
    lost=$(field lost "$a")
    say "trial system=$name rate=$1 ${a#OK }"
    [ "$lost" = 0 ] && [ "$(field refused "$a")" = 0 ]
  }
  while [ "$r" -le 512000 ]; do
    if trial "$r"; then good=$r; r=$((r * 2)); else bad=$r; break; fi
  done
  while [ "$good" -eq 0 ] && [ "$r" -gt 250 ]; do # lossy already at the start: halve down
    r=$((r / 2))
    if trial "$r"; then good=$r; else bad=$r; fi
  done
  if [ "$bad" -gt 0 ] && [ "$good" -gt 0 ]; then
    for _ in 1 2 3; do
      r=$(((good + bad) / 2))
      if trial "$r"; then good=$r; else bad=$r; fi
    done
  fi
  lost=-
  [ "$good" -gt 0 ] && { trial $((good * 2)) || true; }
  say "throughput system=$name lossless=$good at2x_lost=$lost of=$n"
  trial 64000 || true
  say "target64k system=$name lost=$lost of=$n"
}

# play_file NAME SEND_PORT RECORD_PORT: the MIDI file through a system, recorded on the far side
# record_song NAME SEND_PORT RECORD_PORT OUT: the song played into one port, recorded from another
# until 2 s after it ends
record_song() {
  arecordmidi -p "$3" "$4" >"$4.log" 2>&1 &
  local rec=$!
  sleep 1
  aplaymidi -p "$2" "$work/song.mid" || log "aplaymidi failed for $1"
  sleep 2
  kill -INT "$rec"
  wait "$rec" 2>/dev/null
}
play_file() {
  local name=$1
  record_song "$name" "$2" "$3" "$work/rec-$name.mid"
  say "file system=$name $(python3 "$here/smf_compare.py" "$work/song.mid" "$work/rec-$name.mid")"
}

# The song at four times its tempo (the header's ticks per beat quadrupled): the same events, in a
# quarter of the time.
python3 - "$midifile" "$work/song.mid" <<'EOF'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
division = struct.unpack(">H", data[12:14])[0]
assert division < 0x2000, "SMPTE time or ticks too fine to speed up"
data[12:14] = struct.pack(">H", division * 4)
open(sys.argv[2], "wb").write(data)
EOF
say "file_source $(basename "$midifile")"

# ---- floors ----------------------------------------------------------------------------------
if [ "$full" = 1 ]; then
log "floor: the sequencer alone (Midi Through)"
aconnect "Midi Through:0" "$(port_addr 0)"
ask target "Midi Through:0" >/dev/null
delay_runs seq-floor
aconnect -d "Midi Through:0" "$(port_addr 0)"

log "floor: UDP alone (ping-pong on the veth)"
ip netns exec cmp-b "$probe" udp-echo 9911 &
pids+=($!)
sleep 0.5
rm -f "$work"/lat-*.txt
for i in $(seq "$runs"); do
  a=$(ip netns exec cmp-a "$probe" udp-ping 10.79.0.2 9911 "$count" "$work/lat-$i.txt")
  say "udp system=udp-floor run=$i ${a#OK }"
  [ "$i" -lt "$runs" ] && { ip netns exec cmp-b "$probe" udp-echo 9911 & pids+=($!); sleep 0.3; }
done
echo "LAT udp-floor even $(quantiles "$work"/lat-*.txt)"
fi


# ---- Kestrel ---------------------------------------------------------------------------------
for side in srv cli; do mkdir -p "$work/$side/run" "$work/$side/config"; chmod 700 "$work/$side/run"; done
env_of() { echo "XDG_RUNTIME_DIR=$work/$1/run XDG_CONFIG_HOME=$work/$1/config HOME=$work/$1"; }
env $(env_of srv) "$provider" >"$work/provider.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do aconnect -o 2>/dev/null | grep -q "Kestrel Port1" && break; sleep 0.1; done

start_kestrel() { # name netns settings... ; leaves the pid in $started
  local name=$1 ns=$2
  shift 2
  local sets=() s
  for s in "$@"; do sets+=(--set "$s"); done
  mkdir -p "$work/$name/run" "$work/$name/config"
  chmod 700 "$work/$name/run"
  (cd "$work/$name" && exec env $(env_of "$name") ip netns exec "$ns" "$kestrel" --headless "${sets[@]}" \
    >"$work/$name.log" 2>&1) &
  started=$!
  pids+=("$started")
}
client_sets() { # address, output device name
  echo Server.Enable=0 Client.Enable=1 Client.HostIP=$1 Client.Port1=1 Client.Port2=0 Client.Port3=0 \
    Client.Port4=0 Client.Port5=0 Client.Port6=0 Client.Port7=0 Client.Port8=0
}
wait_connected() { # log files...
  local f
  for f in "$@"; do
    for _ in $(seq 600); do grep -q "Client: connected" "$f" 2>/dev/null && break; sleep 0.1; done
    grep -q "Client: connected" "$f" || { log "no connection: $f"; cat "$f" >&2; return 1; }
  done
}
stop_pid() {
  kill -TERM "$1" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
}

if [ "$full" = 1 ]; then
log "Kestrel"
start_kestrel srv cmp-a Server.Enable=1 Client.Enable=0 Server.MidiIN_Port=--Disabled--
ksrv=$started
# shellcheck disable=SC2046
start_kestrel cli cmp-b $(client_sets 10.79.0.2) "Client.To1=$(port_name 0)"
kcli=$started
wait_connected "$work/cli.log" || exit 1
ask target "Kestrel:0" >/dev/null
delay_runs_with_cpu kestrel "$ksrv" "$kcli"
sysex_runs kestrel
throughput_search kestrel
stop_pid "$kcli"
start_kestrel cli2 cmp-b $(client_sets 10.79.0.2) "Client.To1=Midi Through Port-0"
kcli=$started
wait_connected "$work/cli2.log" || exit 1
play_file kestrel Kestrel:0 "Midi Through:0"
stop_pid "$kcli"
stop_pid "$ksrv"

# The same with the measuring client's own port as the server's MIDI In: captured directly, as
# qmidinet reads its port, without the hop through kestrel-ports.
log "Kestrel, MIDI In"
start_kestrel srv cmp-a Server.Enable=1 Client.Enable=0 "Server.MidiIN_Port=ProbeSend Out" \
  Server.MidiIN_Port2="Kestrel Port1" Server.Port1=0 Server.Port2=0 Server.Port3=0 Server.Port4=0 Server.Port5=0 \
  Server.Port6=0 Server.Port7=0 Server.Port8=0
ksrv=$started
# shellcheck disable=SC2046
start_kestrel cli3 cmp-b $(client_sets 10.79.0.2) "Client.To1=$(port_name 0)"
kcli=$started
wait_connected "$work/cli3.log" || exit 1
ask target subscribers >/dev/null
delay_runs kestrel-midiin
stop_pid "$kcli"
stop_pid "$ksrv"
fi


# ---- qmidinet --------------------------------------------------------------------------------
log "qmidinet"
qclients() { sed -n 's/^Client *\([0-9]*\) : "QmidiNet".*/\1/p' /proc/asound/seq/clients; }
start_qmidinet() { # netns interface
  mkdir -p "$work/q-$1"
  chmod 700 "$work/q-$1"
  ip netns exec "$1" env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/q-$1" HOME="$work/q-$1" \
    XDG_CONFIG_HOME="$work/q-$1" qmidinet --no-gui --num-ports 1 --interface "$2" --alsa-midi 1 --jack-midi 0 \
    >"$work/qmidinet-$1.log" 2>&1 &
  started=$!
  pids+=("$started")
}
start_qmidinet_pair() { # sending side in cmp-a, receiving side in cmp-b: $qa $qb, ports $qsend $qrecv
  start_qmidinet cmp-a cmpa
  qa=$started
  for _ in $(seq 100); do [ -n "$(qclients)" ] && break; sleep 0.1; done
  qsend=$(qclients | head -n 1)
  start_qmidinet cmp-b cmpb
  qb=$started
  for _ in $(seq 100); do [ "$(qclients | wc -l)" -ge 2 ] && break; sleep 0.1; done
  qrecv=$(qclients | grep -v "^$qsend\$" | head -n 1)
}
if [ "$full" = 1 ]; then
start_qmidinet_pair
[ -n "$qsend" ] && [ -n "$qrecv" ] || { log "qmidinet made no ports"; cat "$work"/qmidinet-*.log >&2; exit 1; }
sleep 1
aconnect "$qrecv:0" "$(port_addr 0)"
ask target "$qsend:0" >/dev/null
delay_runs_with_cpu qmidinet "$qa" "$qb"
sysex_runs qmidinet
throughput_search qmidinet
aconnect -d "$qrecv:0" "$(port_addr 0)"
play_file qmidinet "$qsend:0" "$qrecv:0"
stop_pid "$qa"
stop_pid "$qb"
fi


# ---- the song under random loss: notes left sounding at its end --------------------------------
# netem drops datagrams at random on the server's side. Kestrel with its repeat of messages that end
# sound and without, and qmidinet; each recording ends 2 s after the song, while the connection
# still stands (Kestrel's client would silence what sounds once the server fell silent).
if [ "$quick" = quick ]; then loss_levels=5; loss_runs=1; fi
lossy() { # LOSS: random loss on everything cmp-a sends, 0: none
  if [ "$1" = 0 ]; then
    ip netns exec cmp-a tc qdisc del dev cmpa root 2>/dev/null || true
  else
    ip netns exec cmp-a tc qdisc replace dev cmpa root netem loss "$1%"
  fi
}
play_lossy() { # NAME SEND_PORT RECORD_PORT
  local name=$1 loss run
  for loss in $loss_levels; do
    for run in $(seq "$loss_runs"); do
      lossy "$loss"
      record_song "$name" "$2" "$3" "$work/rec-loss.mid"
      lossy 0
      say "stuck system=$name loss=$loss run=$run $(python3 "$here/stuck_notes.py" "$work/song.mid" "$work/rec-loss.mid")" \
        "$(python3 "$here/smf_compare.py" "$work/song.mid" "$work/rec-loss.mid" | grep -o 'missing=[0-9]*')"
      sleep 1
    done
  done
}
log "the song under random loss ($loss_levels %)"
loss_repeats="1 0"
[ "$loss_systems" = repeat ] && loss_repeats=1
for repeat in $loss_repeats; do
  start_kestrel lsrv$repeat cmp-a Server.Enable=1 Client.Enable=0 Server.MidiIN_Port=--Disabled-- \
    Server.RepeatNoteOff=$repeat
  ksrv=$started
  # shellcheck disable=SC2046
  start_kestrel lcli$repeat cmp-b $(client_sets 10.79.0.2) "Client.To1=Midi Through Port-0"
  kcli=$started
  wait_connected "$work/lcli$repeat.log" || exit 1
  name=kestrel-repeat
  [ "$repeat" = 0 ] && name=kestrel-once
  play_lossy "$name" Kestrel:0 "Midi Through:0"
  stop_pid "$kcli"
  stop_pid "$ksrv"
done
if [ "$loss_systems" = all ]; then
  start_qmidinet_pair
  sleep 1
  play_lossy qmidinet "$qsend:0" "$qrecv:0"
  stop_pid "$qa"
  stop_pid "$qb"
fi

[ "$full" = 1 ] || { echo quit >&"${PROBE[1]}"; echo "bench-compare: done" >&2; exit 0; }

# ---- scale: one Kestrel server, many Kestrel clients on one bridge -----------------------------
log "scale: 1 server, $scale_clients clients"
ip link add cmpbr type bridge
ip link set cmpbr up
for h in $(seq 0 "$scale_clients"); do
  ip netns add "cmp-s$h"
  ip link add "cmps$h" type veth peer name "cmpp$h"
  ip link set "cmps$h" netns "cmp-s$h"
  ip link set "cmpp$h" master cmpbr
  ip link set "cmpp$h" up
  ip -n "cmp-s$h" addr add "10.80.0.$((h + 1))/24" dev "cmps$h"
  ip -n "cmp-s$h" link set lo up
  ip -n "cmp-s$h" link set "cmps$h" up
done
start_kestrel ssrv cmp-s0 Server.Enable=1 Client.Enable=0 Server.MidiIN_Port=--Disabled--
ksrv=$started
start_kestrel sc1 cmp-s1 $(client_sets 10.80.0.2) "Client.To1=$(port_name 0)"
wait_connected "$work/sc1.log" || exit 1
ask target "Kestrel:0" >/dev/null
s0=$(cputicks "$ksrv")
a=$(ask run even "$scale_count" "$scale_rate" - 1)
s1=$(cputicks "$ksrv")
say "scale clients=1 rate=$scale_rate server_ticks=$((s1 - s0)) ${a#OK }"
for h in $(seq 2 "$scale_clients"); do
  start_kestrel "sc$h" "cmp-s$h" $(client_sets "10.80.0.$((h + 1))") "Client.To1=$(port_name $((h - 1)))"
done
logs=()
for h in $(seq 1 "$scale_clients"); do logs+=("$work/sc$h.log"); done
wait_connected "${logs[@]}" || exit 1
sleep 2
s0=$(cputicks "$ksrv")
a=$(ask run even "$scale_count" "$scale_rate" - "$scale_clients")
s1=$(cputicks "$ksrv")
say "scale clients=$scale_clients rate=$scale_rate server_ticks=$((s1 - s0)) ${a#OK }"
free -m | sed -n 2p | awk '{print "CMP memory used_mb=" $3 " total_mb=" $2}'
echo quit >&"${PROBE[1]}"
echo "bench-compare: done" >&2
