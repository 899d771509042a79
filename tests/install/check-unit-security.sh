#!/bin/sh
# Rates the installed kavrod unit's hardening with systemd-analyze; fails
# above 1.5. Skips (77) where systemd-analyze is missing.
set -eu
unit=$1
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze"; exit 77; }
out=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || true
level=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$level" ] || { printf '%s\n' "$out"; exit 1; }
echo "exposure level $level"
awk -v l="$level" 'BEGIN { exit (l <= 1.5) ? 0 : 1 }'
