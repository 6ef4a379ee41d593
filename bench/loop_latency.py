#!/usr/bin/python3
"""How quickly the bridge's loop answers, and what it costs while it waits.

Usage: loop_latency.py --exe NAME=PATH [--exe NAME=PATH ...] [--seconds N] [--links-only]

Runs each executable for real between the test peers on loopback and prints, per executable:
- spot latency: 200 N1MM+ spot datagrams, one every 13 ms, with the SDR connected and no IQ
  stream; the time from each sendto until the SDR peer has received its "spot:" command
  (median, 99th percentile and maximum), side by side with the spot journal kept as always and
  without it (its names taken by folders, so that no journal can be made and the loop has no
  file to copy changes into); run it with TMPDIR on a disk, not a tmpfs, and give the build
  from before the journal as another --exe to compare with it;
- whole-process CPU (all threads, from /proc/<pid>/task/*/schedstat) over --seconds each: idle
  (no SDR to connect to), connected (an SDR that says nothing after its greeting), and
  streaming IQ at 48, 96 and 192 kHz with 10 spectra a second sent to N1MM+;
- wake-ups a second in each of these (voluntary context switches of all threads, from
  /proc/<pid>/task/*/status: each is a wait that ended), what an idle loop costs a laptop on
  battery;
- how long Ctrl+C (SIGINT) takes to end the connected bridge;
- with a second SDR program (TCI2Host, TCI2Port): the spot latency at each SDR beside one link's,
  in one run, and at the first SDR while the second is unreachable (a TCI port that never answers
  the handshake) or floods the bridge with text; and Ctrl+C to exit in each;
- with the SDR unreachable in each way a field station meets (a TCI port that accepts and never
  answers the handshake; as root also a host that never answers the connection request, and a
  host name that no name server answers for): the time from each spot's sendto until the
  bridge's log holds it (log stamps are whole milliseconds, so these figures are good to half a
  millisecond), and how long Ctrl+C takes while an attempt is under way.

Executables are measured turn about, scenario by scenario, so that they share the machine's
mood; with --repeat N each CPU figure is the median of N such rounds. A figure, not a test:
nothing here passes or fails.
"""

import argparse
import asyncio
import datetime
import glob
import multiprocessing
import os
import socket
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))

import n1mm  # noqa: E402
import tci_server  # noqa: E402
import unreachable  # noqa: E402
from tarnwick_process import Tarnwick, free_port  # noqa: E402
from tarnwick_process import wait_for as tarnwick_wait  # noqa: E402

SPOTS = 200
SPOT_INTERVAL = 0.013
RATES = (48000, 96000, 192000)


def cpu_seconds(pid):
    """CPU time of every thread of the process so far, in seconds."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def wakeups(pid):
    """Voluntary context switches of every thread of the process so far."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except (OSError, ValueError, IndexError):
            pass
    return total


def cpu_share(bridge, seconds):
    """(% of one core, wake-ups a second) of the process over the next `seconds`."""
    pid = bridge.proc.pid
    c0, w0, t0 = cpu_seconds(pid), wakeups(pid), time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - t0
    return 100.0 * (cpu_seconds(pid) - c0) / elapsed, (wakeups(pid) - w0) / elapsed


def start_bridge(exe, settings, journal=True):
    bridge = Tarnwick(exe, settings=settings)
    if not journal:
        for generation in range(100):
            os.mkdir(os.path.join(bridge.dir, f"Tarnwick.spots.{generation}.journal"))
    bridge.start()
    if not bridge.wait_bound(settings["N1MMSpotPort"]):
        raise RuntimeError(f"{exe} did not bind its spot port:\n{bridge.tail()}")
    return bridge


def ctrl_c_ms(bridge):
    """Ctrl+C (SIGINT), and the milliseconds until the bridge has ended."""
    t0 = time.monotonic()
    bridge.interrupt()
    return (time.monotonic() - t0) * 1000.0


def connected(sdr, what):
    if not sdr.wait_connected(1, 20):
        raise RuntimeError(f"{what}: the bridge never connected")


def measure_idle(exe, seconds):
    spot_port = free_port()
    bridge = start_bridge(exe, {"N1MMSpotPort": spot_port,
                                "TCIPort": str(free_port(socket.SOCK_STREAM))})
    try:
        return cpu_share(bridge, seconds)
    finally:
        bridge.interrupt()
        bridge.close()


