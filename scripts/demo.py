#!/usr/bin/python3
"""See Tarnwick work without a radio.

Starts, in a temporary directory, a simulated ExpertSDR (TCI server streaming
IQ of a 20 m band: CW and SSB stations plus noise around 14.074 MHz), a
simulated N1MM+ (a stream of spots and radio broadcasts; it receives the
spectrum datagrams) and the real Tarnwick executable with the spectrum display
on, pointed at both. It shows what flows between them, stops Tarnwick with
Ctrl+C after DEMO_SECONDS (default 30), writes demo/waterfall.png and
demo/summary.txt, and exits non-zero naming what failed when a spot did not
reach the SDR, no spectrum arrived, or the bridge did not stop cleanly.
"""

import argparse
import json
import os
import random
import sys
import time
import zlib
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "peers"))

import numpy as np  # noqa: E402

import n1mm  # noqa: E402
import tci_server  # noqa: E402
from tarnwick_process import Tarnwick, colour_for, free_port  # noqa: E402

DDS_HZ = 14_074_000
SAMPLE_RATE = 48_000
SPECTRUM_RATE = 5          # datagrams a second asked of the bridge
NOISE = 1e-3


@dataclass
class Station:
    call: str
    khz: float            # spot frequency (SSB: the suppressed carrier, as N1MM+ shows it)
    kind: str             # "cw", "usb", "lsb" or "" (a spot with no signal in the band)
    amplitude: float
    status: str
    comment: str
    text: str = "CQ TEST"
    wpm: float = 28.0
    signal_khz: float = 0.0   # where the signal really is, when not exactly at the spot

    @property
    def on_air_khz(self):
        return self.signal_khz or self.khz

    def signal(self):
        offset = self.on_air_khz * 1000.0 - DDS_HZ
        if self.kind == "cw":
            return tci_server.CwSignal(offset, self.amplitude, self.text, self.wpm)
        if self.kind in ("usb", "lsb"):
            return tci_server.SsbSignal(offset, self.amplitude, upper=self.kind == "usb",
                                        seed=zlib.crc32(self.call.encode()))
        return None


# The band heard by the simulated SDR and spotted by the simulated N1MM+.
# DL1ABC is by far the loudest, so the waterfall's strongest column is its frequency. It sits
# on a frequency that the 512 values of a datagram sample (every 93.75 Hz), as a spot's
# frequency only says where a station is to the nearest 100 Hz.
STATIONS = [
    Station("DL1ABC", 14058.0, "cw", 0.30, "double mult", "CW 26 WPM CQ", "CQ TEST DL1ABC", 26,
            signal_khz=14057.96875),
    Station("K3LR", 14052.4, "cw", 0.012, "single mult", "CW 32 WPM", "TEST K3LR", 32),
    Station("OH2BH", 14063.7, "cw", 0.010, "new qso", "cw 24 wpm", "OH2BH TEST", 24),
    Station("JA1ZZZ", 14067.2, "cw", 0.006, "dupe", "CW 20 WPM weak", "JA1ZZZ", 20),
    Station("9A1A", 14083.0, "usb", 0.030, "cq", "USB 59 QRZ", ""),
    Station("VK9XX", 14091.5, "usb", 0.015, "busy", "USB pileup, up 5", ""),
    Station("EA8ZZ", 14078.6, "lsb", 0.010, "bust", "LSB? odd sideband", ""),
    Station("R9ABC", 14055.5, "cw", 0.008, "qtc", "CW QTC 10/10", "QTC R9ABC", 22),
]
# Spotted but not in the passband (or not heard): they still travel to the SDR's table.
SPOT_ONLY = [
    Station("W1AW", 14025.0, "", 0, "new qso", "CW 30 WPM"),
    Station("ZL2AA", 14195.0, "", 0, "single mult", "USB"),
    Station("PY2XX", 14045.5, "", 0, "dupe", "RTTY"),
    Station("HB9ZZ", 14070.3, "", 0, "cq", "PSK31"),
    Station("G3XYZ", 14150.0, "", 0, "double mult", "USB up 10"),
    Station("SM5AAA", 14033.3, "", 0, "busy", "CW"),
    Station("UA0ZZ", 14011.1, "", 0, "new qso", "cw 35 wpm"),
    Station("VE3EJ", 14020.2, "", 0, "single mult", "CW"),
]
STATUS_WORDS = n1mm.STATUSES
STRONGEST = max(STATIONS, key=lambda s: s.amplitude)

