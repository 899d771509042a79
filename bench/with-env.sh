#!/bin/sh
# Runs a bench program with the paths of the built programs it starts.
# Usage: bench/with-env.sh BUILD_DIR PROGRAM [ARGS...]
set -eu
build=$(cd "$1" && pwd); shift
export KAVROD_BIN="$build/src/kavrod"
export BLUEZ_SIM_BIN="$build/sim/bluez/bluez-sim"
export ACTION_ENGINE_SIM_BIN="$build/sim/action-engine/action-engine-sim"
export BEACON_SENDER_BIN="$build/platform/beacon-sender/beacon-sender"
export TELVO_PLUGIN="$build/plugin/libtelvo.so"
exec "$@"