def send_spots(peer, prefix="LAT", clock=time.monotonic):
    """SPOTS spot datagrams, SPOT_INTERVAL apart: {call: clock() at its sendto}."""
    sent = {}
    for i in range(SPOTS):
        call = f"{prefix}{i:03d}"
        data = n1mm.spot_datagram(call, 14000.0 + i, "cq", "CW")
        sent[call] = clock()
        peer.send_raw(data)
        time.sleep(SPOT_INTERVAL)
    return sent


def latencies_at(received, sent):
    """Milliseconds from each sendto to the SDR's receiving the spot's command, from what the SDR
    received as (time, text)."""
    return [(t - sent[text[5:].split(",")[0]]) * 1000.0 for t, text in received
            if text and text.startswith("spot:LAT")]


def measure_connected(exe, seconds, journal=True):
    """CPU while connected and silent, then the spot latency on the same bridge."""
    spot_port = free_port()
    with tci_server.TciServer(stream_iq=False, ping_interval=None) as sdr:
        bridge = start_bridge(exe, {"N1MMSpotPort": spot_port, "TCIPort": str(sdr.port)},
                              journal)
        try:
            connected(sdr, exe)
            with n1mm.N1mm(spot_port, receive=False) as peer:
                # The greeting ends with "start": a relayed probe shows the bridge relays live.
                peer.spot("PROBE", 14000.1, "cq", "")
                if not sdr.wait_for_count(lambda t: t.startswith("spot:PROBE,"), 1, 10):
                    raise RuntimeError("the probe spot never reached the SDR")
                share = cpu_share(bridge, seconds) if seconds > 0 else None
                mark = sdr.mark()
                sent = send_spots(peer)
                sdr.wait_for_count(lambda t: t.startswith("spot:LAT"), SPOTS, 10, mark)
            with sdr._cond:
                latencies = latencies_at([(r.t, r.text) for r in sdr.received[mark:]], sent)
            return share, latencies, ctrl_c_ms(bridge)
        finally:
            bridge.interrupt()
            bridge.close()


# The ways a second SDR program may be there, for measure_links.
LINKS = ("one link", "two links", "second unreachable", "second floods text")
# A text message of 17 kB, sent again every millisecond: 17 MB/s, a thousand commands a
# millisecond. Without a pause the sender would take a core of its own from the two that the
# bridge and the first SDR's peer share on a small machine.
FLOOD_TEXT = "vfo:0,0,14074000;" * 1000
FLOOD_PAUSE = 0.001


async def _flood(sdr, stop):
    for ws in list(sdr._connections.values()):
        while not stop.is_set():
            await ws.send(FLOOD_TEXT)
            await asyncio.sleep(FLOOD_PAUSE)


def _second_sdr(conn):
    """The second SDR program, in a process of its own: its peer shares no interpreter lock with
    the first's, so that neither's arrival times wait for the other's handling. Answers what the
    pipe asks until it is told to end."""
    sdr = tci_server.TciServer(stream_iq=False, ping_interval=None).start()
    stop, flood = threading.Event(), None
    conn.send(sdr.port)
    while True:
        what, arg = conn.recv()
        if what == "connected":
            conn.send(sdr.wait_connected(1, 20))
        elif what == "count":
            conn.send(sdr.wait_for_count(lambda t: t.startswith(arg[0]), arg[1], 10, arg[2]))
        elif what == "mark":
            conn.send(sdr.mark())
        elif what == "since":
            with sdr._cond:
                conn.send([(r.t, r.text) for r in sdr.received[arg:] if r.text])
        elif what == "flood":
            flood = asyncio.run_coroutine_threadsafe(_flood(sdr, stop), sdr._loop)
            conn.send(True)
        else:
            break
    stop.set()
    try:
        if flood is not None:
            flood.result(10)
    except Exception:  # noqa: BLE001 - the connection may end under the flood
        pass
    sdr.close()
    conn.send(True)


class SecondSdr:
    """_second_sdr, seen from here."""

    def __init__(self):
        context = multiprocessing.get_context("spawn")
        self._conn, child = context.Pipe()
        self._proc = context.Process(target=_second_sdr, args=(child,), daemon=True)
        self._proc.start()
        self.port = self._conn.recv()

    def ask(self, what, arg=None):
        self._conn.send((what, arg))
        return self._conn.recv()

    def close(self):
        self.ask("end")
        self._proc.join(15)


