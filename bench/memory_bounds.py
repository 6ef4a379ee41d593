#!/usr/bin/python3
"""The bridge's memory under what a hostile or broken peer can send, and with two SDRs.

Runs each executable for real between the test peers on loopback and prints, per executable,
the process's peak memory (VmHWM from /proc/<pid>/status) for:
- a spot flood: 30,000 adds of distinct call signs with 900-byte comments on the spot port while
  the SDR is connected; also what the SDR received (spot and spot_delete commands) and the
  longest TCI text it was sent; then the longest TCI text for spots whose comment is as long as
  a datagram allows;
- a burst from the SDR: 16 MiB of empty text frames in one write; also whether the bridge still
  relays a spot afterwards, and how long that took;
- one 16 MiB text message from the SDR, of each kind of content in MESSAGES (one at Debug 5, so
  that its one command is logged; one of starts, each of which asks for the table again, with
  2000 spots live); how long it took to handle, and the same figures as for the burst;
- 20,000 live spots with one SDR program and with two (TCI2Host, TCI2Port): the peak once both
  SDRs show them all, and once all are deleted while the SDRs are stopped and the first has
  started again and heard the deletions, the second's still waiting (--links-only: this alone);
- the spot state on the disk while the document cannot be replaced (another program holds it; on
  Linux a directory takes its place, after a first run has left a document): HELD_SPOTS calls
  flooding at thousands of datagrams a second for HELD_SECONDS, some of them deleted; the peak
  and the last size of the journals, then a kill and a new start over the old document, and
  whether the SDR is then shown exactly N1MM+'s picture. --state-only prints this figure alone.

Usage: memory_bounds.py --exe NAME=PATH [--exe NAME=PATH ...] [--state-only | --links-only]

A figure, not a test: nothing here passes or fails.
"""

import argparse
import asyncio
import concurrent.futures
import os
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))

import n1mm  # noqa: E402
import tci_server  # noqa: E402
from tarnwick_process import Tarnwick, free_port  # noqa: E402

TABLE_SPOTS = 20000
TABLE_COMMENT = "CW 25 WPM CQ TEST"
FLOOD_SPOTS = 30000
COMMENT_BYTES = 900
HUGE_COMMENT_BYTES = 60000
BURST_BYTES = 16 * 1024 * 1024
EMPTY_TEXT_FRAME = b"\x81\x00"  # FIN, text, unmasked (server to client), no payload
MESSAGE_BYTES = 16 * 1024 * 1024  # the largest message the client takes


