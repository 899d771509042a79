#!/bin/sh
# Runs a test binary under ThreadSanitizer with our suppressions. Used by
# `meson test --setup plugintsan`. Helpers the tests start may drop
# privileges (setpriv to nobody) and still read TSAN_OPTIONS, so the
# suppressions go to a world-readable temporary file: the checkout itself
# may lie in a directory only its owner can enter.
supp=$(mktemp /tmp/kavrod-tsan-XXXXXX) || exit 1
trap 'rm -f "$supp"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
cat "$(dirname "$0")/tsan.supp" >"$supp" && chmod 0644 "$supp" || exit 1
TSAN_OPTIONS="suppressions=$supp ignore_noninstrumented_modules=1 halt_on_error=1 second_deadlock_stack=1${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
export TSAN_OPTIONS
"$@"