def measure_links(exe, setup):
    """({SDR number: spot latencies in ms}, Ctrl+C to exit in ms) for one of LINKS. Latencies are
    measured at every SDR that hears the spots and is not flooding."""
    spot_port = free_port()
    sdr = tci_server.TciServer(stream_iq=False, ping_interval=None).start()
    second = silent = None
    settings = {"N1MMSpotPort": spot_port, "TCIPort": str(sdr.port)}
    if setup in ("two links", "second floods text"):
        second = SecondSdr()
        settings.update(TCI2Host="127.0.0.1", TCI2Port=str(second.port))
    elif setup == "second unreachable":
        silent = unreachable.SilentTci()
        settings.update(TCI2Host="127.0.0.1", TCI2Port=str(silent.port))
    bridge = start_bridge(exe, settings)
    try:
        connected(sdr, f"{exe} ({setup})")
        if second is not None and not second.ask("connected"):
            raise RuntimeError(f"{exe} ({setup}): the bridge never connected to the second SDR")
        with n1mm.N1mm(spot_port, receive=False) as peer:
            peer.spot("PROBE", 14000.1, "cq", "")
            if not sdr.wait_for_count(lambda t: t.startswith("spot:PROBE,"), 1, 10) or \
                    (second is not None and not second.ask("count", ("spot:PROBE,", 1, 0))):
                raise RuntimeError(f"{setup}: the probe spot never reached an SDR")
            if setup == "second floods text":
                second.ask("flood")
                time.sleep(1.0)
            mark = sdr.mark()
            second_mark = second.ask("mark") if setup == "two links" else None
            sent = send_spots(peer)
            sdr.wait_for_count(lambda t: t.startswith("spot:LAT"), SPOTS, 10, mark)
            with sdr._cond:
                latencies = {1: latencies_at([(r.t, r.text) for r in sdr.received[mark:]], sent)}
            if second_mark is not None:
                second.ask("count", ("spot:LAT", SPOTS, second_mark))
                latencies[2] = latencies_at(second.ask("since", second_mark), sent)
        return latencies, ctrl_c_ms(bridge)
    finally:
        bridge.interrupt()
        bridge.close()
        sdr.close()
        if second is not None:
            second.close()
        if silent is not None:
            silent.close()


def measure_streaming(exe, rate, seconds):
    spot_port = free_port()
    band = tci_server.Band([tci_server.Tone(3000.0, 0.1)], noise=1e-3)
    with tci_server.TciServer(band=band, ping_interval=None) as sdr, \
            n1mm.N1mm(spot_port) as peer:
        bridge = start_bridge(exe, {"N1MMSpotPort": spot_port, "TCIPort": str(sdr.port),
                                    "SpectrumDisplayEnabled": True, "SpectrumSampleRate": rate,
                                    "SpectrumFrequency": 10,
                                    "SpectrumDisplayPort": str(peer.spectrum_port)})
        try:
            connected(sdr, exe)
            if not peer.wait_packets(3, 15):
                raise RuntimeError(f"{exe}: no spectra at {rate} Hz")
            first = len(peer.snapshot())
            share, _ = cpu_share(bridge, seconds)
            return share, (len(peer.snapshot()) - first) / seconds
        finally:
            bridge.interrupt()
            bridge.close()


def logged_at(bridge, prefix):
    """Wall time at which the log first holds each spot whose call starts with prefix."""
    seen = {}
    for line in bridge.log().splitlines():
        if "DX de" not in line:
            continue
        fields = line.split("\t")
        if len(fields) < 3 or not fields[2].startswith(prefix):
            continue
        stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
        seen.setdefault(fields[2], stamp.timestamp())
    return seen


