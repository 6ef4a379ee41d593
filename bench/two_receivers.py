#!/usr/bin/python3
"""What a second spectrum and averaging cost: the bridge with one receiver and with two, each
streaming IQ at --rate (192 kHz by default) and asked for --frequency spectra a second (3, the
default setting, by default), with SpectrumAveraging false and true.

Usage: two_receivers.py --exe PATH [--seconds N] [--repeat N] [--rate HZ] [--frequency N]

Prints, for each number of receivers and each averaging, the whole-process CPU (all threads, %
of one core, the median of --repeat rounds), the IQ frames a second the SDR peer sent each
receiver (2048 samples each: at 192 kHz it should be 93.75) and the spectra a second that
reached N1MM+ under each name. The cases are measured turn about in each round, so that they share the machine's
mood. A figure, not a test: nothing here passes or fails.
"""

import argparse
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))
sys.path.insert(0, HERE)

import n1mm  # noqa: E402
import tci_server  # noqa: E402
from loop_latency import connected, cpu_share, start_bridge  # noqa: E402
from tarnwick_process import free_port  # noqa: E402

NAMES = ("ExpertSDR", "ExpertSDR 2")
CASES = ((1, False), (2, False), (1, True), (2, True))  # (receivers, averaging)


def measure(exe, receivers, averaging, rate, frequency, seconds):
    """(% of one core, frames a second a receiver, {name: spectra a second}) with `receivers`
    spectra running."""
    spot_port = free_port()
    second = {1: (7074000, tci_server.Band([tci_server.Tone(-6000.0, 0.1)], noise=1e-3, seed=2))}
    band = tci_server.Band([tci_server.Tone(3000.0, 0.1)], noise=1e-3)
    settings = {"N1MMSpotPort": spot_port, "SpectrumDisplayEnabled": True,
                "SpectrumSampleRate": rate, "SpectrumFrequency": frequency,
                "SpectrumAveraging": averaging}
    if receivers == 2:
        settings["Spectrum2ReceiverNumber"] = 1
    with tci_server.TciServer(band=band, ping_interval=None, receivers=second) as sdr, \
            n1mm.N1mm(spot_port) as peer:
        settings.update(TCIPort=str(sdr.port), SpectrumDisplayPort=str(peer.spectrum_port))
        bridge = start_bridge(exe, settings)
        try:
            connected(sdr, exe)
            if not peer.wait_packets(3 * receivers, 15):
                raise RuntimeError(f"{exe}: no spectra with {receivers} receivers")
            first, frames = len(peer.snapshot()), sdr.frames_sent
            share, _ = cpu_share(bridge, seconds)
            frames = (sdr.frames_sent - frames) / seconds / receivers
            arrived = peer.snapshot()[first:]
            return share, frames, {name: sum(p.name == name for p in arrived) / seconds
                                   for name in NAMES[:receivers]}
        finally:
            bridge.interrupt()
            bridge.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rate", type=int, default=192000)
    parser.add_argument("--frequency", type=int, default=3)
    args = parser.parse_args()

    rounds = {case: [] for case in CASES}
    for _ in range(args.repeat):
        for case in CASES:
            rounds[case].append(measure(args.exe, *case, args.rate, args.frequency,
                                        args.seconds))
    print(f"\nIQ at {args.rate // 1000} kHz per receiver, {args.frequency} spectra a second "
          f"asked for each; whole-process CPU over {args.seconds:.0f} s, median of "
          f"{args.repeat}:")
    print(f"  {'receivers':>9} {'averaging':>9} {'CPU %':>8} {'frames/s':>9}   "
          "spectra a second reaching N1MM+")
    for receivers, averaging in CASES:
        found = rounds[(receivers, averaging)]
        share = statistics.median(s for s, _, _ in found)
        frames = statistics.median(f for _, f, _ in found)
        rates = ", ".join(f"{name}: {statistics.median(r[name] for _, _, r in found):.1f}"
                          for name in NAMES[:receivers])
        print(f"  {receivers:>9} {str(averaging).lower():>9} {share:8.2f} {frames:9.1f}   "
              f"{rates}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