COLOUR_NAMES = {0xFF4D4D4D: "grey", 0xFF51A8FF: "sky blue", 0xFFFF0000: "red",
                0xFF0D9D0D: "green"}


def colour_name(value):
    try:
        value = int(value)
    except ValueError:
        return value
    return COLOUR_NAMES.get(value, f"#{value & 0xFFFFFF:06x}")


# --------------------------------------------------------------------------
# The N1MM+ side's script of spots


class SpotScript:
    """Adds, replacements, deletions and radio broadcasts, spread over the run."""

    def __init__(self, seconds, seed=2024):
        self.rng = random.Random(seed)
        self.events = []      # (time, kind, station-or-freq)
        t = 0.2
        # Everything heard is spotted at once, before the SDR link is up; each status word
        # (the seven and "qtc") turns up in this first burst.
        for st in STATIONS + SPOT_ONLY[:3]:
            self.events.append((t, "add", st))
            t += 0.05
        self.events.append((t, "radio", 14058.0))
        pool = list(SPOT_ONLY[3:])
        live_extra = [s.call for s in SPOT_ONLY[:3]]
        t = 1.0
        next_radio = 5.0
        while t < seconds - 1.5:
            t += self.rng.uniform(0.3, 0.9)
            roll = self.rng.random()
            if t >= next_radio:
                self.events.append((t, "radio", self.rng.choice([14058.0, 14083.0, 14063.7])))
                next_radio += 5.0
            elif roll < 0.35 and pool:
                st = pool.pop(0)
                live_extra.append(st.call)
                self.events.append((t, "add", st))
            elif roll < 0.7:
                # A new spot for a known call: new status and comment, frequency nudged.
                st = self.rng.choice(STATIONS + SPOT_ONLY)
                moved = Station(st.call, round(st.khz + self.rng.choice([0, 0, 0.1, -0.1]), 1),
                                st.kind, st.amplitude, self.rng.choice(STATUS_WORDS),
                                st.comment)
                if moved.call not in live_extra and moved.call not in [s.call for s in STATIONS]:
                    live_extra.append(moved.call)
                self.events.append((t, "add", moved))
            elif live_extra:
                call = live_extra.pop(self.rng.randrange(len(live_extra)))
                self.events.append((t, "delete", call))
                pool.append(next(s for s in SPOT_ONLY if s.call == call))
        self.events.sort(key=lambda e: e[0])
        self.next = 0

    def due(self, elapsed):
        while self.next < len(self.events) and self.events[self.next][0] <= elapsed:
            self.next += 1
            yield self.events[self.next - 1]


class Table:
    """The spot table as N1MM+ expects the SDR to hold it."""

    def __init__(self):
        self.entries = OrderedDict()   # call -> (khz, status)

    def apply(self, kind, what):
        if kind == "add":
            self.entries.pop(what.call, None)
            self.entries[what.call] = (what.khz, what.status)
        elif kind == "delete":
            self.entries.pop(what, None)


def sdr_view(texts):
    """The spots that the SDR holds after these commands: call -> fields."""
    view = OrderedDict()
    for text in texts:
        name, args = tci_server.split_command(text)
        if name == "spot":
            fields = args.split(",", 4)
            view.pop(fields[0], None)
            view[fields[0]] = fields
        elif name == "spot_delete":
            view.pop(args, None)
    return view


# --------------------------------------------------------------------------
# Console view

BARS = " ▁▂▃▄▅▆▇█"
ASCII_BARS = " .:-=+*#%@"


def spectrum_line(values, width=64):
    if not values:
        return ""
    bars = BARS
    try:
        BARS.encode(sys.stdout.encoding or "ascii")
    except (UnicodeEncodeError, LookupError):
        bars = ASCII_BARS
    v = np.asarray(values, dtype=float)
    groups = np.array_split(v, width)
    peaks = np.array([g.max() for g in groups])
    lo, hi = float(np.median(v)), float(peaks.max())
    scale = (peaks - lo) / (hi - lo) if hi > lo else np.zeros_like(peaks)
    return "".join(bars[int(round(x * (len(bars) - 1)))] for x in np.clip(scale, 0, 1))


