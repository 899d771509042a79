#!/bin/bash
# Builds the Debian packages from debian/ in a scratch copy of the tree and
# checks them: lintian (no errors, no warnings that an override does not
# justify), then, for the build machine's architecture, an install with
# apt-get, the files where the units and bus policies expect them, the
# services' users, and a purge that leaves nothing but those users.
#
# Usage: scripts/package-test.sh [--arch arm64] [--keep DIR]
#   --arch arm64  cross-build with the aarch64 toolchain (scripts/
#                 cross-test-aarch64.sh installs it) and check the packages
#                 with dpkg-deb -c and lintian; nothing is installed.
#   --keep DIR    build in DIR and leave the packages there.
# As root on Debian 12; installs the packaging tools it misses.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
arch=$(dpkg --print-architecture)
host_arch=$arch
work=""
while [ $# -gt 0 ]; do
  case $1 in
    --arch) host_arch=$2; shift 2 ;;
    --keep) work=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
say() { echo "== $*"; }
die() { echo "package-test: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "run as root (it installs and purges packages)"

# ---- tools ----------------------------------------------------------------
packages="dpkg-dev debhelper lintian fakeroot"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  say "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
"$top/scripts/install-deps.sh"
[ "$host_arch" = "$arch" ] || "$top/scripts/cross-test-aarch64.sh" --install-only

# ---- build ----------------------------------------------------------------
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/kavrod-packages-XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
src="$work/kavrod-0.1.0"
rm -rf "$src"
mkdir -p "$src"
# The tree as git knows it (changes not yet committed included), without
# build directories.
(cd "$top" && git ls-files -z --cached --others --exclude-standard) |
  (cd "$top" && tar --null -T - -cf -) | tar -C "$src" -xf -

say "dpkg-buildpackage ($host_arch)"
t0=$SECONDS
build_args=(-b -us -uc)
[ "$host_arch" = "$arch" ] || build_args+=(-a "$host_arch")
(cd "$src" && DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage "${build_args[@]}") \
  >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; die "dpkg-buildpackage failed (log: $work/build.log)"; }
