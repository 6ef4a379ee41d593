"""Runs the real Tarnwick executable in a directory of its own.

Tarnwick reads Tarnwick.xml and appends Tarnwick.log beside its executable,
so every run copies the executable (and any DLLs next to it, for the Windows
build) into a fresh directory, writes the settings file there and starts it
from that copy, optionally under an emulator such as Wine.
"""

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from xml.sax.saxutils import escape, quoteattr

DEFAULT_SETTINGS = {
    "Debug": 0,
    "N1MMSpotPort": 12062,
    "TCIHost": "127.0.0.1",
    "TCIPort": "40001",
    "SpotBusyColour": 0xFF4D4D4D,
    "SpotBustColour": 0xFF4D4D4D,
    "SpotCQColour": 0xFF51A8FF,
    "SpotDupeColour": 0xFF4D4D4D,
    "SpotSingleMultColour": 0xFFFF0000,
    "SpotDoubleMultColour": 0xFF0D9D0D,
    "SpotNewQSOColour": 0xFF51A8FF,
    "SpotLifeTime": 7200,
    "SpectrumDisplayEnabled": False,
    "SpectrumDisplayHost": "127.0.0.1",
    "SpectrumDisplayPort": "13064",
    "SpectrumReceiverNumber": 0,
    "SpectrumSampleSize": 512,
    "SpectrumSampleRate": 48000,
    "SpectrumFrequency": 3,
    "SpectrumScalingFactor": "0.3",
    "SpectrumCorrection": 40,
    "Transverters": [(1296000.0, 144000.0), (432000.0, 28000.0)],
    # Written only when given (None: absent), as the program writes them.
    "SpectrumAveraging": None,
    "TCI2Host": None,
    "TCI2Port": None,
    "SpectrumName": None,
    "Spectrum2ReceiverNumber": None,
    "Spectrum2Name": None,
    "Spectrum2RadioNr": None,
    "SpotText": None,
    "SpotHiddenStatuses": None,
    "SpotOnlyRadioBands": None,
}

_OPTIONAL = ["SpectrumAveraging", "TCI2Host", "TCI2Port", "SpectrumName",
             "Spectrum2ReceiverNumber", "Spectrum2Name", "Spectrum2RadioNr", "SpotText",
             "SpotHiddenStatuses", "SpotOnlyRadioBands"]

# Status word -> settings element of its colour. Any other status gets the new-QSO colour.
STATUS_COLOUR_SETTING = {
    "busy": "SpotBusyColour",
    "bust": "SpotBustColour",
    "cq": "SpotCQColour",
    "dupe": "SpotDupeColour",
    "single mult": "SpotSingleMultColour",
    "double mult": "SpotDoubleMultColour",
    "new qso": "SpotNewQSOColour",
}

_COLOURS = ["SpotBusyColour", "SpotBustColour", "SpotCQColour", "SpotDupeColour",
            "SpotSingleMultColour", "SpotDoubleMultColour", "SpotNewQSOColour"]


def colour_for(settings, status):
    merged = dict(DEFAULT_SETTINGS, **settings)
    return merged[STATUS_COLOUR_SETTING.get(status, "SpotNewQSOColour")]


def settings_xml(**overrides):
    """The whole Tarnwick.xml, in the element layout the program writes itself."""
    s = dict(DEFAULT_SETTINGS, **overrides)
    unknown = set(overrides) - set(DEFAULT_SETTINGS)
    if unknown:
        raise KeyError(f"unknown settings: {sorted(unknown)}")

    def elem(name, value):
        if isinstance(value, bool):
            value = "true" if value else "false"
        return f"    <{name}>{escape(str(value))}</{name}>\n"

    def comment(text):
        return f"    <!--{text}-->\n"

    def colour(value):
        return f"0x{value & 0xFFFFFFFFFFFFFFFF:x}"

    banner = "\n\t".join([
        "***************************************",
        "*    Configuration file for Tarnwick   *",
        "*                                     *",
        "* !!minimal validation is performed!! *",
        "*                                     *",
        "***************************************"])
    out = ["<Tarnwick>\n",
           comment(banner),
           comment(" Level of debugging 0=None, 6=All "),
           elem("Debug", s["Debug"]),
           comment(" UDP Port configured in N1MM+ for Spot Broadcasts, default 12063 "),
           elem("N1MMSpotPort", s["N1MMSpotPort"]),
           comment(" Host that ExpertSDR is running on, default 127.0.0.1 "),
           elem("TCIHost", s["TCIHost"]),
           comment(" TCP Port that the ExpertSDR TCI server is listening on, default 40001 "),
           elem("TCIPort", s["TCIPort"]),
           comment(" Colours in ARGB format for each type of spot ")]
    out += [elem(name, colour(s[name])) for name in _COLOURS]
    out += [comment(" Maximum life of a spot before it is deleted (seconds) default 7200 "
                    "(2 hours) "),
            elem("SpotLifeTime", s["SpotLifeTime"]),
            comment(" Enable/Disable N1MM+ Spectrum Display "),
            elem("SpectrumDisplayEnabled", s["SpectrumDisplayEnabled"]),
            comment(" Host to send Spectrum Display data to, default 127.0.0.1 "),
            elem("SpectrumDisplayHost", s["SpectrumDisplayHost"]),
            comment(" Port for Spectrum Display (MUST be 13064!) "),
            elem("SpectrumDisplayPort", s["SpectrumDisplayPort"]),
            elem("SpectrumReceiverNumber", s["SpectrumReceiverNumber"]),
            comment(" Number of samples to send to N1MM+ 256-512 recommended\n\t"
                    "Larger sample size can impact performance "),
            elem("SpectrumSampleSize", s["SpectrumSampleSize"]),
            comment(" Sample rate. Must be 48000, 96000 or 192000 "),
            elem("SpectrumSampleRate", s["SpectrumSampleRate"]),
            comment(" Frequency of spectrum updates (per second) N1MM+ recommend no more "
                    "than 10\n\tMore frequent updates can impact system performance "),
            elem("SpectrumFrequency", s["SpectrumFrequency"]),
            comment(" Factor for converting sample data to dB "),
            elem("SpectrumScalingFactor", s["SpectrumScalingFactor"]),
            comment(" Correction factor for display, 40 seems to work fine, higher values "
                    "will decrease level of spectrum display. "),
            elem("SpectrumCorrection", s["SpectrumCorrection"])]
    out += [elem(name, s[name]) for name in _OPTIONAL if s[name] is not None]
    if s["Transverters"]:
        out.append("    <Transverters>\n")
        for rf, ifreq in s["Transverters"]:
            out.append(f"        <Transverter rf={quoteattr(_g17(rf))} "
                       f"if={quoteattr(_g17(ifreq))} />\n")
        out.append("    </Transverters>\n")
    else:
        out.append("    <Transverters/>\n")
    out.append("</Tarnwick>\n")
    return "".join(out)