class Demo:
    def __init__(self, args):
        self.args = args
        self.seconds = args.seconds
        self.out = Path(args.out)
        self.tty = sys.stdout.isatty() and not args.plain
        self.failures = []
        self.notes = []
        self.table = Table()
        self.sent = {"add": 0, "delete": 0, "radio": 0}
        self.connected_after = None
        self.exit_code = "not stopped"

    # ---- running

    def run(self):
        band = tci_server.Band([s.signal() for s in STATIONS], noise=NOISE, seed=11)
        self.sdr = tci_server.TciServer(dds_hz=DDS_HZ, sample_rate=SAMPLE_RATE, band=band,
                                        ping_interval=None).start()
        spot_port = free_port()
        self.peer = n1mm.N1mm(spot_port)
        settings = {"N1MMSpotPort": spot_port, "TCIPort": str(self.sdr.port), "Debug": 4,
                    "SpectrumDisplayEnabled": True,
                    "SpectrumDisplayPort": str(self.peer.spectrum_port),
                    "SpectrumFrequency": SPECTRUM_RATE, "SpectrumSampleRate": SAMPLE_RATE}
        self.settings = settings
        self.bridge = Tarnwick(self.args.exe, settings=settings, emulator=self.args.emulator)
        script = SpotScript(self.seconds)
        try:
            self.bridge.start()
            self.t0 = time.monotonic()
            if not self.bridge.wait_bound(spot_port, 60 if self.args.emulator else 15):
                self.failures.append("the bridge did not open its spot port "
                                     f"(running={self.bridge.running()})")
                return
            self.t0 = time.monotonic()
            next_view = 0.0
            while True:
                elapsed = time.monotonic() - self.t0
                if elapsed >= self.seconds:
                    break
                for _, kind, what in script.due(elapsed):
                    self.send(kind, what)
                if self.connected_after is None and self.sdr.connection_count():
                    self.connected_after = elapsed
                if not self.bridge.running():
                    self.failures.append(f"the bridge ended by itself after {elapsed:.1f} s "
                                         f"(exit code {self.bridge.proc.returncode})")
                    break
                if elapsed >= next_view:
                    self.view(elapsed)
                    next_view += 1.0
                time.sleep(0.05)
        except KeyboardInterrupt:
            self.notes.append("stopped early with Ctrl+C")
        finally:
            self.finish()

    def send(self, kind, what):
        if kind == "add":
            self.peer.spot(what.call, what.khz, what.status, what.comment)
        elif kind == "delete":
            self.peer.delete(what)
        else:
            self.peer.radio_info(what)
        self.table.apply(kind, what)
        self.sent[kind] += 1

    def finish(self):
        time.sleep(1.0)        # let the last spots through
        self.end_elapsed = time.monotonic() - self.t0
        self.view(self.end_elapsed, final=True)
        mark = self.sdr.mark()
        self.spot_texts = [t for t in self.sdr.texts() if t.startswith("spot")]
        if self.bridge.proc is not None:
            code = self.bridge.interrupt()
            self.exit_code = code
            if code is None:
                self.failures.append("the bridge did not stop within 15 s of Ctrl+C")
            elif code != 0:
                self.failures.append(f"the bridge ended with exit code {code} after Ctrl+C")
        self.iq_stop = "iq_stop:0;" in self.sdr.texts(since=mark)
        self.packets = self.peer.snapshot()
        self.malformed = list(self.peer.malformed)
        self.frames = self.sdr.frames_sent
        self.peer.close()
        self.sdr.close()
        self.check()
        self.out.mkdir(parents=True, exist_ok=True)
        self.column_khz = None
        if self.packets:
            try:
                self.column_khz = write_waterfall(self.packets, self.out, self.t0,
                                                  self.spotted_in_span())
            except Exception as e:  # a picture that fails must not hide the summary
                self.failures.append(f"could not draw the waterfall: {e}")
        self.write_summary()
        if self.failures and self.args.keep_on_failure:
            self.bridge.keep = True
            self.notes.append(f"bridge directory kept: {self.bridge.dir}")
        self.bridge.close()

    # ---- checks and reports

    def check(self):
        if self.connected_after is None:
            self.failures.append("the bridge never connected to the simulated SDR")
        view = sdr_view(self.spot_texts)
        expected = self.table.entries
        lost, stale, extra = [], [], []
        for call, (khz, status) in expected.items():
            fields = view.get(call)
            if fields is None:
                lost.append(call)
            elif fields[2] != f"{khz * 1000:.0f}" or \
                    fields[3] != str(colour_for(self.settings, status)):
                stale.append(f"{call} (SDR has {fields[2]} Hz colour {colour_name(fields[3])}, "
                             f"N1MM+ {khz * 1000:.0f} Hz {status})")
        extra = [call for call in view if call not in expected]
        if lost:
            self.failures.append("spots that never reached the SDR: " + ", ".join(lost))
        if stale:
            self.failures.append("spots the SDR holds out of date: " + "; ".join(stale))
        if extra:
            self.failures.append("spots deleted in N1MM+ but still on the SDR: " +
                                 ", ".join(extra))
        self.lost = lost + stale + extra
        if not self.packets:
            self.failures.append("no spectrum datagram arrived at N1MM+")
        if self.malformed:
            self.failures.append(f"{len(self.malformed)} malformed spectrum datagrams")

    def spotted_in_span(self):
        low, high = self.packets[-1].low_khz, self.packets[-1].high_khz
        marks = {}
        for call, (khz, status) in self.table.entries.items():
            if low <= khz <= high:
                marks[call] = (khz, colour_for(self.settings, status))
        return marks

    def rate(self):
        if len(self.packets) < 2:
            return 0.0
        return (len(self.packets) - 1) / (self.packets[-1].t - self.packets[0].t)

    def write_summary(self):
        cmds = self.spot_texts
        adds = sum(1 for t in cmds if t.startswith("spot:"))
        deletes = len(cmds) - adds
        p = self.packets
        lines = [
            "Tarnwick demo summary",
            f"run: {self.end_elapsed:.1f} s; the bridge connected to the SDR "
            + (f"{self.connected_after:.1f} s after start" if self.connected_after is not None
               else "never"),
            f"N1MM+ -> bridge: {sum(self.sent.values())} datagrams: {self.sent['add']} spot adds, "
            f"{self.sent['delete']} deletions, {self.sent['radio']} radio broadcasts",
            f"bridge -> SDR: {adds} spot commands, {deletes} spot_delete commands; "
            f"iq_stop on Ctrl+C: {'yes' if self.iq_stop else 'no'}",
            f"spot table at the end: {len(self.table.entries)} spots in N1MM+, "
            f"{len(sdr_view(cmds))} on the SDR",
            f"SDR -> bridge: {self.frames} IQ frames of 2048 samples at {SAMPLE_RATE} Hz",
            f"bridge -> N1MM+: {len(p)} spectrum datagrams ({self.rate():.2f} a second, "
            f"asked for {SPECTRUM_RATE}), {len(self.malformed)} malformed"
            + (f", edges {p[-1].low_text}-{p[-1].high_text} kHz, {p[-1].count} values"
               if p else ""),
            f"strongest simulated signal: {STRONGEST.call} at {STRONGEST.on_air_khz:.3f} kHz"
            + (f"; strongest waterfall column at {self.column_khz:.3f} kHz"
               if self.column_khz is not None else ""),
            f"bridge stopped with Ctrl+C: exit code {self.exit_code}",
            "lost: " + (", ".join(self.lost) if self.lost else "nothing"),
        ]
        lines += [f"note: {n}" for n in self.notes]
        lines += [f"FAILED: {f}" for f in self.failures]
        lines.append("result: " + ("FAIL" if self.failures else "PASS"))
        text = "\n".join(lines) + "\n"
        (self.out / "summary.txt").write_text(text)
        print("\n" + text, end="")
        if p:
            print(f"waterfall: {self.out / 'waterfall.png'}")

    def view(self, elapsed, final=False):
        texts = self.sdr.texts()
        spot_cmds = [t for t in texts if t.startswith("spot")]
        recent = spot_cmds[-5:]
        packets = self.peer.snapshot()
        last_second = [q for q in packets if q.t >= time.monotonic() - 1.0]
        link = ("connected" if self.sdr.open_connections() else
                "waiting (first attempt 5 s after start)" if not self.sdr.connection_count()
                else "disconnected")
        iq = "streaming" if "iq_start:0;" in texts and not self.bridge_stopping(texts) else "off"
        status = (f"{elapsed:5.1f} s of {self.seconds:g} | bridge {'running' if self.bridge.running() else 'stopped'}"
                  f" | SDR link {link}, IQ {iq} ({self.sdr.frames_sent} frames)")
        deletes = sum(1 for t in spot_cmds if t.startswith("spot_delete:"))
        counts = (f"N1MM+ sent {self.sent['add']} spots, {self.sent['delete']} deletions, "
                  f"{self.sent['radio']} radio | SDR got {len(spot_cmds) - deletes} spot and "
                  f"{deletes} spot_delete commands")
        spectrum = (f"spectrum {len(last_second)}/s, {len(packets)} datagrams"
                    + (f", {packets[-1].low_text}-{packets[-1].high_text} kHz" if packets else ""))
        line = spectrum_line(packets[-1].values) if packets else ""
        if not self.tty:
            print(f"[{elapsed:5.1f}s] link {link.split(' ')[0]}; spots sent {self.sent['add']}+"
                  f"{self.sent['delete']} del; SDR commands {len(spot_cmds)}; {spectrum}",
                  flush=True)
            if final and line:
                print(f"latest spectrum |{line}|", flush=True)
            return
        rows = ["Tarnwick demo: simulated N1MM+ <-> Tarnwick <-> simulated ExpertSDR",
                status, counts, spectrum, f"|{line}|",
                "latest commands at the SDR:"]
        for text in recent:
            name, args = tci_server.split_command(text)
            if name == "spot":
                f = args.split(",", 4)
                rows.append(f"  spot  {f[0]:<8} {int(f[2]) / 1000:10.1f} kHz  {f[1]:<4} "
                            f"{colour_name(f[3]):<9} {f[4][:30]}")
            else:
                rows.append(f"  delete {args}")
        sys.stdout.write("\x1b[H\x1b[2J" + "\n".join(rows) + "\n")
        sys.stdout.flush()

    @staticmethod
    def bridge_stopping(texts):
        return "iq_stop:0;" in texts


