#!/bin/bash
# The whole device in one command, on a private system bus: simulated BlueZ
# with two adapters, the action-rule engine with two rules, the
# beacon-sending service on one adapter and kavrod on the other.
# Runs for DEMO_SECONDS (default 60) or until Ctrl-C.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh"

build="$top/build/normal"
[ -f "$build/build.ninja" ] || meson setup "$build"
ninja -C "$build"

seconds=${DEMO_SECONDS:-60}
SYSTEM_ID=${SYSTEM_ID:-5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c}
work=$(mktemp -d /tmp/kavrod-demo-XXXXXX)
pids=()

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
cleanup() {
  trap - EXIT INT TERM
  say "Stopping"
  # Last started first, each one gone before the next, the bus last.
  for ((i=${#pids[@]}-1; i>=0; i--)); do
    kill -TERM "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Prefixes each line of a component's log with its name.
start() {
  local name=$1; shift
  "$@" > >(sed -u "s/^/[$name] /") 2>&1 &
  pids+=($!)
}

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/>
    <allow send_type="method_call"/><allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/><allow receive_type="method_return"/>
    <allow receive_type="error"/><allow receive_type="signal"/>
  </policy>
</busconfig>
CONF

say "Private system bus"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 3>"$work/address" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/address" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$work/address")
echo "DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS"
export G_MESSAGES_DEBUG=${G_MESSAGES_DEBUG:-}

wait_name() {
  for _ in $(seq 100); do
    gdbus call --system --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true && return 0
    sleep 0.1
  done
  echo "$1 did not appear" >&2; return 1
}

say "Simulated BlueZ: hci0 advertises (beacon sender), hci1 monitors (kavrod)"
start bluez "$build/sim/bluez/bluez-sim" --adapter hci0:nomonitor --adapter hci1
wait_name org.bluez

say "Action-rule engine: rule 1 sends a RECORDING_STARTED beacon, rule 2 fires on BeaconReceived"
cat >"$work/rules.conf" <<RULES
[rule 1]
name=Send recording-started beacon
enabled=true
start_event=topic=tns1:Device/tnsvemo:Manual/tnsvemo:Trigger;UUID,value=$SYSTEM_ID;
sofile=$build/plugin/libtelvo.so
param_message_type=2
param_system_id=$SYSTEM_ID

[rule 2]
name=Beacon of this installation received
enabled=true
start_event=topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=$SYSTEM_ID;
RULES
start engine "$build/sim/action-engine/action-engine-sim" --rules "$work/rules.conf"
wait_name com.vemo.Event.ActionEngine.User

say "Installation key: the same on every device; the sender signs, kavrod verifies"
mkdir -m 0700 "$work/credstore"
echo "\$ kavrodctl new-key $work/credstore/beacon-key"
"$build/tools/kavrodctl" new-key "$work/credstore/beacon-key"
# What systemd's LoadCredential=beacon-key hands the services on a device.
export CREDENTIALS_DIRECTORY="$work/credstore"

say "Beacon-sending service on hci0"
start sender "$build/platform/beacon-sender/beacon-sender" --adapter hci0
wait_name com.vemo.bt.SendVemoBeacon

say "kavrod"
start kavrod "$build/src/kavrod"
wait_name com.vemo.bt.ReceiveVemoBeacon
sleep 1

say "Events on the bus (what a subscriber sees)"
start events dbus-monitor --system "type='signal',interface='com.vemo.Event.Producer1',member='Event'"
sleep 0.5

ctl() {
  echo "\$ gdbus call --system --dest com.vemo.bt.ReceiveVemoBeacon --object-path /com/vemo/bt/ReceiveVemoBeacon --method com.vemo.bt.ReceiveVemoBeacon.$1"
  gdbus call --system --dest com.vemo.bt.ReceiveVemoBeacon --object-path /com/vemo/bt/ReceiveVemoBeacon \
    --method "com.vemo.bt.ReceiveVemoBeacon.$1"
}
trigger() {
  echo "\$ gdbus call --system --dest com.vemo.Event.ActionEngine.User --object-path /com/vemo/Event/ActionEngine --method com.vemo.Event.ActionEngine.ActionRule.Trigger 1"
  gdbus call --system --dest com.vemo.Event.ActionEngine.User --object-path /com/vemo/Event/ActionEngine \
    --method com.vemo.Event.ActionEngine.ActionRule.Trigger 1 >/dev/null
}

say "Control service: List"
ctl List

say "Action started: plug-in -> Send -> advertisement on the air -> beacon heard -> BeaconReceived -> rule 2 fires"
trigger
sleep 3

say "Pause: beacons no longer become events"
ctl Pause
trigger
sleep 3

say "Resume"
ctl Resume
sleep 1
trigger
sleep 3

say "An attacker on hci1 sends beacons of this installation without the key: dropped, counted"
# Its System ID heard in the clear, a made-up tag, and then an unsigned beacon.
id_bytes=$(echo "$SYSTEM_ID" | tr -d '-' | sed 's/../0x& /g')
forged="0x01 $id_bytes 0x02 0x77 0x00 0xde 0xad 0xbe 0xef"
unsigned="0x01 $id_bytes 0x02 0x78"
for payload in "$forged" "$unsigned"; do
  gdbus call --system --dest com.vemo.Sim.BlueZ --object-path /com/vemo/Sim/BlueZ \
    --method com.vemo.Sim.BlueZ1.InjectAdvertisement hci1 66:66:66:00:00:01 0xffff "[$(echo $payload | sed 's/ /, /g')]" -- -40 >/dev/null
done
sleep 1
echo "\$ kavrodctl status"
"$build/tools/kavrodctl" status

say "A rule change: a new System ID (rule 7) takes over"
echo "\$ gdbus call --system --dest com.vemo.Event.ActionEngine.User --object-path /com/vemo/Event/ActionEngine --method com.vemo.Event.ActionEngine.ActionRule.AddRule 7 'New system' true \"b'...UUID,value=<id>;'\" '' {}"
gdbus call --system --dest com.vemo.Event.ActionEngine.User --object-path /com/vemo/Event/ActionEngine \
  --method com.vemo.Event.ActionEngine.ActionRule.AddRule 7 'New system' true \
  "b'topic=tns1:Device/tnsvemo:Bluetooth/tnsvemo:BeaconReceived;UUID,value=0f0e0d0c-0b0a-4908-8706-050403020100;'" '' '{}' >/dev/null
sleep 1
ctl List

say "Running for ${seconds}s more; Ctrl-C stops everything cleanly"
sleep "$seconds"
