#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Two machines on one gateway-less LAN, each a network namespace joined by a veth pair, sharing
# the virtual machine's real ALSA sequencer: a headless Kestrel server on one, a headless Kestrel
# client on the other. aplaymidi plays a MIDI file into "Kestrel Port1" on the server side; the
# client plays port 1 into "Midi Through", which arecordmidi records. The recorded events must
# equal the played ones, in order; then ten dumps of 10000 bytes must each arrive whole.
#
#   two_hosts.sh KESTREL KESTREL_PORTS [routed]
#
# "routed": the client is two routers away (server -- router -- a middle network -- router --
# client), where the server's broadcast never arrives: the server names it in Server.Targets.
set -euo pipefail
kestrel=$1
provider=$2
routed=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
lan=e2e$$
pids=()

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.log; do echo "---- $f"; cat "$f"; done
  exit 1
}
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for ns in srv cli r1 r2; do ip netns del "$lan-$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# link NS1 ADDRESS1 NS2 ADDRESS2: a cable between two machines, both ends up.
links=0
link() {
  links=$((links + 1))
  ip link add "$lan-$links-a" type veth peer name "$lan-$links-b"
  ip link set "$lan-$links-a" netns "$lan-$1"
  ip link set "$lan-$links-b" netns "$lan-$3"
  ip -n "$lan-$1" addr add "$2/24" dev "$lan-$links-a"
  ip -n "$lan-$3" addr add "$4/24" dev "$lan-$links-b"
  ip -n "$lan-$1" link set "$lan-$links-a" up
  ip -n "$lan-$3" link set "$lan-$links-b" up
}

# The LAN: no default route on either side, as in a studio without a gateway.
machines="srv cli"
[ "$routed" = routed ] && machines="srv cli r1 r2"
for ns in $machines; do
  ip netns add "$lan-$ns"
  ip -n "$lan-$ns" link set lo up
done
if [ "$routed" = routed ]; then
  client=10.79.0.2
  link srv 10.77.0.1 r1 10.77.0.254
  link r1 10.78.0.1 r2 10.78.0.2
  link r2 10.79.0.254 cli "$client"
  for r in r1 r2; do ip netns exec "$lan-$r" sysctl -q -w net.ipv4.ip_forward=1; done
  for net in 10.78.0.0/24 10.79.0.0/24; do ip -n "$lan-srv" route add "$net" via 10.77.0.254; done
  ip -n "$lan-r1" route add 10.79.0.0/24 via 10.78.0.2
  ip -n "$lan-r2" route add 10.77.0.0/24 via 10.78.0.1
  for net in 10.77.0.0/24 10.78.0.0/24; do ip -n "$lan-cli" route add "$net" via 10.79.0.254; done
  server_sets=(Server.Targets="$client")
else
  client=10.77.0.2
  link srv 10.77.0.1 cli "$client"
  server_sets=()
fi

# Each machine has its own settings and runtime folder; the provider is the server's.
for side in srv cli; do mkdir -p "$work/$side/run" "$work/$side/config"; chmod 700 "$work/$side/run"; done
env_of() { echo "XDG_RUNTIME_DIR=$work/$1/run XDG_CONFIG_HOME=$work/$1/config HOME=$work/$1"; }

env $(env_of srv) "$provider" >"$work/provider.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do aconnect -o 2>/dev/null | grep -q "Kestrel Port1" && break; sleep 0.1; done
aconnect -o | grep -q "Kestrel Port1" || fail "the provider made no ports"

start_kestrel() { # side, netns, settings...
  local side=$1 ns=$2
  shift 2
  local sets=()
  for s in "$@"; do sets+=(--set "$s"); done
  (cd "$work/$side" && exec env $(env_of "$side") PATH=/usr/bin:/bin:/usr/sbin:/sbin \
    ip netns exec "$ns" "$kestrel" --headless "${sets[@]}" >"$work/$side.log" 2>&1) &
  pids+=($!)
}

start_kestrel srv "$lan-srv" Server.Enable=1 Client.Enable=0 Server.MidiIN_Port=--Disabled-- "${server_sets[@]}"
start_kestrel cli "$lan-cli" Server.Enable=0 Client.Enable=1 Client.HostIP="$client" \
  Client.Port1=1 "Client.To1=Midi Through Port-0" Client.Port2=0 Client.Port3=0 Client.Port4=0 \
  Client.Port5=0 Client.Port6=0 Client.Port7=0 Client.Port8=0

# The client connects on the server's first keep-alive.
for _ in $(seq 300); do grep -q "Client: connected" "$work/cli.log" 2>/dev/null && break; sleep 0.1; done
grep -q "Client: connected" "$work/cli.log" || fail "the client never connected"

# play_recorded NAME WAIT: writes performance NAME (midi_events.py write[-NAME]), plays it into
# "Kestrel Port1" while arecordmidi records "Midi Through", then compares what was recorded.
play_recorded() {
  local suffix=${1:+-$1}
  python3 "$here/midi_events.py" "write$suffix" "$work/played$suffix.mid"
  arecordmidi -p "Midi Through:0" "$work/recorded$suffix.mid" >"$work/arecordmidi$suffix.log" 2>&1 &
  local recorder=$!
  sleep 0.5
  aplaymidi -p Kestrel:0 "$work/played$suffix.mid" || fail "aplaymidi failed${1:+ on the $1}"
  sleep "$2"
  kill -INT "$recorder"
  wait "$recorder" || true
  python3 "$here/midi_events.py" "compare$suffix" "$work/recorded$suffix.mid"
}
play_recorded "" 2 || fail "the recording differs"
# Long dumps to a program that reads all the time, only slower than a burst: each arrives whole.
play_recorded dumps 3 || fail "a dump did not arrive whole"

# Both end in order on SIGTERM (and both must still be running to be asked).
for p in "${pids[@]:1}"; do kill -TERM "$p" 2>/dev/null || fail "a Kestrel had ended before it was asked to"; done
for p in "${pids[@]:1}"; do
  status=0
  wait "$p" || status=$?
  [ "$status" -eq 0 ] || fail "a Kestrel ended with status $status"
done
grep -q "Kestrel ended" "$work/srv.log" || fail "the server did not end in order"
grep -q "Kestrel ended" "$work/cli.log" || fail "the client did not end in order"
if [ "$routed" = routed ]; then
  grep -q "Server on: broadcasting to UDP port 8800, and to $client" "$work/srv.log" || fail "the server named no target"
fi
echo "PASS: MIDI went from one machine to the other unchanged${routed:+, two routers away}"
