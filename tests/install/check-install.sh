#!/bin/sh
# Installs the build into a scratch DESTDIR and checks the tree: programs,
# libraries, plug-in, headers, pkg-config files, bus policies, units.
# Usage: check-install.sh BUILD_DIR PREFIX LIBDIR PLUGINDIR
set -eu
build=$1 prefix=$2 libdir=$3 plugindir=$4
dest=$(mktemp -d /tmp/kavrod-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
meson install -C "$build" --destdir "$dest" --no-rebuild --quiet >/dev/null

root="$dest$prefix"
missing=0
expect() {
  if [ ! -e "$1" ]; then echo "missing: ${1#$dest}"; missing=1; fi
}
expect_exec() {
  expect "$1"
  [ -x "$1" ] || { echo "not executable: ${1#$dest}"; missing=1; }
}
expect_exec "$root/sbin/kavrod"
expect_exec "$root/sbin/beacon-sender"
expect_exec "$root/bin/kavrodctl"
expect "$dest$plugindir/libtelvo.so"
for lib in advwatch advwatch-utils evpub vesk xtag; do
  expect "$root/$libdir/lib$lib.so"
  expect "$root/$libdir/pkgconfig/$lib.pc"
done
for h in advwatch/advwatch.h advwatch/advwatch-utils.h evpub/evpub.h vesk/vesk.h xtag/xtag.h \
         action-engine/action-plugin.h; do
  expect "$root/include/$h"
done
expect "$root/share/dbus-1/system.d/com.vemo.bt.ReceiveVemoBeacon.conf"
expect "$root/share/dbus-1/system.d/com.vemo.bt.SendVemoBeacon.conf"
expect "$root/share/dbus-1/interfaces/com.vemo.bt.ReceiveVemoBeacon.xml"
expect "$root/lib/systemd/system/kavrod.service"
expect "$root/lib/systemd/system/beacon-sender.service"
expect "$root/lib/sysusers.d/kavrod.conf"
expect "$root/lib/sysusers.d/beacon-sender.conf"
expect "$root/share/doc/kavrod/examples/vesk-policy.conf.example"
expect "$root/share/bash-completion/completions/kavrodctl"
expect "$root/share/zsh/vendor-completions/_kavrodctl"
# Manual pages, where scdoc built them.
if [ -e "$build/man/kavrod.8" ]; then
  for page in man8/kavrod.8 man1/kavrodctl.1 man8/beacon-sender.8; do
    expect "$root/share/man/$page"
  done
fi

# The plug-in exports the engine's nine entry points and nothing else.
if command -v nm >/dev/null; then
  exports=$(nm -D --defined-only "$dest$plugindir/libtelvo.so" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
  want="plugin_abort plugin_check_running plugin_create plugin_destroy plugin_free plugin_initialize plugin_start plugin_stop plugin_validate "
  [ "$exports" = "$want" ] || { echo "libtelvo exports: $exports"; missing=1; }
fi
# Installed units and policies are complete (no template markers left).
if grep -rl '@[A-Z_]*@' "$root/lib/systemd" "$root/share/dbus-1" "$root/lib/sysusers.d"; then
  echo "unsubstituted template markers"; missing=1
fi
# The bus accepts the policy files.
for f in "$root"/share/dbus-1/system.d/*.conf; do
  xmllint_ok=1
  command -v xmllint >/dev/null && { xmllint --noout "$f" || xmllint_ok=0; }
  [ $xmllint_ok = 1 ] || missing=1
done
[ $missing = 0 ] && echo "install tree complete"
exit $missing
