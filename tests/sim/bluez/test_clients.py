#!/usr/bin/python3
"""BlueZ clients nobody here wrote, run against bluez-sim on a private bus:
bleak's passive scanner, BlueZ's example-adv-monitor and
example-advertisement, and bluetoothctl. Each case checks what the client
itself reports (its callbacks, its printed output).

The Debian packages come from scripts/install-deps.sh; without them the
suite is skipped (exit 77) and says which is missing."""

import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

EXAMPLES = "/usr/share/doc/bluez-test-scripts/examples"
SIM = "com.vemo.Sim.BlueZ"
SIM_PATH = "/com/vemo/Sim/BlueZ"
SIM_IFACE = "com.vemo.Sim.BlueZ1"
PYTHON = "/usr/bin/python3"
SCALE = float(os.environ.get("TEST_TIMEOUT_SCALE", "1"))

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir={dir}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
"""

BLEAK_SCANNER = r"""
import asyncio, sys
from bleak import BleakScanner
from bleak.backends.bluezdbus.advertisement_monitor import OrPattern
from bleak.assigned_numbers import AdvertisementDataType

async def main(adapter, pattern, seconds):
    def found(device, adv):
        print("ADV", device.address,
              ",".join("%04x=%s" % (k, v.hex()) for k, v in sorted(adv.manufacturer_data.items())),
              ",".join(adv.service_uuids), flush=True)
    scanner = BleakScanner(found, scanning_mode="passive", adapter=adapter,
                           bluez={"or_patterns": [OrPattern(0, AdvertisementDataType.MANUFACTURER_SPECIFIC_DATA,
                                                            bytes.fromhex(pattern))]})
    await scanner.start()
    print("STARTED", flush=True)
    await asyncio.sleep(float(seconds))
    await scanner.stop()
    print("STOPPED", flush=True)

asyncio.run(main(*sys.argv[1:]))
"""


def missing_clients():
    missing = []
    if shutil.which("bluetoothctl") is None:
        missing.append("bluez (bluetoothctl)")
    for script in ("example-adv-monitor", "example-advertisement"):
        if not os.path.exists(os.path.join(EXAMPLES, script)):
            missing.append("bluez-test-scripts (%s)" % script)
    if subprocess.run([PYTHON, "-c", "import bleak, dbus, gi"], capture_output=True).returncode != 0:
        missing.append("python3-bleak, python3-dbus or python3-gi")
    if shutil.which("dbus-daemon") is None or shutil.which("gdbus") is None:
        missing.append("dbus-daemon or gdbus")
    return missing


def wait_for(condition, timeout, step=0.05):
    deadline = time.monotonic() + timeout * SCALE
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return condition()
        time.sleep(step)


class Output:
    """Collects a child's output on a thread so the test can wait on it."""

    def __init__(self, stream, decode_fd=None):
        self.text = ""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._pump, args=(stream, decode_fd), daemon=True)
        self.thread.start()

    def _pump(self, stream, fd):
        while True:
            try:
                chunk = os.read(fd, 65536) if fd is not None else stream.read1(65536)
            except OSError:
                break
            if not chunk:
                break
            with self.lock:
                self.text += re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|[\x01\x02\r]", "", chunk.decode(errors="replace"))

    def get(self):
        with self.lock:
            return self.text

    def wait(self, pattern, timeout=5, count=1):
        ok = wait_for(lambda: len(re.findall(pattern, self.get(), re.M)) >= count, timeout)
        if not ok:
            raise AssertionError("no %d x %r within %ss in:\n%s" % (count, pattern, timeout, self.get()))
        return re.findall(pattern, self.get(), re.M)