say "built in $((SECONDS - t0)) s"
changes=$(ls "$work"/kavrod_0.1.0_"$host_arch".changes)
debs=()
for deb in "$work"/*_"$host_arch".deb; do
  case $deb in *-dbgsym_*) ;; *) debs+=("$deb") ;; esac
done
[ ${#debs[@]} -eq 9 ] || die "expected 9 packages, found ${#debs[@]}"

# ---- contents ---------------------------------------------------------------
contents() {
  dpkg-deb -c "$work/$1"_*_"$host_arch".deb | awk '{ print ($(NF - 1) == "->") ? $(NF - 2) : $NF }' | sed 's|^\./|/|'
}
has() {
  local pkg=$1
  shift
  for f in "$@"; do
    contents "$pkg" | grep -qx "$f" || die "$pkg lacks $f"
  done
}
triplet=$(dpkg-architecture -a"$host_arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
has kavrod /usr/sbin/kavrod /usr/bin/kavrodctl /lib/systemd/system/kavrod.service \
  /usr/lib/sysusers.d/kavrod.conf /usr/share/dbus-1/system.d/com.vemo.bt.ReceiveVemoBeacon.conf \
  /usr/share/man/man8/kavrod.8.gz /usr/share/man/man1/kavrodctl.1.gz \
  /usr/share/bash-completion/completions/kavrodctl
has beacon-sender /usr/sbin/beacon-sender /lib/systemd/system/beacon-sender.service \
  /usr/lib/sysusers.d/beacon-sender.conf /usr/share/dbus-1/system.d/com.vemo.bt.SendVemoBeacon.conf \
  /usr/share/man/man8/beacon-sender.8.gz
has libtelvo /usr/lib/action-engine/plugins/libtelvo.so
for lib in advwatch advwatch-utils evpub vesk xtag; do
  has "lib${lib}1" "/usr/lib/$triplet/lib$lib.so.1"
done
for deb in "${debs[@]}"; do
  if dpkg-deb -c "$deb" | grep -Eq 'bluez-sim|action-engine-sim'; then die "$(basename "$deb") holds a simulator"; fi
done
# Programs of the target's architecture.
machine=$(dpkg-deb --fsys-tarfile "$work"/kavrod_*_"$host_arch".deb | tar -xO ./usr/sbin/kavrod | file -b -)
say "kavrod: $machine"
case $host_arch in
  arm64) [[ $machine == *aarch64* ]] || die "kavrod is not an aarch64 program" ;;
  amd64) [[ $machine == *x86-64* ]] || die "kavrod is not an x86-64 program" ;;
esac

# ---- lintian ----------------------------------------------------------------
say "lintian"
t0=$SECONDS
lintian_out=$(lintian --fail-on error,warning --display-info --suppress-tags-from-file /dev/null "$changes" 2>&1) ||
  { printf '%s\n' "$lintian_out"; die "lintian found errors or warnings"; }
printf '%s\n' "$lintian_out" | grep -v '^N:' || true
say "lintian clean in $((SECONDS - t0)) s"

[ "$host_arch" = "$arch" ] || { say "cross-built packages checked"; exit 0; }

# ---- install ----------------------------------------------------------------
pkgs=(kavrod beacon-sender libtelvo libadvwatch1 libadvwatch-utils1 libevpub1 libvesk1 libxtag1 libvemo-platform-dev)
# Every path outside scratch, logs, package caches and man-db's cache of
# formatted pages (which man-db keeps itself).
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /tmp -o -path /var/cache/apt -o -path /var/lib/apt \
    -o -path /var/cache/man -o -path /var/log -o -path /work -o -path /root -o -path /var/lib/dpkg \) \
    -prune -o -print 2>/dev/null | sort
}
say "apt-get install"
before=$(mktemp)
snapshot >"$before"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "${debs[@]}" >"$work/install.log" 2>&1 ||
  { tail -30 "$work/install.log"; die "apt-get install failed"; }

# Where the units and policies expect things.
for unit in kavrod beacon-sender; do
  path=$(systemctl show -P FragmentPath "$unit.service" 2>/dev/null || true)
  [ -n "$path" ] || path=/lib/systemd/system/$unit.service
  [ -f "$path" ] || die "no unit $unit.service"
  exe=$(sed -n 's/^ExecStart=//p' "$path")
  [ -x "$exe" ] || die "$unit.service starts $exe, which is not there"
  user=$(sed -n 's/^User=//p' "$path")
  getent passwd "$user" >/dev/null || die "$unit.service runs as $user, who does not exist"
  for g in $(sed -n 's/^SupplementaryGroups=//p' "$path"); do
    getent group "$g" >/dev/null || die "$unit.service wants group $g, which does not exist"
  done
  systemd-analyze verify "$path" || die "systemd-analyze verify $unit.service"
done
for policy in /usr/share/dbus-1/system.d/com.vemo.bt.{ReceiveVemoBeacon,SendVemoBeacon}.conf; do
  for user in $(sed -n 's/.*<policy user="\([^"]*\)".*/\1/p' "$policy"); do
    getent passwd "$user" >/dev/null || die "$policy names user $user, who does not exist"
  done
done
plugindir=/usr/lib/action-engine/plugins
[ -f "$plugindir/libtelvo.so" ] || die "no plug-in in $plugindir"
ldd /usr/sbin/kavrod "$plugindir/libtelvo.so" /usr/sbin/beacon-sender | grep -q 'not found' && die "unresolved libraries"
man -w kavrod kavrodctl beacon-sender >/dev/null || die "manual pages not found by man"
kavrodctl --help >/dev/null || die "kavrodctl does not run"
getent group kavrod-admin >/dev/null || die "no group kavrod-admin"
say "installed: units, policies, users, plug-in and pages in place"

# ---- purge -----------------------------------------------------------------
say "apt-get purge"
apt-get purge -y -qq "${pkgs[@]}" >"$work/purge.log" 2>&1 || { tail -30 "$work/purge.log"; die "apt-get purge failed"; }
after=$(mktemp)
snapshot >"$after"
# The user database's backups come with the users, which stay.
left=$(comm -13 "$before" "$after" | grep -Ev '^/etc/(passwd|group|shadow|gshadow)-$' || true)
rm -f "$before" "$after"
if [ -n "$left" ]; then
  printf 'left behind:\n%s\n' "$left"
  die "purge left files behind"
fi
for user in kavrod beacon-sender; do
  getent passwd "$user" >/dev/null && echo "system user $user stays (Debian practice)"
done
say "purged: nothing left but the system users"
