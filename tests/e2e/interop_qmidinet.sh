#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Kestrel and Debian's qmidinet on one gateway-less LAN of two network namespaces, inside the
# virtual machine with a real sequencer: the multicast raw-MIDI convention, both ways.
#  - Kestrel's host runs both sides ([Interop] Multicast=1; its own client listens on another UDP
#    port than its server sends to, so that only multicast could loop) and has no route for the
#    group: its server sends on the interface it is given, its client joins on its address's one.
#  - Kestrel to qmidinet: aplaymidi into "Kestrel Port1", arecordmidi on qmidinet's port; notes,
#    controllers and a 1 KiB system-exclusive message must arrive equal and in order, and Kestrel's
#    own client must play none of them (multicast loopback off).
#  - qmidinet to Kestrel: aplaymidi into qmidinet's port, Kestrel's client plays port 1 into
#    "Midi Through", arecordmidi records it; equal and in order.
#  - A datagram sent with loopback on from Kestrel's own address is not played; a datagram that is
#    not MIDI is counted and dropped; a note after both still plays.
#
#   interop_qmidinet.sh KESTREL KESTREL_PORTS
set -euo pipefail
kestrel=$1
provider=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
lan=iop$$
pids=()

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.log; do echo "---- $f"; cat "$f"; done
  exit 1
}
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  ip netns del "$lan-k" 2>/dev/null || true
  ip netns del "$lan-q" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
command -v qmidinet >/dev/null || fail "qmidinet is not installed (scripts/setup-deps)"

ip netns add "$lan-k"
ip netns add "$lan-q"
ip link add "$lan-a" type veth peer name "$lan-b"
ip link set "$lan-a" netns "$lan-k"
ip link set "$lan-b" netns "$lan-q"
ip -n "$lan-k" addr add 10.78.0.1/24 dev "$lan-a"
ip -n "$lan-q" addr add 10.78.0.2/24 dev "$lan-b"
for ns in "$lan-k" "$lan-q"; do ip -n "$ns" link set lo up; done
ip -n "$lan-k" link set "$lan-a" up
ip -n "$lan-q" link set "$lan-b" up
# qmidinet sends where the routing says; Kestrel's side has no route for the group on purpose.
ip -n "$lan-q" route add 224.0.0.0/4 dev "$lan-b"

mkdir -p "$work/k/run" "$work/k/config" "$work/q"
chmod 700 "$work/k/run" "$work/q"
envk="XDG_RUNTIME_DIR=$work/k/run XDG_CONFIG_HOME=$work/k/config HOME=$work/k"
env $envk "$provider" >"$work/provider.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do aconnect -o 2>/dev/null | grep -q "Kestrel Port1" && break; sleep 0.1; done
aconnect -o | grep -q "Kestrel Port1" || fail "the provider made no ports"

ip netns exec "$lan-q" env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/q" HOME="$work/q" \
  XDG_CONFIG_HOME="$work/q" qmidinet --no-gui --num-ports 1 --interface "$lan-b" --alsa-midi 1 --jack-midi 0 \
  >"$work/qmidinet.log" 2>&1 &
pids+=($!)
qclient=
for _ in $(seq 100); do
  qclient=$(sed -n 's/^Client *\([0-9]*\) : "QmidiNet".*/\1/p' /proc/asound/seq/clients | head -n 1)
  [ -n "$qclient" ] && break
  sleep 0.1
done
[ -n "$qclient" ] || fail "qmidinet made no port"

(cd "$work/k" && exec env $envk PATH=/usr/bin:/bin:/usr/sbin:/sbin ip netns exec "$lan-k" "$kestrel" --headless \
  --set Interop.Multicast=1 --set Server.Enable=1 --set Client.Enable=1 --set Server.MidiIN_Port=--Disabled-- \
  --set "Server.Interface=$lan-a" --set Client.HostIP=10.78.0.1 --set Client.UDPPort=8801 \
  --set Client.Port1=1 --set "Client.To1=Midi Through Port-0" --set Client.Port2=0 --set Client.Port3=0 \
  --set Client.Port4=0 --set Client.Port5=0 --set Client.Port6=0 --set Client.Port7=0 --set Client.Port8=0 \
  >"$work/kestrel.log" 2>&1) &