class Bluetoothctl:
    """bluetoothctl prints nothing without a terminal: it runs on a pty."""

    def __init__(self, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execvpe("bluetoothctl", ["bluetoothctl"], env)
        self.out = Output(None, self.fd)
        self.out.wait(r"\[bluetooth\]#")

    def run(self, command, expect=None, timeout=5):
        """Sends @command; waits for @expect (a regex) in what follows it."""
        start = len(self.out.get())
        os.write(self.fd, (command + "\n").encode())
        if expect is None:
            time.sleep(0.3)
            return self.out.get()[start:]
        ok = wait_for(lambda: re.search(expect, self.out.get()[start:], re.M) is not None, timeout)
        text = self.out.get()[start:]
        if not ok:
            raise AssertionError("bluetoothctl %r: no %r in:\n%s" % (command, expect, text))
        return text

    def close(self):
        try:
            os.write(self.fd, b"quit\n")
        except OSError:
            pass
        if not wait_for(lambda: os.waitpid(self.pid, os.WNOHANG)[0] != 0, 5):
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


class ClientsAgainstBluezSim(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="bluez-clients-")
        config = os.path.join(self.dir.name, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(dir=self.dir.name))
        self.bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                                     "--print-address"], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
        address = self.bus.stdout.readline().decode().strip()
        self.assertTrue(address, "dbus-daemon gave no address")
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address, G_MESSAGES_DEBUG="", NO_COLOR="1")
        self.sim = None
        self.children = []

    def tearDown(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
            child.wait()
            child.stdout.close()
            child.stderr.close()
        if self.sim is not None:
            self.sim.send_signal(signal.SIGTERM)
            self.assertEqual(self.sim.wait(10), 0)
            self.sim_log.thread.join(5)
            self.sim.stdout.close()
            log = self.sim_log.get()
            self.assertNotIn("CRITICAL", log, log)
            self.assertNotIn("WARNING", log, log)
        self.bus.terminate()
        self.bus.wait()
        self.bus.stdout.close()
        self.dir.cleanup()

    def start_sim(self, *args):
        self.sim = subprocess.Popen([os.environ["BLUEZ_SIM_BIN"], *args], env=self.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
        self.sim_log = Output(self.sim.stdout)
        self.assertTrue(wait_for(lambda: self.has_owner("org.bluez") and self.has_owner(SIM), 5), self.sim_log.get())

    def gdbus(self, *args):
        result = subprocess.run(["gdbus", "call", "--system", *args], env=self.env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def has_owner(self, name):
        result = subprocess.run(["gdbus", "call", "--system", "-d", "org.freedesktop.DBus", "-o",
                                 "/org/freedesktop/DBus", "-m", "org.freedesktop.DBus.NameHasOwner", name],
                                env=self.env, capture_output=True, text=True)
        return result.stdout.strip() == "(true,)"

    def control(self, method, *args):
        return self.gdbus("-d", SIM, "-o", SIM_PATH, "-m", SIM_IFACE + "." + method, *args)

    def inject_raw(self, adapter, address, data, scan_response=b"", rssi=-50):
        def ay(b):
            return "[" + ",".join("byte %d" % x for x in b) + "]" if b else "@ay []"
        self.control("InjectAdvertisingData", adapter, address, ay(data), ay(scan_response), "--", str(rssi))

    def spawn(self, *argv):
        """Runs a client; its stdout is what it reports. Its stderr (warnings,
        the tracebacks of threads) is kept apart so it cannot split a line."""
        child = subprocess.Popen(list(argv), env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.children.append(child)
        child.errors = Output(child.stderr)
        return child, Output(child.stdout)

    def adapter_address(self, adapter):
        reply = self.gdbus("-d", "org.bluez", "-o", "/org/bluez/" + adapter, "-m", "org.freedesktop.DBus.Properties.Get",
                           "org.bluez.Adapter1", "Address")
        return re.search(r"'([0-9A-F:]{17})'", reply).group(1)

    # ---- the cases -------------------------------------------------------------

    def test_bleak_passive_scanner_gets_matching_advertisements_only(self):
        self.start_sim("--adapter", "hci0")
        child, out = self.spawn(PYTHON, "-c", BLEAK_SCANNER, "hci0", "ffff01", str(4 * SCALE))
        out.wait("^STARTED", 10)
        self.assertTrue(wait_for(lambda: "true)" in self.control("ListMonitors"), 5), self.control("ListMonitors"))
        self.control("InjectAdvertisement", "hci0", "C0:00:00:00:00:01", "0xffff", "[byte 1, 7, 7]", "--", "-55")
        self.control("InjectAdvertisement", "hci0", "C0:00:00:00:00:02", "0xffff", "[byte 2, 7, 7]", "--", "-55")
        self.control("InjectAdvertisement", "hci0", "C0:00:00:00:00:03", "0x004c", "[byte 1, 7, 7]", "--", "-55")
        # Raw data: the monitor sees AD structures, not just manufacturer data.
        self.inject_raw("hci0", "C0:00:00:00:00:04",
                        bytes([3, 0x03, 0x0d, 0x18, 6, 0xff, 0xff, 0xff, 0x01, 0x42, 0x43]))
        out.wait("^STOPPED", 15)
        self.assertEqual(child.wait(10), 0, out.get())
        adv = [line for line in out.get().splitlines() if line.startswith("ADV ")]
        self.assertIn("ADV C0:00:00:00:00:01 ffff=010707 ", adv)
        self.assertIn("ADV C0:00:00:00:00:04 ffff=014243 0000180d-0000-1000-8000-00805f9b34fb", adv)
        for address in ("C0:00:00:00:00:02", "C0:00:00:00:00:03"):
            self.assertFalse([line for line in adv if address in line], out.get())
        child.errors.thread.join(5)
        self.assertNotIn("Traceback", child.errors.get())
        self.assertEqual(self.control("ListMonitors"), "(@a(sosb) [],)")

    def test_example_adv_monitor_sees_releases_activations_and_rssi_filtering(self):
        self.start_sim("--adapter", "hci0")
        child, out = self.spawn(PYTHON, "-u", os.path.join(EXAMPLES, "example-adv-monitor"))
        app = "/org/bluez/example/adv_monitor_app0"
        # monitor0 has an unknown type, monitor2 a high threshold below the low one.
        out.wait("^%s/monitor0: Monitor Released" % app)
        out.wait("^%s: RegisterMonitor successful" % app)
        out.wait("^%s/monitor1: Monitor Activated" % app)
        out.wait("^%s/monitor2: Monitor Released" % app)
        out.wait("^%s/monitor3: Monitor Activated" % app)
        self.assertNotIn("monitor0: Monitor Activated", out.get())
        self.assertNotIn("monitor2: Monitor Activated", out.get())

        # HID service UUID, mouse appearance, '_' as 6th character of the name.
        data = bytes([3, 0x03, 0x12, 0x18, 3, 0x19, 0xc2, 0x03, 7, 0x09]) + b"mouse_"
        device = "/org/bluez/hci0/dev_C0_00_00_00_00_09"
        found1 = r"^%s/monitor1: %s Device Found" % (app, device)
        found3 = r"^%s/monitor3: %s Device Found" % (app, device)
        sent = 0
        # monitor3 wants RSSI above -50 dBm for 1 s before it reports.
        deadline = time.monotonic() + 10 * SCALE
        while not re.search(found3, out.get(), re.M) and time.monotonic() < deadline:
            self.inject_raw("hci0", "C0:00:00:00:00:09", data, rssi=-40)
            sent += 1
            time.sleep(0.2)
        out.wait(found3)
        self.assertGreaterEqual(sent, 2, "the first advertisement only starts the high timeout")
        # Without RSSI fields monitor1 hears every advertisement.
        out.wait(found1, count=sent)
        self.assertEqual(len(re.findall(found3, out.get(), re.M)), 1, out.get())
        # Silent for monitor3's low timeout: lost.
        out.wait(r"^%s/monitor3: %s Device Lost" % (app, device), 5)
        self.assertNotIn("monitor1: %s Device Lost" % device, out.get())

    def test_example_advertisement_is_heard_on_the_other_adapter(self):
        self.start_sim("--adapter", "hci0:nomonitor", "--adapter", "hci1:noadvertising")
        sender = self.adapter_address("hci0")
        scanner, scan = self.spawn(PYTHON, "-c", BLEAK_SCANNER, "hci1", "ffff0001", str(4 * SCALE))
        scan.wait("^STARTED", 10)
        child, out = self.spawn(PYTHON, "-u", os.path.join(EXAMPLES, "example-advertisement"), "--timeout", "2")
        # Local name, UUIDs, service data, manufacturer data, Data and TX power
        # fit as bluetoothd lays them out (name in the scan response).
        out.wait("^Advertisement registered")
        scan.wait("^ADV %s ffff=00010203 0000180d-0000-1000-8000-00805f9b34fb,0000180f-0000-1000-8000-00805f9b34fb"
                  % sender, 5)
        out.wait("^Advertisement unregistered", 10)
        self.assertEqual(child.wait(10), 0, out.get())
        scan.wait("^STOPPED", 10)

        # What bluetoothctl shows of that device on the receiving adapter.
        ctl = Bluetoothctl(self.env)
        try:
            ctl.run("select " + self.adapter_address("hci1"), r"\[default\]")
            info = ctl.run("info " + sender, r"RSSI: -40")
            self.assertRegex(info, r"UUID: Heart Rate\s+\(0000180d-0000-1000-8000-00805f9b34fb\)")
            self.assertRegex(info, r"UUID: Battery Service\s+\(0000180f-0000-1000-8000-00805f9b34fb\)")
            self.assertRegex(info, r"ServiceData Key: 00009999-0000-1000-8000-00805f9b34fb\n\s*ServiceData Value:\n"
                                   r"\s*00 01 02 03 04")
            self.assertRegex(info, r"ManufacturerData Key: 0xffff\n\s*ManufacturerData Value:\n\s*00 01 02 03")
            self.assertRegex(info, r"TxPower: 0")
            # A passive scan gets no scan response: no name yet.
            self.assertNotRegex(info, r"Name: TestAdvertisement")
        finally:
            ctl.close()

    def test_bluetoothctl_controllers_menus_devices_and_info(self):
        self.start_sim("--adapter", "hci0", "--adapter", "hci1")
        first, second = self.adapter_address("hci0"), self.adapter_address("hci1")
        ctl = Bluetoothctl(self.env)
        try:
            listing = ctl.run("list", r"Controller %s bluez-sim $" % re.escape(second))
            self.assertRegex(listing, r"Controller %s bluez-sim \[default\]" % re.escape(first))
            shown = ctl.run("show " + second, r"SupportedMonitorTypes: or_patterns")
            self.assertRegex(shown, r"Controller %s \(public\)" % re.escape(second))
            self.assertRegex(shown, r"Powered: yes")
            self.assertRegex(shown, r"SupportedInstances: 0x04 \(4\)")
            self.assertRegex(shown, r"SupportedIncludes: local-name")
            self.assertRegex(shown, r"SupportedCapabilities Key: MaxAdvLen\n\s*SupportedCapabilities Value: 0x1f \(31\)")

            # Advertise from hci1 through the advertise menu.
            ctl.run("select " + second, r"Controller %s bluez-sim \[default\]" % re.escape(second))
            ctl.run("menu advertise", r"Menu advertise")
            ctl.run("uuids 180D")
            ctl.run("manufacturer 0xffff 0x01 0x02")
            ctl.run("name bluez-clients")
            ctl.run("back", r"Menu main")
            ctl.run("advertise on", r"Advertising object registered")
            self.assertRegex(self.control("ListAdvertisements"), r"/org/bluez/advertising', 'hci1'")

            # Monitor on hci0 through the monitor menu: it hears hci1.
            ctl.run("select " + first, r"Controller %s bluez-sim \[default\]" % re.escape(first))
            ctl.run("menu monitor", r"Menu monitor")
            ctl.run("add-or-pattern 0 255 ffff0102", r"Advertisement monitor 0 activated")
            ctl.run("back", r"Menu main")
            # bluetoothctl registers its monitors with the default adapter of its start.
            ctl.out.wait(r"Advertisement monitor 0 found device /org/bluez/hci0/dev_%s" % second.replace(":", "_"), 5)
            ctl.run("select " + second, r"Controller %s bluez-sim \[default\]" % re.escape(second))
            ctl.run("advertise off", r"Advertising object unregistered")
            self.assertEqual(self.control("ListAdvertisements"), "(@a(sos) [],)")
            ctl.run("select " + first, r"Controller %s bluez-sim \[default\]" % re.escape(first))

            # An active scan also gets the scan response (the name).
            ctl.run("menu scan", r"Menu scan")
            ctl.run("transport le")
            ctl.run("back", r"Menu main")
            ctl.run("scan on", r"Discovery started")
            self.inject_raw("hci0", "C0:00:00:00:00:05", bytes([3, 0x03, 0x0f, 0x18, 3, 0x19, 0x40, 0x03]),
                            bytes([6, 0x09]) + b"tempo")
            # The device's [NEW] notice first, so that what follows "devices"
            # is its listing alone; the listing names both devices.
            ctl.out.wait(r"Device C0:00:00:00:00:05 tempo")
            ctl.run("devices", r"(?s)(?=.*Device C0:00:00:00:00:05 tempo)(?=.*Device %s )" % re.escape(second))
            info = ctl.run("info C0:00:00:00:00:05", r"RSSI: -50")
            self.assertRegex(info, r"Device C0:00:00:00:00:05 \(random\)")
            self.assertRegex(info, r"Name: tempo")
            self.assertRegex(info, r"Appearance: 0x0340")
            self.assertRegex(info, r"UUID: Battery Service\s+\(0000180f-0000-1000-8000-00805f9b34fb\)")
            ctl.run("scan off", r"Discovery stopped")
        finally:
            ctl.close()


if __name__ == "__main__":
    missing = missing_clients()
    if missing:
        print("SKIP: missing %s; scripts/install-deps.sh installs them" % ", ".join(missing))
        sys.exit(77)
    unittest.main(verbosity=2)