def measure_unreachable(exe, way):
    """(spot latencies in ms, Ctrl+C to exit in ms) with the SDR unreachable in one way."""
    spot_port = free_port()
    settings = {"N1MMSpotPort": spot_port, "Debug": 5}
    prefix = ()
    starts = None  # the times at which the peer saw attempts begin
    if way == "silent port":
        peer = unreachable.SilentTci()
        settings["TCIPort"] = str(peer.port)
        starts = peer.connections
    elif way == "silent name server":
        peer = unreachable.SilentResolver(wait_seconds=30)
        settings.update(TCIHost=peer.NAME, TCIPort="40001")
        prefix = peer.prefix()
        starts = peer.query_times
    else:
        peer = unreachable.DroppingHost()
        settings.update(TCIHost=peer.address, TCIPort=str(peer.port))
    bridge = Tarnwick(exe, settings=settings, emulator=prefix).start()
    try:
        if not bridge.wait_bound(spot_port):
            raise RuntimeError(f"{exe} did not bind its spot port:\n{bridge.tail()}")
        # A dropped request leaves no trace; the first attempt is due 5 s after the start.
        if starts is None:
            time.sleep(5.5)
        elif not tarnwick_wait(lambda: bool(starts()), 20):
            raise RuntimeError(f"{way}: no attempt was seen")
        with n1mm.N1mm(spot_port, receive=False) as sender:
            sent = send_spots(sender, "UNR", time.time)
        tarnwick_wait(lambda: len(logged_at(bridge, "UNR")) == SPOTS, 10)
        seen = logged_at(bridge, "UNR")
        # A stamp is the whole millisecond it fell in: half of one is added back.
        latencies = [(seen[c] + 0.0005 - t) * 1000.0 for c, t in sent.items() if c in seen]
        # Ctrl+C just after an attempt has started, the worst moment for a loop that waits. The
        # name lookup hangs for a minute: any moment is in it.
        if way == "silent port":
            count = len(starts())
            tarnwick_wait(lambda: len(starts()) > count, 10)
            time.sleep(0.1)
        elif way == "dropped request":
            ends = bridge.stderr().count("Timed out connecting")
            tarnwick_wait(lambda: bridge.stderr().count("Timed out connecting") > ends, 10)
            time.sleep(5.2)
        return latencies, ctrl_c_ms(bridge)
    finally:
        bridge.interrupt()
        bridge.close()
        peer.close()


