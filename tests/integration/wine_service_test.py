#!/usr/bin/python3
"""The Windows build as a real service under Wine's own service control manager.

Usage: wine_service_test.py PATH/TO/tarnwick.exe [unittest arguments]

Each class gets a fresh Wine prefix and ends with `wineserver -k`: a deleted service lingers as
marked for deletion until the Wine server exits. The server is kept persistent for the whole
class, because Wine's service manager starts every automatic service when it starts itself, and
a restart between the install and `net start` would start the service twice. The prefix is booted
by wine-run.sh --boot, as the shared one of the other Windows tests is: its own server, and Wine's
services settled before the first test, so that no start of Tarnwick races theirs.
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
from tarnwick_process import free_port, udp_port_bound  # noqa: E402

EXE = None
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                        "wine-run.sh")

SETTINGS = """<Tarnwick>
    <Debug>5</Debug>
    <N1MMSpotPort>{spot_port}</N1MMSpotPort>
    <TCIHost>127.0.0.1</TCIHost>
    <TCIPort>{tci_port}</TCIPort>
    <SpectrumDisplayEnabled>false</SpectrumDisplayEnabled>
</Tarnwick>
"""

DESCRIPTION = ("Shows the spots of N1MM+'s band map on ExpertSDR's panorama (TCI) and the SDR's "
               "spectrum in N1MM+. Settings and log: Tarnwick.xml and Tarnwick.log beside "
               "tarnwick.exe.")
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\Tarnwick"
EVENT_SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\Tarnwick"


class Wine:
    def __init__(self, root):
        self.prefix = os.path.join(root, "prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.wine = "wine"
        if os.access("/usr/lib/wine/wine64", os.X_OK):
            self.wine = "/usr/lib/wine/wine64"
            self.env["WINELOADER"] = self.wine

    def boot(self):
        # Brings the service manager up while no Tarnwick service exists yet.
        subprocess.run([WINE_RUN, self.prefix, "--boot"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, timeout=400, check=True)

    def kill(self):
        self.server("-k", timeout=60)

    def server(self, option, timeout):
        subprocess.run(["wineserver", option], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout,
                       check=False)

    def run(self, *args, timeout=120):
        # Output goes through files, not pipes: the service manager and the other background
        # processes that Wine starts inherit them, and a pipe would never reach its end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run([self.wine, *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(
                args, code, out.read().decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace"))

    def tool(self, *args, timeout=120):
        return self.run(*args, timeout=timeout)

    def windows_path(self, path):
        return self.tool("winepath", "-w", path).stdout.strip()

    def service_state(self):
        """(state, win32 exit code, service exit code) from `sc query`, or None."""
        out = self.tool("sc", "query", "Tarnwick").stdout
        state = re.search(r"STATE\s*:\s*(\d+)", out)
        win32 = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", out)
        specific = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", out)
        if not state:
            return None
        return (int(state.group(1)), int(win32.group(1)) if win32 else None,
                int(specific.group(1)) if specific else None)

    def registry_value(self, key, name):
        out = self.tool("reg", "query", key, "/v", name).stdout
        match = re.search(r"^\s*" + re.escape(name) + r"\s+REG_\w+\s+(.*?)\s*$", out, re.M)
        return match.group(1) if match else None


def wait_for(predicate, timeout, step=0.5):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class ServiceFixture(unittest.TestCase):
    """A fresh prefix with the executable in a directory whose name holds a blank."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tarnwick-wine-")
        cls.wine = Wine(cls.root)
        # tearDownClass does not run when this fails: nothing may be left behind.
        try:
            cls.wine.boot()
            cls.exe_dir = os.path.join(cls.root, "Tarnwick Service")
            os.mkdir(cls.exe_dir)
            cls.exe = os.path.join(cls.exe_dir, "tarnwick.exe")
            shutil.copy(EXE, cls.exe)
            cls.spot_port = free_port(socket.SOCK_DGRAM)
            with open(os.path.join(cls.exe_dir, "Tarnwick.xml"), "w") as f:
                f.write(SETTINGS.format(spot_port=cls.spot_port,
                                        tci_port=free_port(socket.SOCK_STREAM)))
            cls.prepare()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        cls.wine.kill()
        shutil.rmtree(cls.root, ignore_errors=True)

    def tarnwick(self, *args):
        return self.wine.run(self.exe, *args)

    def log_text(self):
        try:
            with open(os.path.join(self.exe_dir, "Tarnwick.log"), encoding="utf-8",
                      errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text, timeout=60, after=0):
        return wait_for(lambda: text in self.log_text()[after:], timeout)

    def wait_for_state(self, state, timeout=60):
        return wait_for(lambda: (s := self.wine.service_state()) and s[0] == state and s, timeout)


