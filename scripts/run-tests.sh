#!/bin/sh
# Builds everything and runs the whole test suite twice: a normal build and
# an AddressSanitizer + UndefinedBehaviorSanitizer build (halt on error).
# Installs missing Debian packages first. Usage: scripts/run-tests.sh [--quick]
#   --quick   the normal build only
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh"

quick=no
[ "${1:-}" = "--quick" ] && quick=yes

status=0
run_suite() {
  dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    meson setup "$dir" "$@"
  else
    meson configure "$dir" "$@" >/dev/null
  fi
  ninja -C "$dir"
  meson test -C "$dir" --print-errorlogs --num-processes 2 || status=1
}

run_suite "$top/build/normal"
if [ "$quick" = no ]; then
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TEST_TIMEOUT_SCALE=3 \
    run_suite "$top/build/sanitize" -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debug
fi
exit $status
