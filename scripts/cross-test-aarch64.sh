#!/bin/sh
# Builds everything for the device (64-bit Arm Linux) on this x86-64 Debian 12
# machine and runs the test suite under qemu-user. Installs what it needs
# first (as root): the native build tools, the aarch64 cross compiler, the
# arm64 GLib and GoogleTest packages through multiarch, and qemu-user with
# qemu-aarch64 registered in binfmt_misc.
#
# Usage: scripts/cross-test-aarch64.sh [--build-only] [-- MESON-TEST-ARGS...]
#   --build-only   configure, build and check the binaries; run no test
#   --install-only install the packages above and stop (for the arm64
#                  Debian packages, scripts/package-test.sh --arch arm64)
#   -- ARGS        handed to `meson test` (e.g. -- --suite platform)
#
# Build directory: build/aarch64. Environment: TEST_TIMEOUT_SCALE (default 4)
# stretches the tests' own deadlines, MESON_TIMEOUT_MULTIPLIER (default 3)
# meson's per-test limits.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/aarch64"
cross="$top/cross/aarch64-linux-gnu.ini"

build_only=no
install_only=no
while [ $# -gt 0 ]; do
  case "$1" in
    --build-only) build_only=yes; shift ;;
    --install-only) install_only=yes; shift ;;
    --) shift; break ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "cross-test-aarch64: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done

say() { printf '== %s\n' "$*"; }
die() { printf 'cross-test-aarch64: %s\n' "$*" >&2; exit 1; }

# ---- packages ---------------------------------------------------------------

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

install_packages() {
  # Native tools (meson, gdbus-codegen, dbus-daemon, ...) as for the native build.
  "$top/scripts/install-deps.sh"

  # Runtime libraries of the target come through multiarch too, so the
  # emulated programs find them where the device has them.
  packages="file qemu-user qemu-user-binfmt g++-aarch64-linux-gnu
    libglib2.0-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libstdc++6:arm64
    libsystemd-dev:arm64"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || die "the arm64 architecture is not enabled in dpkg; run as root"
    # Its packages are all missing now, so the lists are fetched below.
    dpkg --add-architecture arm64
  fi
  missing=""
  for p in $packages; do
    installed "$p" || missing="$missing $p"
  done
  [ -n "$missing" ] || return 0
  [ "$(id -u)" -eq 0 ] || die "missing packages:$missing; run as root to install them"
  say "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
}

# ---- binfmt_misc --------------------------------------------------------------

# The tests exec the daemon, the simulators and the services themselves; only
# the kernel can hand those aarch64 executables to qemu, through binfmt_misc.
register_qemu_binfmt() {
  dir=/proc/sys/fs/binfmt_misc
  entry="$dir/qemu-aarch64"
  conf=/usr/lib/binfmt.d/qemu-aarch64.conf
  if [ ! -e "$dir/register" ]; then
    mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null ||
      die "binfmt_misc is not mounted at $dir and cannot be mounted here; aarch64 programs started by the tests cannot run"
  fi
  [ "$(cat "$dir/status")" = enabled ] || echo 1 > "$dir/status"
  if [ ! -e "$entry" ]; then
    [ -r "$conf" ] || die "$conf is missing (package qemu-user-binfmt)"
    # Each line of a binfmt.d file is already in the kernel's register format.
    grep -v '^[#;]' "$conf" | grep . > "$dir/register" ||
      die "registering qemu-aarch64 from $conf in $dir/register failed"
  fi
  [ "$(head -n 1 "$entry")" = enabled ] || echo 1 > "$entry"
  interpreter=$(sed -n 's/^interpreter //p' "$entry")
  [ -x "$interpreter" ] || die "binfmt entry qemu-aarch64 names '$interpreter', which is not executable"
  say "binfmt_misc: aarch64 executables run through $interpreter"
}

# ---- build ---------------------------------------------------------------------

configure() {
  # A directory set up for another machine (or by a failed setup) is redone.
  if [ -f "$build/build.ninja" ] &&
     ! grep -q "cross_file = .*aarch64-linux-gnu.ini" "$build/meson-private/cmd_line.txt" 2>/dev/null; then
    say "$build was not configured for aarch64: configuring it again"
    rm -rf "$build"
  fi
  if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" "$top" --cross-file "$cross"
  fi
}

check_machine() {
  path="$build/$1"
  [ -e "$path" ] || die "$1 was not built"
  description=$(file -bL "$path")
  case "$description" in
    *"ARM aarch64"*) printf '   %-42s %s\n' "$1" "$(echo "$description" | cut -d, -f1-2)" ;;
    *) die "$1 is not an aarch64 binary: $description" ;;
  esac
}

now() { date +%s; }

# ---- main ------------------------------------------------------------------------

cd "$top"
install_packages
[ "$install_only" = no ] || exit 0
register_qemu_binfmt
configure

say "building in $build"
build_start=$(now)
ninja -C "$build"
build_seconds=$(( $(now) - build_start ))

say "checking the machine of what was built"
for artefact in src/kavrod plugin/libtelvo.so \
    sim/bluez/bluez-sim sim/action-engine/action-engine-sim \
    platform/beacon-sender/beacon-sender; do
  check_machine "$artefact"
done
for library in "$build"/platform/*/lib*.so "$build"/platform/*/lib*.a; do
  [ -e "$library" ] || continue
  case "$library" in
    *.so) check_machine "${library#"$build"/}" ;;
    # A static archive: look at its first member.
    *.a) aarch64-linux-gnu-objdump -f "$library" 2>/dev/null | grep -q 'architecture: aarch64' ||
           die "${library#"$build"/} does not hold aarch64 objects"
         printf '   %-42s %s\n' "${library#"$build"/}" "aarch64 objects" ;;
  esac
done

# The tests start these directly: prove that exec of an aarch64 program works
# before blaming the suite for it.
"$build/sim/bluez/bluez-sim" --help > /dev/null ||
  die "cannot run the aarch64 bluez-sim directly (binfmt_misc and qemu-aarch64)"

say "build: ${build_seconds} s"
if [ "$build_only" = yes ]; then
  exit 0
fi

say "running the test suite under qemu-aarch64"
test_start=$(now)
status=0
TEST_TIMEOUT_SCALE="${TEST_TIMEOUT_SCALE:-4}" \
  meson test -C "$build" --no-rebuild --print-errorlogs --num-processes 2 \
    --timeout-multiplier "${MESON_TIMEOUT_MULTIPLIER:-3}" "$@" || status=1
test_seconds=$(( $(now) - test_start ))

say "aarch64: build ${build_seconds} s, tests under qemu ${test_seconds} s"
exit $status
