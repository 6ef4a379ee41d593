#!/usr/bin/python3
"""The Linux build started the way systemd starts a Type=notify service, without systemd.

Usage: systemd_notify_test.py PATH/TO/tarnwick [unittest arguments]

The test owns the notify socket (an abstract AF_UNIX datagram socket named in NOTIFY_SOCKET),
runs a copy of the executable in a scratch directory (its settings and log live beside it), and
plays the service manager: waits for READY=1, sends SIGTERM, expects STOPPING=1 and a clean end.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
import tci_server  # noqa: E402
from tarnwick_process import free_port, udp_port_bound  # noqa: E402

EXE = None

SETTINGS = """<Tarnwick>
    <Debug>5</Debug>
    <N1MMSpotPort>{spot_port}</N1MMSpotPort>
    <TCIHost>127.0.0.1</TCIHost>
    <TCIPort>{tci_port}</TCIPort>
    <SpectrumDisplayEnabled>false</SpectrumDisplayEnabled>
</Tarnwick>
"""


class NotifySocket:
    def __init__(self):
        self.name = "tarnwick-notify-%d-%d" % (os.getpid(), time.monotonic_ns())
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("\0" + self.name)
        self.messages = []

    def close(self):
        self.sock.close()

    def wait_for(self, line, timeout):
        """The first message holding this line (or a line starting with it, when it ends in
        "*"), reading new messages for at most timeout seconds."""
        def matches(message):
            for got in message.split("\n"):
                if got == line or (line.endswith("*") and got.startswith(line[:-1])):
                    return True
            return False

        deadline = time.monotonic() + timeout
        while True:
            for message in self.messages:
                if matches(message):
                    return message
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            self.sock.settimeout(remaining)
            try:
                self.messages.append(self.sock.recv(4096).decode("utf-8", "replace"))
            except socket.timeout:
                return None


class NotifyService(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarnwick-notify-")
        self.exe = os.path.join(self.dir, "tarnwick")
        shutil.copy(EXE, self.exe)
        self.spot_port = free_port(socket.SOCK_DGRAM)
        with open(os.path.join(self.dir, "Tarnwick.xml"), "w") as f:
            f.write(SETTINGS.format(spot_port=self.spot_port,
                                    tci_port=free_port(socket.SOCK_STREAM)))
        self.notify = NotifySocket()
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.notify.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, tci_port=None):
        if tci_port is not None:
            with open(os.path.join(self.dir, "Tarnwick.xml"), "w") as f:
                f.write(SETTINGS.format(spot_port=self.spot_port, tci_port=tci_port))
        env = dict(os.environ, NOTIFY_SOCKET="@" + self.notify.name)
        self.output = open(os.path.join(self.dir, "output.txt"), "w+")
        self.addCleanup(self.output.close)
        self.process = subprocess.Popen([self.exe], cwd=self.dir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT)

    def console_output(self):
        self.output.flush()
        with open(self.output.name, errors="replace") as f:
            return f.read()

    def log_text(self):
        try:
            with open(os.path.join(self.dir, "Tarnwick.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text, timeout=15):
        deadline = time.monotonic() + timeout
        while text not in self.log_text():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.1)
        return True

    def test_ready_then_stopping_on_sigterm(self):
        sdr = tci_server.TciServer(stream_iq=False, ping_interval=None).start()
        self.addCleanup(sdr.close)
        self.start(tci_port=sdr.port)
        self.assertIsNotNone(self.notify.wait_for("READY=1", 15), self.console_output())
        self.assertTrue(self.wait_for_log("Start main program loop."), self.log_text())
        self.assertTrue(udp_port_bound(self.spot_port))
        self.assertNotIn("Running in interactive mode", self.console_output())

        # Only the service manager stops the service: a text from the SDR cannot.
        self.assertTrue(sdr.wait_connected(1, 15), "the service never connected to the SDR")
        sdr.send("QUIT!;")
        self.assertTrue(self.wait_for_log("<:SDR:QUIT! = "), self.log_text())
        time.sleep(0.5)
        self.assertIsNone(self.process.poll(), "a message from the SDR ended the service")
        self.assertNotIn("Exiting ...", self.log_text())
        self.assertFalse(any("STOPPING=1" in m for m in self.notify.messages))

        self.process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(self.notify.wait_for("STOPPING=1", 15), self.notify.messages)
        self.assertIsNotNone(self.notify.wait_for("STATUS=Stopped", 15), self.notify.messages)
        self.assertEqual(self.process.wait(15), 0, self.console_output())

        log = self.log_text()
        for line in ("Service is Stopping", "Exiting ...", "Closing UDP Server socket",
                     "Signalling service stopped"):
            self.assertIn(line, log)
        self.assertLess(log.index("Exiting ..."), log.index("Signalling service stopped"))
        states = [m for m in self.notify.messages if "STATUS=" in m]
        self.assertEqual([m.split("STATUS=")[1] for m in states],
                         ["Starting", "Running", "Stopping", "Stopped"])
        self.assertFalse(udp_port_bound(self.spot_port))

    def test_worker_that_cannot_start_ends_the_service(self):
        # The spot port is taken: the service must not report itself running while doing nothing.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", self.spot_port))
            self.start()
            stopped = self.notify.wait_for("STATUS=Stopped*", 15)
            self.assertIsNotNone(stopped, self.notify.messages)
            self.assertIn("after a failure", stopped)
            self.process.wait(15)
            self.assertIn("Bind failed with error code :", self.log_text())

if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    EXE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
