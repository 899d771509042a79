#!/bin/bash
# Prints kavrod's start-up time (exec to "main loop running" in its log) and
# idle RSS, against a bare GLib program that connects to the bus and
# watches a name. Private bus, simulated BlueZ and action-rule engine.
# Usage: bench/startup.sh [build-dir] [runs]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/normal}
runs=${2:-20}
work=$(mktemp -d /tmp/kavrod-bench-XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

cat >"$work/bus.conf" <<CONF
<busconfig><type>system</type><listen>unix:path=$work/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_type="signal"/><allow send_requested_reply="true" send_type="method_return"/>
<allow send_requested_reply="true" send_type="error"/><allow receive_type="method_call"/>
<allow receive_type="method_return"/><allow receive_type="error"/><allow receive_type="signal"/></policy></busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 3>"$work/address" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/address" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$work/address")
printf '[rule 1]\nname=r\nenabled=true\nstart_event=x;UUID,value=5b0c9a3e-1f2d-4c6b-8e7a-9d0f1e2a3b4c;\n' >"$work/rules.conf"
"$build/sim/bluez/bluez-sim" >/dev/null 2>&1 & pids+=($!)
"$build/sim/action-engine/action-engine-sim" --rules "$work/rules.conf" >/dev/null 2>&1 & pids+=($!)
sleep 1

# measure NAME READY-TEXT CMD...: prints median start-up ms and RSS kB.
measure() {
  local name=$1 ready=$2; shift 2
  local times=() rss=0
  for _ in $(seq "$runs"); do
    local log="$work/log"; : >"$log"
    local t0; t0=$(date +%s%N)
    VESK_POLICY=/nonexistent "$@" >"$log" 2>&1 &
    local pid=$!
    while ! grep -q "$ready" "$log"; do sleep 0.001; done
    local t1; t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
    sleep 0.5
    rss=$(awk '/VmRSS/ {print $2}' /proc/$pid/status)
    kill -TERM $pid; wait $pid || true
  done
  local median; median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  printf '%-14s start-up median %7.2f ms   idle RSS %6d kB\n' "$name" "$(awk "BEGIN {print $median/1000}")" "$rss"
  result="$median $rss"
}

measure kavrod "run main loop" "$build/src/kavrod"; k=$result
measure bare-watcher "run main loop" "$build/bench/bare-watcher"; b=$result
read -r kt kr <<<"$k"; read -r bt br <<<"$b"
awk -v kt="$kt" -v bt="$bt" -v kr="$kr" -v br="$br" 'BEGIN {printf "ratio kavrod/bare: start-up %.2f, RSS %.2f\n", kt/bt, kr/br}'
