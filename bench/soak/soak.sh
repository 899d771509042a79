#!/bin/sh
# Builds the soak programs and runs them one after the other, each printing
# its figures; exits 1 when any invariant broke. Runs as root (the control
# soak starts refused callers as nobody). Takes about an hour with the
# defaults (1,000,000 beacons, 10 minutes of plug-in host, 10,000 random
# faults); --quick runs small counts in about 3 minutes.
# Usage: bench/soak/soak.sh [--quick] [build-dir]
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
quick=no
if [ "${1:-}" = "--quick" ]; then quick=yes; shift; fi
build=${1:-$top/build/normal}

"$top/scripts/install-deps.sh"
[ -f "$build/build.ninja" ] || meson setup "$build" "$top" >/dev/null
ninja -C "$build" soak >/dev/null

if [ "$quick" = yes ]; then
  runs="bluez-restarts --cycles 20
engine-faults --rounds 20 --slow 1 --restart-every 5
flood --beacons 30000
control --calls 2000
plugin-host --seconds 30
chaos --faults 200"
else
  runs="bluez-restarts
engine-faults
flood
control
plugin-host
chaos"
fi

out=$(mktemp /tmp/kavrod-soak-XXXXXX)
trap 'rm -f "$out"' EXIT
status=0
failed=""
while read -r name args; do
  echo "==== soak-$name $args"
  rc=0
  # shellcheck disable=SC2086
  "$build/bench/soak/soak-$name" $args >"$out" 2>&1 </dev/null || rc=$?
  grep -v 'Failed to set fd limit' "$out" || true
  if [ "$rc" -ne 0 ]; then status=1; failed="$failed soak-$name"; fi
done <<EOF_RUNS
$runs
EOF_RUNS
if [ "$status" -ne 0 ]; then echo "broken invariants in:$failed"; fi
exit $status
