#!/bin/bash
# The device against real BlueZ: boots a QEMU guest with Debian's Linux 6.12,
# the real Linux Bluetooth stack with two virtual LE controllers (btvirt),
# Debian's bluetoothd and system bus, and this project installed with
# `meson install`, then runs the scenarios inside (scripts/lab/init).
#
# Usage, as root on Debian 12:  scripts/bluez-lab.sh [SCENARIO...]
#   startup   kavrod finds the adapter, registers its monitor, bluetoothd activates it
#   chain     20 action starts -> 20 beacons on air -> 20 events -> 20 rule firings;
#             a beacon of another System ID fires nothing
#   pause     Pause / Resume as an allowed user; refused for another user
#   systemid  a new System ID in the rules re-registers the monitor
#   restart   bluetoothd killed and started again; kavrod follows, no fd growth
#   attack    with the installation key: a captured signed beacon replayed and
#             one with a wrong tag from the other controller fire nothing
# Default: all of them, in one boot (start-up always runs first).
# Installs missing Debian packages, builds build/lab (prefix /usr) when
# needed, and keeps the kernel in build/lab-cache. Prints the guest's
# trace and one line "N passed, N failed"; exits 1 on any failure or on
# time-out (LAB_TIMEOUT seconds for the guest, default 420), and never
# leaves qemu running. LAB_DEBUG=1 runs bluetoothd and kavrod with debug
# logs; LAB_RESTARTS=N restarts bluetoothd N times (default 2);
# LAB_BLUEZ=sim runs the same scenarios against bluez-sim in the guest
# instead of btvirt and bluetoothd (to compare figures on the same clock).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
t_start=$SECONDS

all="startup chain pause systemid restart burst attack"
for s in "$@"; do
  case " $all " in *" $s "*) ;; *) echo "unknown scenario '$s' (known: $all)" >&2; exit 2 ;; esac
done
scenarios="startup"
for s in ${*:-$all}; do [ "$s" = startup ] || scenarios="$scenarios $s"; done

if [ "$(id -u)" -ne 0 ]; then
  echo "bluez-lab.sh: run as root (it installs packages and boots a guest)" >&2
  exit 2
fi

# Host packages: the guest is assembled from these Debian binaries.
packages="qemu-system-x86 bluez bluez-test-tools busybox-static kmod dbus-daemon dbus-bin
  dbus-system-bus-common libglib2.0-bin util-linux cpio xz-utils"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null; }
fi
"$top/scripts/install-deps.sh"

build=${LAB_BUILD:-$top/build/lab}
cache=$top/build/lab-cache
guest=$top/build/lab-guest
mkdir -p "$cache"

echo "== build ($build, prefix /usr)"
[ -f "$build/build.ninja" ] ||
  meson setup "$build" "$top" -Dprefix=/usr -Dtests=false >/dev/null
