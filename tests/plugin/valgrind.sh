#!/bin/sh
# Runs a test binary under valgrind's leak checker with GLib's suppressions.
# Used by `meson test --setup plugin-valgrind`.
export G_SLICE=always-malloc
export G_DEBUG="gc-friendly${G_DEBUG:+,$G_DEBUG}"
export TEST_TIMEOUT_SCALE="${TEST_TIMEOUT_SCALE:-20}"
here=$(dirname "$0")
exec valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1 \
  --num-callers=30 \
  --suppressions=/usr/share/glib-2.0/valgrind/glib.supp \
  --suppressions="$here/valgrind.supp" \
  "$@"
