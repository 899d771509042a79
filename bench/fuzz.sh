#!/bin/bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer +
# UndefinedBehaviorSanitizer, the code under test instrumented for coverage),
# runs each for SECONDS on a scratch copy of its committed seed corpus, and
# prints executions and findings per target. Installs clang and libFuzzer
# when they are missing. Findings are kept under the printed directory;
# copy a reproducer into fuzz/corpus/<target>/ as fault-<what> so the test
# suite replays it. Reproducers (fault-*) are not fuzzed from: until their
# fault is fixed they would only find it again.
# Usage: bench/fuzz.sh [seconds] [build-dir]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${2:-$top/build/fuzz}
targets="fuzz-systemid-reply fuzz-plugin-create fuzz-beacon-decode"

case $seconds in
  '' | *[!0-9]* | 0) echo "usage: $0 [seconds] [build-dir]" >&2; exit 2 ;;
esac

# libFuzzer ships with the compiler runtime of Debian's clang 14.
"$top/scripts/install-deps.sh" libclang-rt-14-dev

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ meson setup "$build" "$top" -Dfuzzing=true \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dc_args=-fsanitize=fuzzer-no-link -Dcpp_args=-fsanitize=fuzzer-no-link >/dev/null
fi
# shellcheck disable=SC2046
ninja -C "$build" $(for t in $targets; do printf 'fuzz/%s ' "$t"; done) >/dev/null

work=$(mktemp -d /tmp/kavrod-fuzz-XXXXXX)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export G_DEBUG=fatal-criticals

printf '%-22s %8s %12s %10s %8s %8s %8s %8s\n' target seconds executions exec/s crashes leaks timeouts ooms
total=0
for t in $targets; do
  mkdir -p "$work/$t/corpus" "$work/$t/findings"
  find "$top/fuzz/corpus/$t" -maxdepth 1 -type f ! -name 'fault-*' ! -name '.*' -exec cp {} "$work/$t/corpus/" \;
  # Fork mode goes on after a finding, so every one is counted and kept.
  (cd "$work/$t" && timeout $((seconds + 120)) "$build/fuzz/$t" -fork=1 -ignore_crashes=1 \
    -ignore_timeouts=1 -ignore_ooms=1 -timeout=10 -max_total_time="$seconds" \
    -artifact_prefix="$work/$t/findings/" corpus >"$work/$t/log" 2>&1) || true
  # Status lines: "#EXECS: cov: ... oom/timeout/crash: O/T/C time: ..."
  execs=$(grep -E '^#[0-9]+: cov:' "$work/$t/log" | tail -n1 | sed -E 's/^#([0-9]+):.*/\1/')
  execs=${execs:-0}
  count() { find "$work/$t/findings" -name "$1-*" | wc -l; }
  crashes=$(count crash) leaks=$(count leak) timeouts=$(count timeout) ooms=$(count oom)
  total=$((total + crashes + leaks + timeouts + ooms))
  printf '%-22s %8d %12d %10d %8d %8d %8d %8d\n' "$t" "$seconds" "$execs" $((execs / seconds)) \
    "$crashes" "$leaks" "$timeouts" "$ooms"
done

if [ "$total" -gt 0 ]; then
  echo "findings and logs kept in $work (<target>/findings, <target>/log)"
  exit 1
fi
rm -rf "$work"
