"""An SDR that cannot be reached, in each of the ways a field station meets: a TCI port that
accepts the connection and never answers, a host that never answers the connection request, and
a host name that no name server answers for.

SilentTci runs anywhere. DroppingHost and SilentResolver need root: the first puts the SDR's
address behind a veth pair into a network namespace where nobody has it, the second gives the
bridge a mount namespace of its own (prefix()) in which /etc/resolv.conf names a name server that
takes every query and never answers.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time


def can_isolate():
    """Root and the tools for namespaces: DroppingHost and SilentResolver work here."""
    return os.geteuid() == 0 and shutil.which("ip") and shutil.which("unshare")


class SilentTci:
    """Accepts TCP connections on 127.0.0.1 and never sends or reads a byte."""

    def __init__(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        # A thread blocked in accept would keep the socket open past close(): it looks often.
        self._listener.settimeout(0.1)
        self._closed = threading.Event()
        self.port = self._listener.getsockname()[1]
        self.accepted = []  # time.monotonic() of each connection
        self._held = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self._closed.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self._held.append(conn)
                self.accepted.append(time.monotonic())

    def connections(self):
        with self._lock:
            return list(self.accepted)

    def close(self):
        self._closed.set()
        self._thread.join()
        self._listener.close()
        with self._lock:
            for conn in self._held:
                conn.close()
            self._held = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class DroppingHost:
    """An address on a link of its own whose host never answers: connection requests to it go
    unanswered, as to a PC that is switched off."""

    def __init__(self):
        tag = f"twd{os.getpid() % 100000}"
        self.ns, self.outer, self.inner = tag, tag + "h", tag + "n"
        net = 16 + os.getpid() % 200
        self.address = f"10.214.{net}.2"
        self.port = 40001
        for command in (["ip", "netns", "add", self.ns],
                        ["ip", "link", "add", self.outer, "type", "veth", "peer", "name",
                         self.inner],
                        ["ip", "link", "set", self.inner, "netns", self.ns],
                        ["ip", "addr", "add", f"10.214.{net}.1/30", "dev", self.outer],
                        ["ip", "link", "set", self.outer, "up"],
                        ["ip", "netns", "exec", self.ns, "ip", "link", "set", self.inner, "up"]):
            subprocess.run(command, check=True, capture_output=True)

    def close(self):
        subprocess.run(["ip", "link", "del", self.outer], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.ns], capture_output=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class SilentResolver:
    """A name server on a loopback address of its own that counts queries and answers none."""

    NAME = "sdr.tarnwick-unreachable.test"

    def __init__(self, wait_seconds=30):
        self.address = f"127.53.{os.getpid() % 250}.1"
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.bind((self.address, 53))
        self._socket.settimeout(0.1)
        self._closed = threading.Event()
        self.queries = []  # time.monotonic() of each query
        self._lock = threading.Lock()
        self._dir = tempfile.mkdtemp(prefix="tarnwick-resolver-")
        self.resolv_conf = os.path.join(self._dir, "resolv.conf")
        self.nsswitch_conf = os.path.join(self._dir, "nsswitch.conf")
        with open(self.resolv_conf, "w", encoding="ascii") as f:
            f.write(f"nameserver {self.address}\noptions timeout:{wait_seconds} attempts:1\n")
        # The name is not in /etc/hosts; nothing but this server may answer for it.
        with open(self.nsswitch_conf, "w", encoding="ascii") as f:
            f.write("hosts: files dns\n")
        self._thread = threading.Thread(target=self._listen, daemon=True)
        self._thread.start()

    def _listen(self):
        while not self._closed.is_set():
            try:
                self._socket.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.queries.append(time.monotonic())

    def query_times(self):
        with self._lock:
            return list(self.queries)

    def prefix(self):
        """Runs a command in a mount namespace where this server is the system's name server."""
        script = (f"mount --bind {self.resolv_conf} /etc/resolv.conf && "
                  f"mount --bind {self.nsswitch_conf} /etc/nsswitch.conf && exec \"$0\" \"$@\"")
        return ["unshare", "--mount", "--", "sh", "-c", script]

    def close(self):
        self._closed.set()
        self._thread.join()
        self._socket.close()
        shutil.rmtree(self._dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