class InstalledService(ServiceFixture):
    @classmethod
    def prepare(cls):
        cls.install = cls.wine.run(cls.exe, "--install")

    def test_1_install_registers_a_quoted_path_and_the_event_source(self):
        out = self.install.stdout
        self.assertEqual(self.install.returncode, 0, out + self.install.stderr)
        self.assertIn("Trying to install Tarnwick as a service.", out)
        self.assertIn("Tarnwick is installed.", out)
        self.assertNotIn("Failed to register eventlog source.", self.install.stderr)
        windows_exe = self.wine.windows_path(self.exe)
        self.assertIn(" ", windows_exe)
        self.assertEqual(self.wine.registry_value(SERVICE_KEY, "ImagePath"),
                         '"' + windows_exe + '"')
        self.assertEqual(self.wine.registry_value(SERVICE_KEY, "DisplayName"),
                         "Tarnwick for N1MM+ and ExpertSDR")
        self.assertEqual(self.wine.registry_value(SERVICE_KEY, "Start"), "0x2")
        self.assertEqual(self.wine.registry_value(SERVICE_KEY, "Type"), "0x10")
        self.assertEqual(self.wine.registry_value(SERVICE_KEY, "ObjectName"), r".\LocalSystem")
        self.assertEqual(self.wine.registry_value(SERVICE_KEY, "Description"), DESCRIPTION)
        self.assertEqual(self.wine.registry_value(EVENT_SOURCE_KEY, "EventMessageFile"),
                         windows_exe)
        self.assertEqual(self.wine.service_state()[0], 1)
        # Wine takes the restart actions without keeping them and refuses their flag (error
        # 124): one warning line, and the install stands.
        self.assertEqual([line for line in out.splitlines() if "Warning" in line],
                         ["Warning: a stop with an error code will not count as a failure "
                          "(ChangeServiceConfig2 failed w/err 0x0000007c)"], out)

    def test_2_second_install_is_refused(self):
        again = self.tarnwick("--install")
        self.assertIn("CreateService failed w/err 0x00000431", again.stdout)
        self.assertNotIn("is installed.", again.stdout)
        self.assertEqual(again.returncode, 0, again.stderr)

    def test_3_starts_through_the_service_manager(self):
        started = self.wine.tool("net", "start", "Tarnwick")
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.assertTrue(self.wait_for_state(4), self.wine.service_state())
        self.assertTrue(self.wait_for_log("Bind to UDP port for N1MM spots: %d" % self.spot_port),
                        self.log_text())
        self.assertTrue(self.wait_for_log("Start main program loop."), self.log_text())
        self.assertTrue(udp_port_bound(self.spot_port))
        self.assertNotIn("Bind failed", self.log_text())

    def test_4_stops_through_the_service_manager(self):
        before = len(self.log_text())
        stopped = self.wine.tool("net", "stop", "Tarnwick")
        self.assertEqual(stopped.returncode, 0, stopped.stdout + stopped.stderr)
        state = self.wait_for_state(1)
        self.assertTrue(state, self.wine.service_state())
        self.assertEqual(state[1], 0)
        log = self.log_text()[before:]
        self.assertIn("Service is Stopping", log)
        self.assertIn("Exiting ...", log)
        self.assertIn("Signalling service stopped", log)
        self.assertTrue(wait_for(lambda: not udp_port_bound(self.spot_port), 10))

    def test_5_a_worker_that_cannot_start_stops_the_service(self):
        # The spot port is taken: the bridge cannot work, so the service must not stay running.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", self.spot_port))
            before = len(self.log_text())
            self.wine.tool("net", "start", "Tarnwick")
            state = wait_for(lambda: (s := self.wine.service_state()) and s[:2] == (1, 1066) and s,
                             60)
            # ERROR_SERVICE_SPECIFIC_ERROR, with the bridge's own code beside it.
            self.assertTrue(state, self.wine.service_state())
            self.assertNotEqual(state[2], 0)
            self.assertIn("Bind failed with error code :", self.log_text()[before:])
            # The file says why at every Debug level; the event log has the service's entry.
            self.assertIn("ERROR [", next(r for r in self.log_text()[before:].splitlines()
                                           if "Tarnwick stopped: the spot port" in r))

    def test_5a_a_start_beside_a_running_console_copy_fails(self):
        # The console copy owns the folder's spot files: the service must not share them.
        before = len(self.log_text())
        with tempfile.TemporaryFile() as out:
            console = subprocess.Popen([self.wine.wine, self.exe], cwd=self.exe_dir,
                                       env=self.wine.env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=out)
            try:
                self.assertTrue(self.wait_for_log("Start main program loop.", after=before))
                self.wine.tool("net", "start", "Tarnwick")
                state = wait_for(lambda: (s := self.wine.service_state()) and s[:2] == (1, 1066)
                                 and s, 60)
                self.assertTrue(state, self.wine.service_state())
                self.assertTrue(self.wait_for_log("Tarnwick stopped: another Tarnwick is running "
                                                  "in this folder", after=before))
                self.assertTrue(console.poll() is None, "the console copy did not keep running")
            finally:
                console.kill()
                console.wait(60)

    def test_6_remove_stops_a_running_service_first(self):
        started = self.wine.tool("net", "start", "Tarnwick")
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.assertTrue(self.wait_for_state(4))
        self.assertTrue(self.wait_for_log("Start main program loop.", after=0))
        before = len(self.log_text())
        removed = self.tarnwick("--remove")
        out = removed.stdout
        self.assertEqual(removed.returncode, 0, out + removed.stderr)
        self.assertIn("Trying to remove Tarnwick service.", out)
        self.assertRegex(out, r"Stopping Tarnwick\.\.*\r?\nTarnwick is stopped\.")
        self.assertIn("Tarnwick is removed.", out)
        self.assertIn("Signalling service stopped", self.log_text()[before:])
        self.assertIsNone(self.wine.registry_value(EVENT_SOURCE_KEY, "EventMessageFile"))


class NotInstalled(ServiceFixture):
    def test_remove_without_a_service_fails_to_open_it(self):
        removed = self.tarnwick("--remove")
        self.assertIn("Trying to remove Tarnwick service.", removed.stdout)
        self.assertIn("OpenService failed w/err 0x00000424", removed.stdout)
        self.assertNotIn("is removed.", removed.stdout)
        self.assertEqual(removed.returncode, 0, removed.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    EXE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