# --------------------------------------------------------------------------
# The picture


def write_waterfall(packets, out, t0, marks):
    """Draws every spectrum datagram, newest at the bottom; returns the kHz of the
    strongest column read back from the saved image."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    low = min(p.low_khz for p in packets)
    high = max(p.high_khz for p in packets)
    same = all(p.low_khz == low and p.high_khz == high and len(p.values) == len(packets[0].values)
               for p in packets)
    if same:
        n = len(packets[0].values)
        step = (high - low) / n
        # Value i (from 0) stands for bin (2048 + (i + 1) * 4096 / n) mod 4096: one step above
        # the low edge. Each column is drawn centred on its own frequency.
        left, right = low + 0.5 * step, high + 0.5 * step
        data = np.array([p.values for p in packets], dtype=float)
    else:
        n = 1024
        step = (high - low) / n
        left, right = low, high
        grid = low + (np.arange(n) + 0.5) * step
        rows = []
        for p in packets:
            k = len(p.values)
            freqs = p.low_khz + (np.arange(k) + 1) * (p.high_khz - p.low_khz) / k
            rows.append(np.interp(grid, freqs, p.values, left=np.nan, right=np.nan))
        data = np.array(rows)
    times = np.array([p.t - t0 for p in packets])

    fig = plt.figure(figsize=(10, 6.4), dpi=100)
    ax = fig.add_axes([0.08, 0.09, 0.80, 0.70])
    cax = fig.add_axes([0.90, 0.09, 0.02, 0.70])
    top = times[0] - 0.1
    bottom = times[-1] + 0.1 if len(times) > 1 else top + 1
    # The colour scale runs to the loudest level sent, so the loudest station stays the
    # brightest instead of sharing the top colour with every strong one.
    vmax = np.nanmax(data)
    image = ax.imshow(data, aspect="auto", interpolation="nearest", cmap="viridis",
                      extent=(left, right, bottom, top), vmin=0, vmax=max(vmax, 1))
    ax.set_xlabel("frequency (kHz)")
    ax.set_ylabel("seconds since start")
    ax.set_xlim(left, right)
    ax.ticklabel_format(axis="x", useOffset=False, style="plain")
    bar = fig.colorbar(image, cax=cax)
    bar.set_label("level sent to N1MM+")
    top_axis = ax.secondary_xaxis("top")
    calls = sorted(marks.items(), key=lambda kv: kv[1][0])
    top_axis.set_xticks([khz for _, (khz, _) in calls])
    top_axis.set_xticklabels([call for call, _ in calls], rotation=90, fontsize=8)
    for label, (_, (_, colour)) in zip(top_axis.get_xticklabels(), calls):
        label.set_color(f"#{colour & 0xFFFFFF:06x}")
    last = packets[-1]
    fig.suptitle(f"Spectrum datagrams sent to N1MM+: {len(packets)} in {times[-1]:.0f} s, "
                 f"{last.low_text}-{last.high_text} kHz, {last.count} values each",
                 y=0.985, fontsize=11)
    fig.text(0.5, 0.005, "Spots from N1MM+ are marked by call sign at the top, "
             "coloured as the SDR shows them", ha="center", fontsize=8)
    png = out / "waterfall.png"
    fig.savefig(png, dpi=100)
    fig.canvas.draw()
    width, height = fig.canvas.get_width_height()
    box = ax.get_window_extent()
    layout = {
        "image_size": [width, height],
        # Pixel rows and columns of the data area in the PNG (row 0 at the top).
        "axes_px": [int(np.ceil(box.x0)) + 1, int(np.ceil(height - box.y1)) + 1,
                    int(np.floor(box.x1)) - 1, int(np.floor(height - box.y0)) - 1],
        "khz": [left, right],
        "strongest_signal": {"call": STRONGEST.call, "khz": STRONGEST.on_air_khz},
        "packets": len(packets),
    }
    plt.close(fig)
    (out / "waterfall.json").write_text(json.dumps(layout, indent=2) + "\n")
    return strongest_column_khz(png, layout)


def strongest_column_khz(png, layout):
    """Reads the PNG back and finds the column whose mean brightness is highest."""
    import matplotlib.image as mpimg
    pixels = mpimg.imread(str(png))
    x0, y0, x1, y1 = layout["axes_px"]
    area = pixels[y0:y1 + 1, x0:x1 + 1, :3]
    # viridis grows brighter with the level, so brightness orders the levels.
    brightness = area @ np.array([0.2126, 0.7152, 0.0722])
    column = int(np.argmax(brightness.mean(axis=0)))
    left, right = layout["khz"]
    return left + (column + 0.5) * (right - left) / (x1 - x0 + 1)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=str(REPO / "build" / "tarnwick"))
    parser.add_argument("--seconds", type=float,
                        default=float(os.environ.get("DEMO_SECONDS") or 30))
    parser.add_argument("--out", default=str(REPO / "demo"))
    parser.add_argument("--emulator", nargs="*", default=[],
                        help="command to run the executable with (e.g. the Wine runner)")
    parser.add_argument("--plain", action="store_true", help="plain lines even on a terminal")
    parser.add_argument("--keep-on-failure", action="store_true",
                        help="keep the bridge's directory when something failed")
    args = parser.parse_args(argv)
    if not os.path.exists(args.exe):
        print(f"demo: no executable at {args.exe}; build it first (make build)", file=sys.stderr)
        return 2
    if args.seconds < 8:
        print("demo: DEMO_SECONDS below 8 leaves no time after the bridge's first connection "
              "(5 s after start); using 8", file=sys.stderr)
        args.seconds = 8.0
    demo = Demo(args)
    demo.run()
    if demo.failures:
        print("demo FAILED: " + "; ".join(demo.failures), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