# Only what `meson install` puts in the guest (and what it needs).
targets=$(meson introspect "$build" --targets | python3 -c '
import json, os, sys
build = sys.argv[1]
print(" ".join(os.path.relpath(f, build) for t in json.load(sys.stdin) if t["installed"] for f in t["filename"]))' "$build")
# shellcheck disable=SC2086
ninja -C "$build" -j2 $targets >"$cache/ninja.log" 2>&1 || { cat "$cache/ninja.log"; exit 1; }

# Guest kernel: the newest Debian 6.12 image, unpacked, never installed.
kdir=$(ls -d "$cache"/linux-image-6.12.* 2>/dev/null | sort -V | tail -n1 || true)
if [ -z "$kdir" ] || [ ! -f "$kdir/.unpacked" ]; then
  pkg=$(apt-cache search --names-only '^linux-image-6\.12\.[0-9.]+\+deb12-amd64-unsigned$' |
    sed 's/ .*//' | sort -V | tail -n1)
  if [ -z "$pkg" ]; then
    apt-get update -qq
    pkg=$(apt-cache search --names-only '^linux-image-6\.12\.[0-9.]+\+deb12-amd64-unsigned$' |
      sed 's/ .*//' | sort -V | tail -n1)
  fi
  [ -n "$pkg" ] || { echo "no linux-image-6.12 package for amd64 in the apt sources" >&2; exit 1; }
  echo "== kernel: $pkg"
  kdir=$cache/$pkg
  rm -rf "$kdir" && mkdir -p "$kdir"
  (cd "$cache" && rm -f ./*.deb && apt-get download "$pkg" 2>&1 | grep -v "^W: Download is performed unsandboxed" || true)
  dpkg-deb -x "$cache/${pkg}"_*.deb "$kdir"
  rm -f "$cache/${pkg}"_*.deb
  depmod -b "$kdir" "$(ls "$kdir/lib/modules")"
  touch "$kdir/.unpacked"
fi
kver=$(ls "$kdir/lib/modules")
echo "== kernel $kver"

# Guest root: the project as `meson install` puts it, the host's Debian
# binaries with their libraries, the lab's init.
echo "== guest root"
rm -rf "$guest"
root=$guest/root
mkdir -p "$root"/usr/{bin,sbin,lib,lib64,libexec/bluetooth} "$root"/{etc,proc,sys,dev,run,tmp,var/lib/bluetooth}
for d in bin sbin lib lib64; do ln -s "usr/$d" "$root/$d"; done
ln -s ../run "$root/var/run"
DESTDIR=$root meson install -C "$build" --no-rebuild --strip --quiet >/dev/null
install -m 0755 /bin/busybox "$root/usr/bin/busybox"
for f in /usr/bin/dbus-daemon /usr/bin/dbus-monitor /usr/bin/gdbus /usr/bin/setpriv \
    /usr/bin/btvirt /usr/bin/btmgmt /usr/libexec/bluetooth/bluetoothd; do
  cp "$f" "$root$f"
done
# btmon, when the host has it, for the HCI trace of the burst scenario.
[ -x /usr/bin/btmon ] && cp /usr/bin/btmon "$root/usr/bin/btmon"
mkdir -p "$root/usr/share/dbus-1/system.d" "$root/etc/dbus-1/system.d" "$root/etc/bluetooth" "$root/etc/lab"
cp /usr/share/dbus-1/system.conf "$root/usr/share/dbus-1/"
cp /etc/dbus-1/system.d/bluetooth.conf "$root/etc/dbus-1/system.d/"
cp /etc/bluetooth/main.conf "$root/etc/bluetooth/"
cp "$top/scripts/lab/stand-ins.conf" "$root/etc/dbus-1/system.d/"
install -m 0755 "$top/scripts/lab/init" "$root/init"

# Libraries of every program in the guest, from the host.
find "$root/usr" -type f \( -perm -u+x -o -name '*.so*' \) >"$guest/elves"
while read -r f; do
  LD_LIBRARY_PATH=$root/usr/lib/x86_64-linux-gnu ldd "$f" 2>/dev/null |
    sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^\s*\(\/[^ ]*\) .*/\1/p'
done <"$guest/elves" | sort -u | while read -r lib; do
  case $lib in "$root"/*) continue ;; esac
  [ -e "$root$lib" ] || { mkdir -p "$root$(dirname "$lib")" && cp -L "$lib" "$root$lib"; }
done
echo /usr/lib/x86_64-linux-gnu >"$root/etc/ld.so.conf"
ldconfig -r "$root"

# Modules for btvirt (virtual HCI and the crypto socket API), in
# dependency order, decompressed.
mkdir -p "$root/lib/modules"
# btvirt's SMP crypto asks for cmac(aes) and ecb(aes) over AF_ALG; the
# guest has no modprobe for the kernel to ask, so load them up front.
for m in hci_vhci af_alg algif_hash algif_skcipher cmac; do
  modprobe -d "$kdir" -S "$kver" --show-depends "$m"
done | sed -n 's/^insmod \([^ ]*\).*/\1/p' | awk '!seen[$0]++' | while read -r ko; do
  name=$(basename "$ko"); name=${name%.xz}; name=${name%.zst}
  case $ko in
    *.xz) xz -dc "$ko" >"$root/lib/modules/$name" ;;
    *.zst) zstd -qdc "$ko" >"$root/lib/modules/$name" ;;
    *) cp "$ko" "$root/lib/modules/$name" ;;
  esac
  echo "$name" >>"$root/etc/lab/modules"
done

