#!/bin/sh
# Leak and race checks, as CI runs them after the test suite:
#  1. memcheck: the daemon's integration tests with kavrod under valgrind
#     (GLib's suppressions, G_SLICE=always-malloc, G_DEBUG=gc-friendly);
#     every kavrod process must end with zero definitely-lost blocks and no
#     memory errors. The plug-in tests under valgrind as well.
#  2. ThreadSanitizer: the plug-in tests, the platform libraries' tests and
#     the plug-in host's tests, everything of ours built with
#     -fsanitize=thread; races inside GLib itself are suppressed
#     (tests/plugin/tsan.supp, handed to the tests through a world-readable
#     copy by tests/plugin/tsan.sh), none in our code.
# Installs missing Debian packages first, prints a summary, exits 1 when a
# check failed. Takes about 10 minutes on 2 cores from a clean tree.
# Usage: scripts/run-checks.sh [memcheck|tsan]...   (default: both)
# Build directories: $MEMCHECK_BUILD (default build/memcheck) and
# $TSAN_BUILD (default build/tsan).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh"
if ! command -v valgrind >/dev/null; then
  echo "Installing: valgrind"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind
fi

checks=${*:-memcheck tsan}
summary=$(mktemp /tmp/kavrod-checks-XXXXXX)
trap 'rm -f "$summary"' EXIT
status=0
note() { printf '%-34s %s\n' "$1" "$2" >>"$summary"; }

setup() {
  dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    meson setup "$dir" "$top" "$@" >/dev/null
  fi
}

memcheck() {
  build=${MEMCHECK_BUILD:-$top/build/memcheck}
  setup "$build"
  ninja -C "$build" >/dev/null
  logs=$(mktemp -d /tmp/kavrod-memcheck-XXXXXX)
  # Tests that run kavrod as another user need to write their reports too.
  chmod 1777 "$logs"
  start=$(date +%s)
  tests_ok=yes
  KAVROD_WRAPPER="$top/tests/valgrind/memcheck.sh" VALGRIND_LOG_DIR="$logs" TEST_TIMEOUT_SCALE=10 \
    meson test -C "$build" --suite daemon --num-processes 2 --print-errorlogs || tests_ok=no
  runs=0 bad=0 definite=0 unfinished=0
  for log in "$logs"/memcheck-*.log; do
    [ -e "$log" ] || continue
    runs=$((runs + 1))
    # A report without its summary is a process killed before the leak
    # check ran: nothing was checked.
    if ! grep -q "ERROR SUMMARY:" "$log"; then
      unfinished=$((unfinished + 1))
      echo "==== $log (no summary: the process was killed)"
      tail -n 20 "$log"
      continue
    fi
    lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tr -d , | tail -n1)
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tr -d , | tail -n1)
    definite=$((definite + ${lost:-0}))
    if [ "${lost:-0}" -gt 0 ] || [ "${errors:-0}" -gt 0 ]; then
      bad=$((bad + 1))
      echo "==== $log"
      cat "$log"
    fi
  done
  elapsed=$(($(date +%s) - start))
  if [ "$tests_ok" = yes ] && [ "$runs" -gt 0 ] && [ "$bad" -eq 0 ] && [ "$unfinished" -eq 0 ]; then
    note "memcheck daemon integration" "PASS: $runs kavrod runs, 0 definitely lost bytes, 0 errors (${elapsed} s)"
    rm -rf "$logs"
  else
    note "memcheck daemon integration" "FAIL: tests $tests_ok, $runs kavrod runs, $bad with errors or leaks, $unfinished killed unchecked, $definite bytes definitely lost; reports in $logs (${elapsed} s)"
    status=1
  fi

  start=$(date +%s)
  if meson test -C "$build" --suite plugin --setup pluginvalgrind --num-processes 2 --print-errorlogs; then
    note "memcheck plug-in tests" "PASS ($(($(date +%s) - start)) s)"
  else
    note "memcheck plug-in tests" "FAIL ($(($(date +%s) - start)) s)"
    status=1
  fi
}

tsan() {
  build=${TSAN_BUILD:-$top/build/tsan}
  setup "$build" -Db_sanitize=thread -Db_lundef=false
  ninja -C "$build" >/dev/null
  start=$(date +%s)
  # ThreadSanitizer needs a fixed address-space layout on kernels with a
  # high mmap randomisation.
  run=""
  if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    run="setarch $(uname -m) -R"
  fi
  if $run meson test -C "$build" --suite plugin --suite platform --suite action-engine --setup plugintsan \
      --num-processes 2 --print-errorlogs; then
    note "ThreadSanitizer plug-in, platform, host" "PASS ($(($(date +%s) - start)) s)"
  else
    note "ThreadSanitizer plug-in, platform, host" "FAIL ($(($(date +%s) - start)) s)"
    status=1
  fi
}

for check in $checks; do
  case $check in
    memcheck) memcheck ;;
    tsan) tsan ;;
    *) echo "usage: $0 [memcheck|tsan]..." >&2; exit 2 ;;
  esac
done

echo
echo "==== leak and race checks"
cat "$summary"
exit $status