def _filled(unit, size):
    return (unit * (size // len(unit) + 1))[:size]


# (name, Debug level, spots live before it, the message's text)
MESSAGES = [
    ("\";\" only", 0, 0, b";" * MESSAGE_BYTES),
    ("\"if:0,14074000;\" repeated", 0, 0, _filled(b"if:0,14074000;", MESSAGE_BYTES)),
    ("one command, control chars", 5, 0, b"x:" + b"\x01" * (MESSAGE_BYTES - 2)),
    ("\"start;\" repeated, 2000 spots live", 0, 2000, _filled(b"start;", MESSAGE_BYTES)),
]
HANDLE_LIMIT = 120  # seconds a message may take before the figure says so and the run goes on
HELD_SPOTS = 1500
HELD_SECONDS = 30


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def start_bridge(exe, spot_port, sdr, debug=0):
    bridge = Tarnwick(exe, settings={"N1MMSpotPort": spot_port, "TCIPort": str(sdr.port),
                                     "Debug": debug})
    bridge.start()
    if not bridge.wait_bound(spot_port):
        raise RuntimeError(f"{exe} did not bind its spot port:\n{bridge.tail()}")
    if not sdr.wait_connected(1, 20):
        raise RuntimeError(f"{exe}: the bridge never connected")
    return bridge


def relays(sdr, peer, call, timeout):
    """Sends one spot; seconds until the SDR has it, or None."""
    mark = sdr.mark()
    t0 = time.monotonic()
    peer.spot(call, 14000.1, "cq", "")
    found = sdr.wait_for_count(lambda t: t.startswith(f"spot:{call},"), 1, timeout, mark)
    return time.monotonic() - t0 if found else None


def wait_quiet(sdr, quiet, limit):
    """Waits until the SDR has heard nothing new for `quiet` seconds (at most `limit`)."""
    deadline = time.monotonic() + limit
    last, since = -1, time.monotonic()
    while time.monotonic() < deadline and time.monotonic() - since < quiet:
        now = sdr.mark()
        if now != last:
            last, since = now, time.monotonic()
        time.sleep(0.1)


def measure_flood(exe):
    spot_port = free_port()
    with tci_server.TciServer(stream_iq=False, ping_interval=None) as sdr, \
            n1mm.N1mm(spot_port, receive=False) as peer:
        bridge = start_bridge(exe, spot_port, sdr)
        try:
            if relays(sdr, peer, "PROBE", 10) is None:
                raise RuntimeError(f"{exe}: the probe spot never reached the SDR")
            idle = peak_kib(bridge.proc.pid)
            mark = sdr.mark()
            comment = ("CW flood " * (COMMENT_BYTES // 9 + 1))[:COMMENT_BYTES]
            t0 = time.monotonic()
            for i in range(FLOOD_SPOTS):
                peer.send_raw(n1mm.spot_datagram(f"FL{i:05d}", 14000.0 + (i % 3000) * 0.1, "cq",
                                                 comment))
                if i % 200 == 199:
                    time.sleep(0.005)  # the kernel's receive buffer is not a test subject
            wait_quiet(sdr, 3.0, 180)
            seconds = time.monotonic() - t0
            texts = sdr.texts(since=mark)
            mark = sdr.mark()
            for i in range(10):
                peer.spot(f"HUGE{i}", 14000.0, "cq", "\u00e9" * (HUGE_COMMENT_BYTES // 2))
            wait_quiet(sdr, 2.0, 30)
            result = {
                "idle": idle,
                "peak": peak_kib(bridge.proc.pid),
                "spots": sum(1 for t in texts if t.startswith("spot:")),
                "deletes": sum(1 for t in texts if t.startswith("spot_delete:")),
                "longest": max((len(t.encode("utf-8")) for t in texts), default=0),
                "huge": max((len(t.encode("utf-8")) for t in sdr.texts(since=mark)), default=0),
                "seconds": seconds,
            }
            bridge.interrupt()
            return result
        finally:
            bridge.close()


async def _burst(sdr, size):
    frames = EMPTY_TEXT_FRAME * (size // len(EMPTY_TEXT_FRAME))
    for ws in list(sdr._connections.values()):
        ws.transport.write(frames)


async def _message(sdr, text):
    """Writes one text frame, then waits for the pong to a ping sent behind it: the bridge answers
    the ping once it has handled the message."""
    frame = b"\x81\x7f" + struct.pack(">Q", len(text)) + text
    for ws in list(sdr._connections.values()):
        ws.transport.write(frame)
        await asyncio.wait_for(await ws.ping(), HANDLE_LIMIT)


def measure_burst(exe, load=None, debug=0, spots=0):
    spot_port = free_port()
    with tci_server.TciServer(stream_iq=False, ping_interval=None) as sdr, \
            n1mm.N1mm(spot_port, receive=False) as peer:
        bridge = start_bridge(exe, spot_port, sdr, debug)
        try:
            if relays(sdr, peer, "PROBE", 10) is None:
                raise RuntimeError(f"{exe}: the probe spot never reached the SDR")
            for i in range(spots):
                peer.spot(f"LIVE{i}", 14000.0 + i * 0.1, "cq", "CW")
            if spots:
                wait_quiet(sdr, 1.0, 60)
            idle = peak_kib(bridge.proc.pid)
            t0 = time.monotonic()
            try:
                sdr._call(load(sdr) if load else _burst(sdr, BURST_BYTES), timeout=HANDLE_LIMIT)
                handled = time.monotonic() - t0
            except concurrent.futures.TimeoutError:
                handled = None
            # A dropped connection is made again within 5 s and the table re-sent: a spot after
            # the burst shows whether the bridge still works, whichever way it coped.
            after = relays(sdr, peer, "AFTER", 90) if bridge.running() else None
            result = {"idle": idle, "peak": peak_kib(bridge.proc.pid), "relays": after,
                      "handled": handled,
                      "alive": bridge.running(), "connections": sdr.connection_count()}
            bridge.interrupt()
            return result
        finally:
            bridge.close()


def journal_bytes(folder):
    total = 0
    for name in os.listdir(folder):
        if name.endswith(".journal"):
            try:
                total += os.path.getsize(os.path.join(folder, name))
            except OSError:
                pass
    return total


def shown(sdr, connection):
    """What the SDR shows after the texts of one connection: call -> Hz."""
    picture = {}
    for text in sdr.texts(connection):
        if text.startswith("spot:"):
            call, _mode, hz = text[5:].split(",")[:3]
            picture[call] = int(hz)
        elif text.startswith("spot_delete:"):
            picture.pop(text[len("spot_delete:"):-1], None)
    return picture


def measure_held_document(exe):
    spot_port = free_port()
    document = None
    with tci_server.TciServer(stream_iq=False, ping_interval=None) as sdr, \
            n1mm.N1mm(spot_port, receive=False) as peer:
        first = start_bridge(exe, spot_port, sdr)
        expected = {}
        try:
            for i in range(300):
                peer.spot(f"OLD{i}", 3500.0 + i * 0.1, "cq", "CW")
                expected[f"OLD{i}"] = round((3500.0 + i * 0.1) * 1000)
            wait_quiet(sdr, 1.0, 30)
            first.interrupt()
            document = os.path.join(first.dir, "Tarnwick.spots.xml")
            with open(document, "rb") as f:
                stale = f.read()
            held = Tarnwick(exe, workdir=first.dir).start()
            if not sdr.wait_connected(2, 30):
                raise RuntimeError(f"{exe}: the second run never connected")
            os.remove(document)
            os.mkdir(document)
            peak, sent, t0 = 0, 0, time.monotonic()
            while time.monotonic() - t0 < HELD_SECONDS:
                for _ in range(20):
                    call = f"HD{sent % HELD_SPOTS:04d}"
                    khz = 14000.0 + (sent % 997) * 0.1
                    if sent % 10 == 9:
                        peer.send_raw(n1mm.spot_datagram(call, khz, "cq", "CW", action="delete"))
                        expected.pop(call, None)
                    else:
                        peer.send_raw(n1mm.spot_datagram(call, khz, "cq", "CW 25 WPM CQ"))
                        expected[call] = round(khz * 1000)
                    sent += 1
                if sent % 2000 == 0:
                    for i in range(0, 300, 3):
                        if f"OLD{i}" in expected:
                            peer.send_raw(n1mm.spot_datagram(f"OLD{i}", 3500.0, "cq", "",
                                                             action="delete"))
                            expected.pop(f"OLD{i}")
                            break
                peak = max(peak, journal_bytes(first.dir))
                time.sleep(0.005)
            seconds = time.monotonic() - t0
            wait_quiet(sdr, 1.0, 60)
            peak = max(peak, journal_bytes(first.dir))
            last = journal_bytes(first.dir)
            time.sleep(0.3)
            said = held.log()
            held.kill()
            os.rmdir(document)
            with open(document, "wb") as f:
                f.write(stale)
            again = Tarnwick(exe, workdir=first.dir).start()
            try:
                if not sdr.wait_connected(3, 30):
                    raise RuntimeError(f"{exe}: the run after the kill never connected")
                sdr.wait_until(lambda s: shown(s, 3) == expected, 20)
                picture = shown(sdr, 3)
                lost = sum(1 for call, hz in expected.items() if picture.get(call) != hz)
                extra = sum(1 for call in picture if call not in expected)
                again.interrupt()
            finally:
                again.close()
            return {"sent": sent, "rate": sent / seconds, "peak": peak, "last": last,
                    "live": len(expected), "lost": lost, "extra": extra,
                    "said": sum(1 for line in said.splitlines() if "cannot be replaced" in line)}
        finally:
            first.close()


def measure_links(exe, links):
    """Peak KiB with TABLE_SPOTS live and every SDR showing them, and with their deletions
    heard by the first SDR and waiting for the second."""
    spot_port = free_port()
    sdrs = [tci_server.TciServer(stream_iq=False, ping_interval=None).start()
            for _ in range(links)]
    settings = {"N1MMSpotPort": spot_port, "TCIPort": str(sdrs[0].port)}
    if links == 2:
        settings.update(TCI2Host="127.0.0.1", TCI2Port=str(sdrs[1].port))
    bridge = Tarnwick(exe, settings=settings).start()
    try:
        if not bridge.wait_bound(spot_port):
            raise RuntimeError(f"{exe} did not bind its spot port:\n{bridge.tail()}")
        for sdr in sdrs:
            if not sdr.wait_connected(1, 20):
                raise RuntimeError(f"{exe}: the bridge never connected")
        with n1mm.N1mm(spot_port, receive=False) as peer:
            peer.spot("PROBE", 14000.1, "cq", "")
            for sdr in sdrs:
                if not sdr.wait_for_count(lambda t: t.startswith("spot:PROBE,"), 1, 10):
                    raise RuntimeError(f"{exe}: the probe spot never reached an SDR")
            idle = peak_kib(bridge.proc.pid)
            calls = [f"TB{i:05d}" for i in range(TABLE_SPOTS)]
            for i, call in enumerate(calls):
                peer.send_raw(n1mm.spot_datagram(call, 14000.0 + (i % 3000) * 0.1, "cq",
                                                 TABLE_COMMENT))
                if i % 200 == 199:
                    time.sleep(0.005)
            for sdr in sdrs:
                sdr.wait_for_count(lambda t: t.startswith("spot:TB"), TABLE_SPOTS, 120)
            shown = peak_kib(bridge.proc.pid)
            for sdr in sdrs:
                sdr.send_stop()
            time.sleep(0.5)
            for i, call in enumerate(calls):
                peer.delete(call)
                if i % 200 == 199:
                    time.sleep(0.005)
            mark = sdrs[0].mark()
            time.sleep(2.0)
            sdrs[0].send_start()
            heard = sdrs[0].wait_for_count(lambda t: t.startswith("spot_delete:TB"), TABLE_SPOTS,
                                           120, mark)
            pending = peak_kib(bridge.proc.pid)
        bridge.interrupt()
        return {"idle": idle, "shown": shown, "pending": pending, "heard": heard}
    finally:
        bridge.close()
        for sdr in sdrs:
            sdr.close()


def print_links(exes, width):
    results = {(name, links): measure_links(path, links) for links in (1, 2)
               for name, path in exes}
    print(f"\n{TABLE_SPOTS} live spots (comment \"{TABLE_COMMENT}\"), one SDR program and two: "
          "peak MiB")
    print(f"  {'':<{width}}  {'SDRs':>4} {'idle':>7} {'shown':>7} {'deleted':>8}")
    for name, _ in exes:
        for links in (1, 2):
            r = results[(name, links)]
            note = "" if r["heard"] else "  (the first SDR did not hear every deletion)"
            print(f"  {name:<{width}}  {links:>4} {mib(r['idle']):>7} {mib(r['shown']):>7} "
                  f"{mib(r['pending']):>8}{note}", flush=True)
    print("  (shown: every SDR shows every spot; deleted: all deleted while the SDRs were "
          "stopped, the first started again and heard them, the second's still waiting)")


def mib(kib):
    return f"{kib / 1024:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", action="append", required=True, metavar="NAME=PATH")
    parser.add_argument("--state-only", action="store_true",
                        help="measure only the spot state on the disk while the document is held")
    parser.add_argument("--links-only", action="store_true",
                        help="measure only the live spots with one and with two SDR programs")
    args = parser.parse_args()
    exes = [tuple(item.split("=", 1)) if "=" in item else (item, item) for item in args.exe]
    width = max(len(name) for name, _ in exes)
    if args.links_only:
        print_links(exes, width)
        return 0

    held = {name: measure_held_document(path) for name, path in exes}
    print(f"\nThe document held: {HELD_SPOTS} calls flooding for {HELD_SECONDS} s, then a kill "
          "and a start over the old document")
    print(f"  {'':<{width}}  {'datagrams':>9} {'per s':>6} {'journals peak MiB':>18} "
          f"{'at the end':>10} {'live':>5} {'lost':>5} {'extra':>6} {'lines':>6}")
    for name, _ in exes:
        r = held[name]
        print(f"  {name:<{width}}  {r['sent']:>9} {r['rate']:>6.0f} "
              f"{r['peak'] / 1048576:>18.1f} {r['last'] / 1048576:>10.1f} {r['live']:>5} "
              f"{r['lost']:>5} {r['extra']:>6} {r['said']:>6}")
    print("  (lost: calls whose spot the SDR was not shown as N1MM+ last sent it after the kill;"
          " extra: calls shown that N1MM+ deleted; lines: \"cannot be replaced\" lines in the log)")
    if args.state_only:
        return 0

    flood = {name: measure_flood(path) for name, path in exes}
    burst = {name: measure_burst(path) for name, path in exes}
    messages = {(kind, name): measure_burst(path, lambda sdr, t=text: _message(sdr, t), debug,
                                            spots)
                for kind, debug, spots, text in MESSAGES for name, path in exes}

    print(f"\nSpot flood: {FLOOD_SPOTS} adds of distinct calls with {COMMENT_BYTES}-byte "
          "comments, SDR connected")
    huge = f"... {HUGE_COMMENT_BYTES}-byte comment"
    print(f"  {'':<{width}}  {'idle MiB':>9} {'peak MiB':>9} {'spot:':>7} {'spot_delete:':>13} "
          f"{'longest TCI text':>17} {'seconds':>8}   {huge:>24}")
    for name, _ in exes:
        r = flood[name]
        print(f"  {name:<{width}}  {mib(r['idle']):>9} {mib(r['peak']):>9} {r['spots']:>7} "
              f"{r['deletes']:>13} {r['longest']:>17} {r['seconds']:>8.1f}   {r['huge']:>24}")
    def show(name, r, handled=False):
        if handled:
            took = f"{r['handled']:.2f}" if r["handled"] is not None else f">{HANDLE_LIMIT}"
            name_cell = f"{name:<{width}}  {took:>8}"
        else:
            name_cell = f"{name:<{width}}"
        if r["relays"] is not None:
            verdict = f"yes, after {r['relays']:.1f} s"
        else:
            verdict = "no" if r["alive"] else "no: the bridge ended"
        verdict += f" ({r['connections']} connection(s) in all)"
        print(f"  {name_cell}  {mib(r['idle']):>9} {mib(r['peak']):>9}  {verdict}")

    print(f"\nBurst from the SDR: {BURST_BYTES // (1024 * 1024)} MiB of empty text frames "
          "in one write")
    print(f"  {'':<{width}}  {'idle MiB':>9} {'peak MiB':>9}  relays a spot afterwards")
    for name, _ in exes:
        show(name, burst[name])
    for kind, debug, _, _ in MESSAGES:
        print(f"\nOne {MESSAGE_BYTES // (1024 * 1024)} MiB text message from the SDR: {kind} "
              f"(Debug {debug})")
        print(f"  {'':<{width}}  {'handled':>8}  {'idle MiB':>9} {'peak MiB':>9}  "
              "relays a spot afterwards")
        for name, _ in exes:
            show(name, messages[(kind, name)], handled=True)
    print("  (handled: seconds from the write to the pong that answers a ping sent behind it)")
    print("  (peak: VmHWM of the whole process; idle: the same just before the load began)")
    print_links(exes, width)
    return 0


if __name__ == "__main__":
    sys.exit(main())
