#!/usr/bin/python3
"""How well the spectrum shows what is on the air, as N1MM+ is sent it: the bridge between the
test peers on loopback, the SDR peer streaming 48 kHz with nine equal carriers in noise, each
0, 0.5, 1 ... 4 FFT bins above a bin that a value ends with (512 values: 8 bins of 11.7 Hz
each), 3 spectra a second.

Usage: spectrum_quality.py --exe NAME=PATH [--exe NAME=PATH ...] [--seconds N] [--noise X]

Prints for each executable, with SpectrumAveraging false and true:
- each carrier's level below the strongest of the nine (dB): over the packets, the mean of the
  loudest value next to where the carrier lies;
- the noise floor's spread from one packet to the next: for each value away from the carriers,
  the standard deviation of its level over the packets (dB), averaged over those values.
Levels are the values halved (a value counts 20 log10 of a power, so two make a decibel). The
first packets, built while the level offset settles, are left out. Give the build from before a
change as another --exe to compare with it. A figure, not a test: nothing passes or fails.
"""

import argparse
import math
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))
sys.path.insert(0, HERE)

import n1mm  # noqa: E402
import tci_server  # noqa: E402
from loop_latency import connected, start_bridge  # noqa: E402
from tarnwick_process import free_port  # noqa: E402

RATE = 48000
BIN_HZ = RATE / 4096
VALUES = 512
STEP = 4096 // VALUES
DISTANCES = [d / 2 for d in range(9)]  # bins above a value's last bin
SETTLING = 3                           # packets left out at the start


def carriers():
    """(signed FFT bin, nearest value index) of each carrier, 240 bins apart."""
    found = []
    for j, distance in enumerate(DISTANCES):
        signed = STEP * (30 * j - 120) + distance
        # Value i (from 0) stands for the bins after 2048 + STEP * i up to 2048 + STEP * (i + 1).
        found.append((signed, math.ceil((signed + 2048) / STEP) - 1))
    return found


def measure(exe, averaging, seconds, noise):
    """(dB below the strongest for each carrier, floor spread in dB, spectra a second)."""
    spot_port = free_port()
    placed = carriers()
    band = tci_server.Band([tci_server.Tone(signed * BIN_HZ, 0.1) for signed, _ in placed],
                           noise=noise)
    with tci_server.TciServer(band=band, ping_interval=None, sample_rate=RATE) as sdr, \
            n1mm.N1mm(spot_port) as peer:
        bridge = start_bridge(exe, {"N1MMSpotPort": spot_port, "TCIPort": str(sdr.port),
                                    "SpectrumDisplayEnabled": True,
                                    "SpectrumDisplayPort": str(peer.spectrum_port),
                                    "SpectrumSampleRate": RATE, "SpectrumFrequency": 3,
                                    "SpectrumSampleSize": VALUES,
                                    "SpectrumAveraging": averaging})
        try:
            connected(sdr, exe)
            if not peer.wait_packets(SETTLING, 15):
                raise RuntimeError(f"{exe}: no spectra")
            first = len(peer.snapshot())
            peer.wait_packets(first + int(3 * seconds), seconds + 10)
            packets = peer.snapshot()[first:]
        finally:
            bridge.interrupt()
            bridge.close()
    near = {i for _, index in placed for i in range(index - 3, index + 4)}
    levels = [statistics.mean(max(p.values[index - 1:index + 2]) for p in packets) / 2
              for _, index in placed]
    spread = statistics.mean(statistics.pstdev(p.values[i] / 2 for p in packets)
                             for i in range(VALUES) if i not in near)
    return [max(levels) - level for level in levels], spread, len(packets) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", action="append", required=True, metavar="NAME=PATH")
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--noise", type=float, default=0.02,
                        help="noise deviation beside carriers of amplitude 0.1")
    args = parser.parse_args()
    exes = [e.split("=", 1) if "=" in e else (os.path.basename(e), e) for e in args.exe]

    rows = []
    for name, path in exes:
        for averaging in (False, True):
            rows.append((name, averaging, *measure(path, averaging, args.seconds, args.noise)))
    print(f"\nNine carriers at {RATE // 1000} kHz, {VALUES} values, 3 spectra a second, "
          f"{args.seconds:.0f} s each:")
    print("  dB below the strongest, by the carrier's distance in bins above a value's last "
          "bin;\n  the floor's spread from packet to packet (dB)")
    head = " ".join(f"{d:>5g}" for d in DISTANCES)
    print(f"  {'exe':<10} {'averaging':>9}  {head}  {'spread':>6} {'spectra/s':>9}")
    for name, averaging, below, spread, rate in rows:
        cells = " ".join(f"{b:5.1f}" for b in below)
        print(f"  {name:<10} {str(averaging).lower():>9}  {cells}  {spread:6.2f} {rate:9.2f}")
    for name, _ in exes:
        spreads = {a: s for n, a, _, s, _ in rows if n == name}
        print(f"  {name}: spread with averaging {spreads[True] / spreads[False]:.2f} of the "
              "spread without")
    return 0


if __name__ == "__main__":
    sys.exit(main())
