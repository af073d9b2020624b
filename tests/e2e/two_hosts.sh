#!/usr/bin/env bash
# Two machines on one gateway-less LAN, each a network namespace joined by a veth pair, sharing
# the virtual machine's real ALSA sequencer: a headless Kestrel server on one, a headless Kestrel
# client on the other. aplaymidi plays a MIDI file into "Kestrel Port1" on the server side; the
# client plays port 1 into "Midi Through", which arecordmidi records. The recorded events must
# equal the played ones, in order.
#
#   two_hosts.sh KESTREL KESTREL_PORTS
set -euo pipefail
kestrel=$1
provider=$2
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
  ip netns del "$lan-srv" 2>/dev/null || true
  ip netns del "$lan-cli" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The LAN: no default route on either side, as in a studio without a gateway.
ip netns add "$lan-srv"
ip netns add "$lan-cli"
ip link add "$lan-a" type veth peer name "$lan-b"
ip link set "$lan-a" netns "$lan-srv"
ip link set "$lan-b" netns "$lan-cli"
ip -n "$lan-srv" addr add 10.77.0.1/24 dev "$lan-a"
ip -n "$lan-cli" addr add 10.77.0.2/24 dev "$lan-b"
for ns in "$lan-srv" "$lan-cli"; do ip -n "$ns" link set lo up; done
ip -n "$lan-srv" link set "$lan-a" up
ip -n "$lan-cli" link set "$lan-b" up

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

start_kestrel srv "$lan-srv" Server.Enable=1 Client.Enable=0 Server.MidiIN_Port=--Disabled--
start_kestrel cli "$lan-cli" Server.Enable=0 Client.Enable=1 Client.HostIP=10.77.0.2 \
  Client.Port1=1 "Client.To1=Midi Through Port-0" Client.Port2=0 Client.Port3=0 Client.Port4=0 \
  Client.Port5=0 Client.Port6=0 Client.Port7=0 Client.Port8=0

# The client connects on the server's first keep-alive.
for _ in $(seq 300); do grep -q "Client: connected" "$work/cli.log" 2>/dev/null && break; sleep 0.1; done
grep -q "Client: connected" "$work/cli.log" || fail "the client never connected"

python3 "$here/midi_events.py" write "$work/played.mid"
arecordmidi -p "Midi Through:0" "$work/recorded.mid" >"$work/arecordmidi.log" 2>&1 &
recorder=$!
sleep 0.5
aplaymidi -p Kestrel:0 "$work/played.mid" || fail "aplaymidi failed"
sleep 2
kill -INT "$recorder"
wait "$recorder" || true

python3 "$here/midi_events.py" compare "$work/recorded.mid" || fail "the recording differs"

# Both end in order on SIGTERM (and both must still be running to be asked).
for p in "${pids[@]:1}"; do kill -TERM "$p" 2>/dev/null || fail "a Kestrel had ended before it was asked to"; done
for p in "${pids[@]:1}"; do
  status=0
  wait "$p" || status=$?
  [ "$status" -eq 0 ] || fail "a Kestrel ended with status $status"
done
grep -q "Kestrel ended" "$work/srv.log" || fail "the server did not end in order"
grep -q "Kestrel ended" "$work/cli.log" || fail "the client did not end in order"
echo "PASS: MIDI went from one machine to the other unchanged"
