#!/usr/bin/python3
"""How long the bridge takes to reach the SDR through a name whose first address drops every SYN.

Usage: connect_race.py --exe PATH [--rounds N]

The name is sdr-pc, given by an /etc/hosts of the bridge's own (a mount namespace; needs root and
unshare) as ::1 first, then 127.0.0.1, as Windows and most resolvers order them. The SDR peer
listens on 127.0.0.1 only; on [::1] at the same port a listener whose accept queue is full drops
every SYN, as a firewall in stealth mode does. With the live address alone as the baseline, each
round waits until the bridge's next attempt is due (5 s after the last one ended), ends the
connection from the SDR's side and times the bridge's new connection. A figure, not a test.
"""

import argparse
import os
import shutil
import socket
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))

import tci_server  # noqa: E402
from tarnwick_process import Tarnwick, free_port  # noqa: E402

# An attempt is due this long after the last one ended, here the one that opened the connection.
RECONNECT_S = 5.0


def silent_listener(port):
    """[::1]:port with its one place in the accept queue taken: Linux drops what comes next."""
    listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    listener.bind(("::1", port))
    listener.listen(0)
    filler = socket.create_connection(("::1", port))
    return listener, filler


def measure(exe, first_silent, rounds):
    folder = tempfile.mkdtemp(prefix="tarnwick-race-")
    held = []
    sdr = tci_server.TciServer(stream_iq=False, ping_interval=None).start()
    try:
        if first_silent:
            held = silent_listener(sdr.port)
        hosts = os.path.join(folder, "hosts")
        with open(hosts, "w", encoding="ascii") as f:
            f.write(("::1 sdr-pc\n" if first_silent else "") + "127.0.0.1 sdr-pc\n")
        prefix = ["unshare", "--mount", "--", "sh", "-c",
                  f"mount --bind {hosts} /etc/hosts && exec \"$0\" \"$@\""]
        bridge = Tarnwick(exe, settings={"N1MMSpotPort": free_port(), "TCIHost": "sdr-pc",
                                         "TCIPort": str(sdr.port), "Debug": 0},
                          emulator=prefix).start()
        try:
            if not sdr.wait_connected(1, 30):
                raise RuntimeError("the bridge never connected:\n" + bridge.tail(20))
            figures = []
            for connection in range(2, rounds + 2):
                time.sleep(RECONNECT_S + 0.5)
                ended = time.monotonic()
                sdr.drop()
                if not sdr.wait_connected(connection, 15):
                    raise RuntimeError("no new connection:\n" + bridge.tail(20))
                arrived = next(e.t for e in sdr.events
                               if e.kind == "connect" and e.connection == connection)
                figures.append((arrived - ended) * 1000.0)
            bridge.interrupt()
            return figures
        finally:
            bridge.close()
    finally:
        for s in held:
            s.close()
        sdr.close()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("connect_race.py needs root and unshare for an /etc/hosts of the bridge's own")
        return 0
    for first_silent, what in ((True, "first address (::1) drops every SYN"),
                               (False, "live address (127.0.0.1) alone")):
        figures = measure(os.path.abspath(args.exe), first_silent, args.rounds)
        print(f"{what}: connected {statistics.median(figures):.0f} ms after the SDR ended "
              f"the last connection (median of {len(figures)}; {min(figures):.0f} to {max(figures):.0f} ms)",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
