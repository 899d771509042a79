#!/bin/sh
# Command prefix that runs a program under valgrind's memcheck with GLib's
# suppressions, writing one report per process to $VALGRIND_LOG_DIR (the
# caller collects them; the program's own exit status is kept so a test
# still sees how it ended). Used through KAVROD_WRAPPER by the daemon's
# integration tests, see scripts/run-checks.sh.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
logdir=${VALGRIND_LOG_DIR:-/tmp}
export G_SLICE=always-malloc
export G_DEBUG="gc-friendly${G_DEBUG:+,$G_DEBUG}"
exec valgrind --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite --num-callers=40 --track-fds=no \
  --suppressions=/usr/share/glib-2.0/valgrind/glib.supp \
  --suppressions="$here/kavrod.supp" \
  --log-file="$logdir/memcheck-%p.log" \
  "$@"