def print_links(exes, width, repeat):
    """One SDR program against two, turn about, and the figures side by side."""
    lat = {(name, setup): {} for name, _ in exes for setup in LINKS}
    stops = {(name, setup): [] for name, _ in exes for setup in LINKS}
    for _ in range(repeat):
        for setup in LINKS:
            for name, path in exes:
                got, stop = measure_links(path, setup)
                for number, values in got.items():
                    lat[(name, setup)].setdefault(number, []).extend(values)
                stops[(name, setup)].append(stop)
    print(f"\nSpot latency with one SDR program and with two ({SPOTS} spots a round, one every "
          f"{SPOT_INTERVAL * 1000:.0f} ms), N1MM+ datagram to each SDR's command, ms:")
    print(f"  {'':<{width}}  {'':<20} {'SDR':>3} {'median':>8} {'p99':>8} {'max':>8} "
          f"{'count':>6}   Ctrl+C to exit")
    for name, _ in exes:
        for setup in LINKS:
            stop = statistics.median(stops[(name, setup)])
            for number, values in sorted(lat[(name, setup)].items()):
                print(f"  {name:<{width}}  {setup:<20} {number:>3} "
                      f"{statistics.median(values):8.3f} {percentile(values, 99):8.3f} "
                      f"{max(values):8.3f} {len(values):6d}   {stop:8.1f}", flush=True)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", action="append", required=True, metavar="NAME=PATH")
    parser.add_argument("--seconds", type=float, default=10.0, help="CPU window per scenario")
    parser.add_argument("--repeat", type=int, default=1, help="rounds per CPU figure (median)")
    parser.add_argument("--unreachable-only", action="store_true",
                        help="measure only with the SDR unreachable")
    parser.add_argument("--latency-only", action="store_true",
                        help="measure only the spot latency, with and without the journal")
    parser.add_argument("--links-only", action="store_true",
                        help="measure only the spot latency with one and with two SDR programs")
    args = parser.parse_args()
    exes = [tuple(item.split("=", 1)) if "=" in item else (item, item) for item in args.exe]
    ways = ["silent port"] + (["dropped request", "silent name server"]
                              if unreachable.can_isolate() else [])
    width = max(len(name) for name, _ in exes)
    if args.links_only:
        print_links(exes, width, args.repeat)
        return 0
    if args.latency_only:
        ways = []
        args.seconds = 0
    if ways:
        print(f"\nThe SDR unreachable: spot datagram to the bridge's log ({SPOTS} spots, one "
              f"every {SPOT_INTERVAL * 1000:.0f} ms), ms, and Ctrl+C to exit during an attempt, "
              "ms:")
        print(f"  {'':<{width}}  {'way':<20} {'median':>8} {'p99':>8} {'max':>8} {'count':>6}   "
              "Ctrl+C to exit")
    for way in ways:
        for name, path in exes:
            lat, stop = measure_unreachable(path, way)
            figures = (f"{statistics.median(lat):8.1f} {percentile(lat, 99):8.1f} "
                       f"{max(lat):8.1f}" if lat else f"{'-':>8} {'-':>8} {'-':>8}")
            print(f"  {name:<{width}}  {way:<20} {figures} {len(lat):6d}   {stop:8.1f}",
                  flush=True)
    if args.unreachable_only:
        return 0

    runs = {name: {"idle": [], "connected": [], **{rate: [] for rate in RATES}}
            for name, _ in exes}
    results = {name: {} for name, _ in exes}
    for _ in range(args.repeat):
        if not args.latency_only:
            for name, path in exes:
                runs[name]["idle"].append(measure_idle(path, args.seconds))
        for name, path in exes:
            share, latency, stop = measure_connected(path, args.seconds)
            runs[name]["connected"].append(share)
            results[name].setdefault("latency", []).extend(latency)
            results[name].setdefault("stop", []).append(stop)
        for name, path in exes:
            _, latency, _ = measure_connected(path, 0, journal=False)
            results[name].setdefault("latency without journal", []).extend(latency)
        for rate in RATES if not args.latency_only else ():
            for name, path in exes:
                runs[name][rate].append(measure_streaming(path, rate, args.seconds))
    for name, _ in exes:
        results[name]["stop"] = statistics.median(results[name]["stop"])
        if args.latency_only:
            continue
        for scenario in ("idle", "connected"):
            results[name][scenario] = statistics.median(s for s, _ in runs[name][scenario])
            results[name][scenario + " wake"] = statistics.median(w for _, w in
                                                                   runs[name][scenario])
        for rate in RATES:
            shares = sorted(runs[name][rate])
            results[name][rate] = shares[len(shares) // 2]

    def figures(lat):
        return (f"{statistics.median(lat):8.3f} {percentile(lat, 99):8.3f} {max(lat):8.3f} "
                f"{len(lat):6d}" if lat else f"{'-':>8} {'-':>8} {'-':>8} {0:6d}")

    print(f"\nSpot latency, N1MM+ datagram to SDR command ({SPOTS} spots a round, one every "
          f"{SPOT_INTERVAL * 1000:.0f} ms), ms, with the spot journal and without it "
          f"(state files in {tempfile.gettempdir()}):")
    columns = f"{'median':>8} {'p99':>8} {'max':>8} {'count':>6}"
    print(f"  {'':<{width}}  {'with the journal':<33} | {'without a journal':<33}")
    print(f"  {'':<{width}}  {columns} | {columns}   Ctrl+C to exit")
    for name, _ in exes:
        print(f"  {name:<{width}}  {figures(results[name]['latency'])} | "
              f"{figures(results[name]['latency without journal'])}   "
              f"{results[name]['stop']:8.1f}")
    print_links(exes, width, args.repeat)
    if args.latency_only:
        return 0
    print(f"\nWhole-process CPU, % of one core over {args.seconds:.0f} s (median of "
          f"{args.repeat}):")
    header = "".join(f"{f'IQ {r // 1000} kHz':>16}" for r in RATES)
    print(f"  {'':<{width}}  {'idle':>8} {'connected':>10}{header}")
    for name, _ in exes:
        r = results[name]
        cells = "".join(f"{r[rate][0]:.2f} ({r[rate][1]:.1f}/s)".rjust(16) for rate in RATES)
        print(f"  {name:<{width}}  {r['idle']:8.2f} {r['connected']:10.2f}{cells}")
    print("  (x/s: spectra that reached N1MM+ per second)")
    print("\nWake-ups a second (voluntary context switches, all threads):")
    print(f"  {'':<{width}}  {'idle':>8} {'connected':>10}")
    for name, _ in exes:
        r = results[name]
        print(f"  {name:<{width}}  {r['idle wake']:8.1f} {r['connected wake']:10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