def _g17(value):
    return "%.17g" % value


def free_port(kind=socket.SOCK_DGRAM):
    """A loopback port that nobody uses right now (UDP by default)."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_port_bound(port):
    """Whether any socket on this machine is bound to UDP `port` (read from /proc)."""
    want = f":{port:04X}"
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                next(f, None)
                for line in f:
                    fields = line.split()
                    if len(fields) > 1 and fields[1].endswith(want):
                        return True
        except OSError:
            continue
    return False


def wait_for(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


class Tarnwick:
    """One run of the executable. Use start(), then interrupt() (Ctrl+C)."""

    def __init__(self, exe, settings=None, args=(), emulator=(), workdir=None, keep=False):
        self.source_exe = os.path.abspath(exe)
        self.emulator = list(emulator or ())
        self.args = list(args)
        self._own_dir = workdir is None
        self.dir = workdir or tempfile.mkdtemp(prefix="tarnwick-")
        self.keep = keep
        self.exe = os.path.join(self.dir, os.path.basename(exe))
        # An executable that is already in its directory (an unpacked download) runs in place.
        if os.path.abspath(self.exe) != self.source_exe:
            shutil.copy2(self.source_exe, self.exe)
            for dll in glob.glob(os.path.join(os.path.dirname(self.source_exe), "*.dll")):
                shutil.copy2(dll, self.dir)
        self.settings_path = os.path.join(self.dir, "Tarnwick.xml")
        self.log_path = os.path.join(self.dir, "Tarnwick.log")
        self.stdout_path = os.path.join(self.dir, "stdout.txt")
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        if settings is not None:
            with open(self.settings_path, "w", encoding="utf-8") as f:
                f.write(settings if isinstance(settings, str) else settings_xml(**settings))
        self.proc = None
        self.returncode = None
        self.started_at = None

    @property
    def under_wine(self):
        return self.exe.lower().endswith(".exe")

    def start(self):
        self._out = open(self.stdout_path, "wb")
        self._err = open(self.stderr_path, "wb")
        env = dict(os.environ)
        env.setdefault("WINEDEBUG", "-all")
        self.proc = subprocess.Popen(self.emulator + [self.exe] + self.args, cwd=self.dir,
                                     stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=self._err, env=env, start_new_session=True)
        self.started_at = time.monotonic()
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_bound(self, port, timeout=15.0):
        """Waits until the spot port is bound (or the process ended)."""
        return wait_for(lambda: udp_port_bound(port) or not self.running(), timeout) \
            and udp_port_bound(port)

    def interrupt(self, timeout=15.0):
        """Ctrl+C: SIGINT, then waits; returns the exit code, or None if it hung."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.returncode = None
        return self.returncode

    def wait_exit(self, timeout):
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.returncode

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                self.proc.kill()
            self.proc.wait(10)

    def close(self):
        self.kill()
        for f in (getattr(self, "_out", None), getattr(self, "_err", None)):
            if f is not None:
                f.close()
        if self._own_dir and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read(self, path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-8-sig", errors="replace")
        except OSError:
            return ""

    def log(self):
        return self._read(self.log_path)

    def stdout(self):
        return self._read(self.stdout_path)

    def stderr(self):
        return self._read(self.stderr_path)

    def tail(self, lines=30):
        """The end of the log and of both output streams, for failure messages."""
        parts = []
        for name, text in (("Tarnwick.log", self.log()), ("stdout", self.stdout()),
                           ("stderr", self.stderr())):
            rows = text.splitlines()[-lines:]
            parts.append(f"--- {name} (last {len(rows)} lines) ---\n" + "\n".join(rows))
        return "\n".join(parts)