# Users and groups: Debian's system users, then the project's sysusers
# files in order, then the lab's caller of the control service.
{
  echo "root:x:0:0:root:/root:/bin/sh"
  echo "messagebus:x:100:101::/nonexistent:/bin/false"
  echo "nobody:x:65534:65534:nobody:/nonexistent:/bin/false"
} >"$root/etc/passwd"
{
  echo "root:x:0:"
  echo "messagebus:x:101:"
  echo "bluetooth:x:102:"
  echo "nogroup:x:65534:"
} >"$root/etc/group"
next=900
for conf in "$root"/usr/lib/sysusers.d/*.conf; do
  while read -r type name _; do
    case $type in
      u) echo "$name:x:$next:$next::/nonexistent:/bin/false" >>"$root/etc/passwd"
         echo "$name:x:$next:" >>"$root/etc/group" ;;
      g) echo "$name:x:$next:" >>"$root/etc/group" ;;
      *) continue ;;
    esac
    next=$((next + 1))
  done <"$conf"
done
echo "labadmin:x:$next:$next::/nonexistent:/bin/false" >>"$root/etc/passwd"
echo "labadmin:x:$next:" >>"$root/etc/group"
sed -i 's/^\(kavrod-admin:x:[0-9]*:\)$/\1labadmin/' "$root/etc/group"
mkdir -p "$root/etc/vesk"
cp "$root/usr/share/doc/kavrod/examples/vesk-policy.conf.example" "$root/etc/vesk/policy.conf"
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/etc/machine-id"

(cd "$root" && find . | cpio -o -H newc --quiet) >"$guest/initrd.cpio"
echo "== guest ready: $(du -sm "$guest/initrd.cpio" | cut -f1) MB initramfs ($((SECONDS - t_start)) s so far)"

# Boot. The guest's console is the trace; its second serial port carries
# the results. Both qemu and the watchdog die with this script.
qpid=""
cleanup() {
  trap - EXIT INT TERM
  if [ -s "$guest/qemu.pid" ]; then kill -KILL "$(cat "$guest/qemu.pid")" 2>/dev/null || true; fi
  [ -n "$qpid" ] && kill -KILL "$qpid" 2>/dev/null || true
  [ -n "${tailpid:-}" ] && kill "$tailpid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM
: >"$guest/console.log"
: >"$guest/results.log"
: >"$guest/logs.txt"
limit=${LAB_TIMEOUT:-420}
t_boot=$SECONDS
timeout -k 5 "$limit" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 \
  -nodefaults -no-reboot -display none -pidfile "$guest/qemu.pid" \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$guest/initrd.cpio" \
  -append "console=ttyS0 loglevel=4 panic=-1 lab.scenarios=$(echo "$scenarios" | tr ' ' ,) lab.debug=${LAB_DEBUG:-0} lab.restarts=${LAB_RESTARTS:-2} lab.bluez=${LAB_BLUEZ:-real}" \
  -serial "file:$guest/console.log" -serial "file:$guest/results.log" -serial "file:$guest/logs.txt" &
qpid=$!
tail -n +1 --pid="$qpid" -f "$guest/console.log" | sed -u 's/^/guest| /' &
tailpid=$!
rc=0
wait "$qpid" || rc=$?
wait "$tailpid" 2>/dev/null || true
tailpid=""
[ "$rc" -eq 124 ] && echo "== time-out: the guest did not finish within $limit s"

# One result per requested scenario; a missing one failed.
tr -d '\r' <"$guest/results.log" >"$guest/results"
passed=0 failed=0
: >"$build/lab-results.json"
echo
[ "${LAB_BLUEZ:-real}" = real ] || echo "==== against bluez-sim, not real BlueZ"
echo "==== real BlueZ lab (guest $((SECONDS - t_boot)) s, total $((SECONDS - t_start)) s)"
for s in $scenarios; do
  line=$(grep "^RESULT $s " "$guest/results" | tail -n1 || true)
  set -- $line
  verdict=${3:-FAIL} secs=${4:-?}
  [ -n "$line" ] || secs="no result"
  if [ "$verdict" = PASS ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  printf '%-10s %s (%s s)\n' "$s" "$verdict" "$secs"
  printf '{"name": "bluez-lab %s", "result": "%s"}\n' "$s" \
    "$([ "$verdict" = PASS ] && echo OK || echo FAIL)" >>"$build/lab-results.json"
done
grep "^FIGURE " "$guest/results" | sed 's/^FIGURE /  /' || true
[ -s "$guest/logs.txt" ] && echo "bus trace and the programs' logs: $guest/logs.txt"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && grep -q "^EXIT 0" "$guest/results"
