#!/usr/bin/python3
"""What a second spectrum costs: the bridge with one receiver and with two, each streaming IQ
at --rate (192 kHz by default) and asked for 10 spectra a second.

Usage: two_receivers.py --exe PATH [--seconds N] [--repeat N] [--rate HZ]

Prints, for one receiver and for two, the whole-process CPU (all threads, % of one core, the
median of --repeat rounds) and the spectra a second that reached N1MM+ under each name. A
figure, not a test: nothing here passes or fails.
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


def measure(exe, receivers, rate, seconds):
    """(% of one core, {name: spectra a second}) with `receivers` spectra running."""
    spot_port = free_port()
    second = {1: (7074000, tci_server.Band([tci_server.Tone(-6000.0, 0.1)], noise=1e-3, seed=2))}
    band = tci_server.Band([tci_server.Tone(3000.0, 0.1)], noise=1e-3)
    settings = {"N1MMSpotPort": spot_port, "SpectrumDisplayEnabled": True,
                "SpectrumSampleRate": rate, "SpectrumFrequency": 10}
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
            first = len(peer.snapshot())
            share, _ = cpu_share(bridge, seconds)
            arrived = peer.snapshot()[first:]
            return share, {name: sum(p.name == name for p in arrived) / seconds
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
    args = parser.parse_args()

    rounds = {1: [], 2: []}
    for _ in range(args.repeat):
        for receivers in (1, 2):
            rounds[receivers].append(measure(args.exe, receivers, args.rate, args.seconds))
    print(f"\nIQ at {args.rate // 1000} kHz per receiver, 10 spectra a second asked for each; "
          f"whole-process CPU over {args.seconds:.0f} s, median of {args.repeat}:")
    print(f"  {'receivers':>9} {'CPU %':>8}   spectra a second reaching N1MM+")
    for receivers in (1, 2):
        share = statistics.median(s for s, _ in rounds[receivers])
        rates = ", ".join(f"{name}: {statistics.median(r[name] for _, r in rounds[receivers]):.1f}"
                          for name in NAMES[:receivers])
        print(f"  {receivers:>9} {share:8.2f}   {rates}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
