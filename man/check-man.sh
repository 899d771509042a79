#!/bin/sh
# Renders each page as man(1) would and fails on any warning of man or
# groff, or on a page that renders empty. Skips (77) without man.
set -eu
command -v man >/dev/null || { echo "no man"; exit 77; }
status=0
for page in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true
  lines=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
  if [ -n "$warnings" ]; then
    printf '%s:\n%s\n' "$page" "$warnings"
    status=1
  elif [ "$lines" -lt 10 ]; then
    echo "$page: renders $lines lines"
    status=1
  else
    echo "$page: $lines lines, no warnings"
  fi
done
exit $status