kpid=$!
pids+=("$kpid")
for _ in $(seq 100); do grep -q "also playing raw MIDI" "$work/kestrel.log" 2>/dev/null && break; sleep 0.1; done
grep -q "also sending raw MIDI" "$work/kestrel.log" || fail "Kestrel's server does not send multicast"
grep -q "also playing raw MIDI" "$work/kestrel.log" || fail "Kestrel's client does not play multicast"
sleep 1

python3 "$here/midi_events.py" write-interop "$work/played.mid"

# record PORT FILE: starts arecordmidi in the background, its pid in $recorder
record() {
  arecordmidi -p "$1" "$2" >>"$work/arecordmidi.log" 2>&1 &
  recorder=$!
}
stop_recording() {
  kill -INT "$@"
  for r in "$@"; do wait "$r" || true; done
}

echo "== Kestrel to qmidinet"
record "$qclient:0" "$work/to-qmidinet.mid"
r1=$recorder
record "Midi Through:0" "$work/echo.mid"
r2=$recorder
sleep 0.5
aplaymidi -p Kestrel:0 "$work/played.mid" || fail "aplaymidi into Kestrel Port1 failed"
sleep 2
stop_recording "$r1" "$r2"
python3 "$here/midi_events.py" compare-interop "$work/to-qmidinet.mid" || fail "qmidinet did not get what Kestrel sent"
[ "$(python3 "$here/midi_events.py" count "$work/echo.mid")" = 0 ] || fail "Kestrel's client played its own server's multicast"

echo "== qmidinet to Kestrel"
record "Midi Through:0" "$work/from-qmidinet.mid"
r1=$recorder
sleep 0.5
aplaymidi -p "$qclient:0" "$work/played.mid" || fail "aplaymidi into qmidinet failed"
sleep 2
stop_recording "$r1"
python3 "$here/midi_events.py" compare-interop "$work/from-qmidinet.mid" || fail "Kestrel did not play what qmidinet sent"

echo "== own address, not MIDI"
send() { # netns, source address, hex datagrams...: to the group's first port, multicast loopback on
  local ns=$1 source=$2
  shift 2
  ip netns exec "$ns" python3 - "$source" "$@" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[1]))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
for datagram in sys.argv[2:]:
    s.sendto(bytes.fromhex(datagram), ("225.0.0.37", 21928))
    time.sleep(0.05)
EOF
}
record "Midi Through:0" "$work/checks.mid"
r1=$recorder
sleep 0.5
send "$lan-k" 10.78.0.1 904040 804000                 # from Kestrel's own address: passed over
send "$lan-q" 10.78.0.2 68656c6c6f 903c 3c40 f07e01   # text, a cut message, no status, a cut dump
send "$lan-q" 10.78.0.2 923c50 823c00
sleep 1.5
stop_recording "$r1"
python3 - "$here" "$work/checks.mid" <<'EOF' || fail "the checks' recording differs"
import pathlib, sys
sys.path.insert(0, str(pathlib.Path(sys.argv[1]).parent / "support"))
from smf import read_events
got = read_events(sys.argv[2])
want = [bytes.fromhex("923c50"), bytes.fromhex("823c00")]
print("recorded", [e.hex() for e in got])
sys.exit(0 if got == want else 1)
EOF
# Text, the cut message and the data bytes without a status (the cut dump is only dropped, when
# its sender's next datagram starts with a status byte).
for _ in $(seq 30); do grep -q "multicast datagrams not MIDI" "$work/kestrel.log" && break; sleep 0.1; done
grep -E "Client: [0-9]+ multicast datagrams? not MIDI" "$work/kestrel.log" |
  awk '{s += $2} END {exit !(s == 3)}' || fail "the datagrams that are not MIDI were not counted (3)"

kill -TERM "$kpid"
status=0
wait "$kpid" || status=$?
[ "$status" -eq 0 ] || fail "Kestrel ended with status $status"
echo "PASS: Kestrel and qmidinet exchanged MIDI both ways over multicast, equal and in order"
