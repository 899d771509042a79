#!/bin/sh
# Installs the Debian 12 packages the build, the tests and the demo need.
# Safe to run again: only missing packages are fetched. Arguments name more
# packages to install with them (a script's own tools).
set -eu
packages="$* meson ninja-build pkg-config gcc g++ clang libglib2.0-dev libglib2.0-dev-bin
  libglib2.0-bin dbus-daemon dbus-bin libgtest-dev libgmock-dev valgrind util-linux
  procps python3 bluez python3-bleak bluez-test-scripts libsystemd-dev
  scdoc man-db bash-completion"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
