#!/usr/bin/python3
"""A simulated ExpertSDR TCI server: the SDR end of Tarnwick, on loopback.

Usable as a library (tests and the demo start a TciServer in a background
thread) and as a command that serves until Ctrl+C and prints what it hears.

It greets every client as ExpertSDR does, records every command it receives
with a timestamp, can send "stop;", "start;" or "dds:..." on demand, can drop
a connection or stop listening for a while, and after "iq_start:<rx>;" streams
IQ frames in the TCI layout at the requested sample rate: a band of test
signals (steady tones, keyed CW, SSB-like voice) plus noise.

The WebSocket itself is Python's websockets by default; stack="qt" or "node" puts Qt 5's
QWebSocketServer or Node's ws in its place, run as a child (tci_stack_qt.py, tci_stack_ws.js)
that hands every message over, so that the same SDR plays on each stack.
"""

import argparse
import asyncio
import math
import os
import signal
import subprocess
import struct
import sys
import threading
import time
from dataclasses import dataclass, field

import numpy as np
import websockets

import tci_stack

HERE = os.path.dirname(os.path.abspath(__file__))
STACKS = ("python", "qt", "node")

IQ_HEADER_SIZE = 64
IQ_SAMPLES_PER_FRAME = 2048
SAMPLE_FORMAT_FLOAT32 = 3
STREAM_TYPE_IQ = 0

_HEADER = struct.Struct("<8I")


# --------------------------------------------------------------------------
# IQ frames


def build_iq_frame(receiver, sample_rate, samples, stream_type=STREAM_TYPE_IQ,
                   sample_format=SAMPLE_FORMAT_FLOAT32, codec=0, crc=0, channels=2):
    """One binary TCI stream message: 64-byte header, then float32 I/Q pairs.

    The header holds little-endian u32 fields receiver, sample_rate, format,
    codec, crc, length (number of floats that follow), type and channels,
    then zeros up to 64 bytes.
    """
    data = np.ascontiguousarray(samples, dtype=np.complex64)
    floats = data.view(np.float32).astype("<f4", copy=False)
    header = _HEADER.pack(receiver, sample_rate, sample_format, codec, crc, floats.size,
                          stream_type, channels)
    return header + bytes(IQ_HEADER_SIZE - len(header)) + floats.tobytes()


@dataclass
class IqFrame:
    receiver: int
    sample_rate: int
    sample_format: int
    codec: int
    crc: int
    length: int
    stream_type: int
    channels: int
    reserved: bytes
    samples: np.ndarray  # complex64


def parse_iq_frame(frame):
    """Reads a frame built by build_iq_frame (for tests and diagnostics)."""
    if len(frame) < IQ_HEADER_SIZE:
        raise ValueError("frame shorter than its header")
    fields = _HEADER.unpack_from(frame, 0)
    length = fields[5]
    if IQ_HEADER_SIZE + 4 * length > len(frame):
        raise ValueError("length field claims more data than the frame holds")
    floats = np.frombuffer(frame, dtype="<f4", count=length, offset=IQ_HEADER_SIZE)
    samples = floats[: length - length % 2].astype(np.float32).view(np.complex64)
    return IqFrame(*fields, reserved=bytes(frame[_HEADER.size:IQ_HEADER_SIZE]), samples=samples)


# --------------------------------------------------------------------------
# Signals. Each renders `count` complex samples starting at absolute sample
# index `start`, so phases run on unbroken from one frame to the next.


def _phase(offset_hz, start, count, fs):
    n = np.arange(start, start + count, dtype=np.float64)
    return 2.0 * math.pi * offset_hz * n / fs


@dataclass
class Tone:
    """A steady carrier at offset_hz from the DDS frequency."""
    offset_hz: float
    amplitude: float

    def render(self, start, count, fs):
        return self.amplitude * np.exp(1j * _phase(self.offset_hz, start, count, fs))


_MORSE = {
    "A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.",
    "H": "....", "I": "..", "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.",
    "O": "---", "P": ".--.", "Q": "--.-", "R": ".-.", "S": "...", "T": "-", "U": "..-",
    "V": "...-", "W": ".--", "X": "-..-", "Y": "-.--", "Z": "--..", "0": "-----",
    "1": ".----", "2": "..---", "3": "...--", "4": "....-", "5": ".....", "6": "-....",
    "7": "--...", "8": "---..", "9": "----.", "/": "-..-.", "?": "..--..",
}


def morse_key_pattern(text):
    """On/off keying, one entry per dit: dit 1, dah 3, gaps 1, 3 and 7 dits."""
    units = []
    for word in text.upper().split():
        for letter in word:
            for symbol in _MORSE.get(letter, ""):
                units += [1] * (1 if symbol == "." else 3) + [0]
            units += [0, 0]
        units += [0] * 4
    return np.array(units or [0], dtype=np.float64)


@dataclass
class CwSignal:
    """A keyed carrier sending `text` over and over at `wpm` words a minute.

    The keying has 5 ms raised-cosine edges, as a decent transmitter has; hard
    keying would splatter clicks across the whole band.
    """
    offset_hz: float
    amplitude: float
    text: str = "CQ TEST"
    wpm: float = 28.0
    rise_s: float = 0.005
    _pattern: np.ndarray = field(init=False, repr=False)

    def __post_init__(self):
        self._pattern = morse_key_pattern(self.text)

    def envelope(self, start, count, fs):
        dit = max(1, int(round(1.2 / self.wpm * fs)))
        ramp = max(1, int(round(self.rise_s * fs)))
        n = np.arange(start - ramp + 1, start + count, dtype=np.int64)
        key = self._pattern[(n // dit) % self._pattern.size]
        if ramp == 1:
            return key
        shape = np.hanning(ramp + 2)[1:-1]
        return np.convolve(key, shape / shape.sum(), mode="valid")

    def render(self, start, count, fs):
        return (self.amplitude * self.envelope(start, count, fs)
                * np.exp(1j * _phase(self.offset_hz, start, count, fs)))


@dataclass
class SsbSignal:
    """A voice on single sideband: the harmonics of a wandering pitch under two
    moving formants and a syllabic envelope.

    offset_hz is the suppressed carrier; the audio occupies about 300..2700 Hz
    above it (upper sideband) or below it (lower sideband).
    """
    offset_hz: float
    amplitude: float
    upper: bool = True
    seed: int = 7
    pitch_hz: float = 0.0

    def __post_init__(self):
        rng = np.random.default_rng(self.seed)
        if not self.pitch_hz:
            self.pitch_hz = float(rng.uniform(95.0, 180.0))
        self._wobble = (float(rng.uniform(0.3, 0.8)), float(rng.uniform(0.0, 2 * math.pi)))
        self._syllable = (float(rng.uniform(2.5, 4.0)), float(rng.uniform(0.2, 0.5)))
        self._formants = float(rng.uniform(0.0, 2 * math.pi))

    def render(self, start, count, fs):
        t = np.arange(start, start + count, dtype=np.float64) / fs
        rate, phase0 = self._wobble
        depth = 0.12
        # The pitch p(t) = p0 (1 + depth sin(2 pi rate t + phase0)), integrated for the phase.
        w = 2.0 * math.pi * rate
        pitch = self.pitch_hz * (1.0 + depth * np.sin(w * t + phase0))
        cycles = self.pitch_hz * (t - depth / w * (np.cos(w * t + phase0) - math.cos(phase0)))
        f1 = 700.0 + 250.0 * np.sin(2.0 * math.pi * 1.3 * t + self._formants)
        f2 = 1800.0 + 400.0 * np.sin(2.0 * math.pi * 0.9 * t + 2.0 * self._formants)
        syl_rate, syl_slow = self._syllable
        envelope = np.clip(np.sin(2.0 * math.pi * syl_rate * t) *
                           (0.6 + 0.4 * np.sin(2.0 * math.pi * syl_slow * t)), 0.0, None) ** 0.5
        audio = np.zeros(count, dtype=np.complex128)
        sign = 1.0 if self.upper else -1.0
        for k in range(2, int(2700.0 / self.pitch_hz) + 1):
            f = k * pitch
            weight = (np.exp(-((f - f1) / 350.0) ** 2) + 0.6 * np.exp(-((f - f2) / 450.0) ** 2))
            weight = np.where((f > 300.0) & (f < 2700.0), weight, 0.0)
            audio += weight * np.exp(1j * sign * 2.0 * math.pi * k * cycles)
        carrier = np.exp(1j * _phase(self.offset_hz, start, count, fs))
        return self.amplitude * envelope * audio * carrier


@dataclass
class Band:
    """What the receiver hears: signals plus complex white noise."""
    signals: list = field(default_factory=list)
    noise: float = 1e-3
    seed: int = 1

    def __post_init__(self):
        self._rng = np.random.default_rng(self.seed)

    def render(self, start, count, fs):
        out = (self._rng.standard_normal(count) + 1j * self._rng.standard_normal(count))
        out *= self.noise / math.sqrt(2.0)
        for signal_ in self.signals:
            out += signal_.render(start, count, fs)
        return out.astype(np.complex64)


# --------------------------------------------------------------------------
# Qt's and Node's WebSocket servers, as children


class _StackConnection:
    """One connection of a child stack, as the server's handler uses a websockets one."""

    def __init__(self, stack, conn):
        self._stack = stack
        self._conn = conn
        self._messages = asyncio.Queue()
        self.closed = False
        self.close_code = None
        self.close_reason = ""
        # As with websockets, transport.close() drops the TCP connection without a close frame.
        self.transport = argparse.Namespace(close=self.close_tcp)

    async def send(self, message):
        if self.closed:
            raise websockets.ConnectionClosed(None, None)
        if isinstance(message, str):
            self._stack.write(b"T", self._conn, message.encode("utf-8"))
        else:
            self._stack.write(b"B", self._conn, bytes(message))

    async def close(self):
        if not self.closed:
            self._stack.write(b"X", self._conn, b"")

    def close_tcp(self):
        if not self.closed:
            self._stack.write(b"K", self._conn, b"")

    def __aiter__(self):
        return self

    async def __anext__(self):
        message = await self._messages.get()
        if message is None:
            raise StopAsyncIteration
        return message

    def _arrived(self, message):
        self._messages.put_nowait(message)

    def _ended(self, payload):
        code, _, reason = payload.decode("utf-8", "replace").partition(" ")
        self.closed = True
        self.close_code = int(code) if code.lstrip("-").isdigit() else None
        self.close_reason = reason
        self._messages.put_nowait(None)



class _ChildStack:
    """A stack's process: its records come in on a thread and are handled in the loop."""

    def __init__(self, name, host, port, loop, on_connect):
        if name == "qt":
            command = [sys.executable, os.path.join(HERE, "tci_stack_qt.py"), host, str(port)]
        else:
            command = ["node", os.path.join(HERE, "tci_stack_ws.js"), host, str(port)]
        env = dict(os.environ, NODE_PATH="/usr/share/nodejs")
        self._process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         env=env)
        self._loop = loop
        self._on_connect = on_connect
        self._connections = {}
        self._lock = threading.Lock()
        self._listening = asyncio.Event()
        self.port = None
        self._reader = threading.Thread(target=self._read, name=f"tci-{name}", daemon=True)
        self._reader.start()

    async def wait_listening(self):
        await asyncio.wait_for(self._listening.wait(), 20)

    def write(self, kind, conn, payload):
        with self._lock:
            try:
                self._process.stdin.write(tci_stack.record(kind, conn, payload))
                self._process.stdin.flush()
            except (BrokenPipeError, ValueError):
                pass

    def _read(self):
        reader = tci_stack.RecordReader()
        while True:
            data = self._process.stdout.read1(1 << 16)
            if not data:
                return
            for item in reader.feed(data):
                self._loop.call_soon_threadsafe(self._handle, *item)

    def _handle(self, kind, conn, payload):
        if kind == b"L":
            self.port = int(payload)
            self._listening.set()
        elif kind == b"C":
            ws = self._connections[conn] = _StackConnection(self, conn)
            asyncio.ensure_future(self._on_connect(ws))
        elif kind in (b"T", b"B") and conn in self._connections:
            self._connections[conn]._arrived(
                payload.decode("utf-8", "surrogateescape") if kind == b"T" else payload)
        elif kind == b"D" and conn in self._connections:
            self._connections.pop(conn)._ended(payload)

    def close(self):
        """Ends the child; blocking, so it runs off the loop. drain() then ends what is left."""
        self._process.stdin.close()
        try:
            self._process.wait(5)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()

    def drain(self):
        """On the loop's thread: the connections the child left open end without a close."""
        for ws in list(self._connections.values()):
            ws._ended(b"1006 ")
        self._connections.clear()


# --------------------------------------------------------------------------
# The server


def greeting(dds_hz=14074000, sample_rate=48000, device="SunSDR2PRO", more_dds=None):
    """What ExpertSDR sends to every new client, one message each, in order; more_dds maps
    further receivers to their DDS frequencies."""
    more = [f"dds:{rx},{hz};" for rx, hz in sorted((more_dds or {}).items())]
    return [
        "protocol:ExpertSDR3,1.8;",
        f"device:{device};",
        "receive_only:false;",
        "trx_count:2;",
        "channels_count:2;",
        "vfo_limits:10000,160000000;",
        "if_limits:-48000,48000;",
        "modulations_list:AM,SAM,DSB,LSB,USB,CW,NFM,DIGL,DIGU,WFM,DRM;",
        f"iq_samplerate:{sample_rate};",
        f"dds:0,{dds_hz};",
        *more,
        "if:0,0,0;",
        f"vfo:0,0,{dds_hz};",
        "modulation:0,CW;",
        "start;",
        "ready;",
    ]


def split_command(text):
    """TCI text "name:args;" -> (name, args); a message without ':' has no args."""
    body = text[:-1] if text.endswith(";") else text
    name, _, args = body.partition(":")
    return name, args


@dataclass
class Received:
    t: float          # time.monotonic() on arrival
    connection: int   # 1 for the first connection, 2 for the next, ...
    text: str         # the message as received (binary messages as None)
    size: int = 0


@dataclass
class ConnectionEvent:
    t: float
    connection: int
    kind: str         # "connect" or "disconnect"
    close_code: int = None
    close_reason: str = ""


class TciServer:
    """The SDR peer. start() returns once it listens; close() stops it."""

    def __init__(self, host="127.0.0.1", port=0, dds_hz=14074000, sample_rate=48000,
                 band=None, stream_iq=True, frame_samples=IQ_SAMPLES_PER_FRAME,
                 send_greeting=True, ping_interval=20.0, on_message=None, receivers=None,
                 stack="python", stream_rate=None):
        """receivers maps a receiver number other than 0 to (dds_hz, Band): what that receiver
        is tuned to and hears. Receiver 0 is dds_hz and band. stack is one of STACKS; Qt and
        Node never ping, whatever ping_interval says, and cannot stop listening. stream_rate,
        when given, is the rate the IQ stream comes at and its frames' headers say, whatever
        "iq_samplerate" asks: a server that keeps the rate another client set."""
        if stack not in STACKS:
            raise ValueError(f"stack must be one of {STACKS}, not {stack!r}")
        self.stack = stack
        self._child = None
        self.host = host
        self.port = port
        self.dds_hz = dds_hz
        self.sample_rate = sample_rate
        self.stream_rate = stream_rate
        self.band = band if band is not None else Band()
        self.receivers = dict(receivers or {})
        self.stream_iq = stream_iq
        self.frame_samples = frame_samples
        self.send_greeting = send_greeting
        self.ping_interval = ping_interval
        self.on_message = on_message          # called from the server thread
        self.received = []
        self.events = []
        self.frames_sent = 0
        self.frames_by_connection = {}
        self._cond = threading.Condition()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="tci-server",
                                        daemon=True)
        self._server = None
        self._retired = []
        self._connections = {}   # id -> websocket
        self._streams = {}       # (id, receiver) -> asyncio task
        self._next_id = 1
        self._sample_index = {}  # receiver -> samples rendered so far

    # ---- lifecycle (any thread)

    def start(self):
        self._thread.start()
        self._call(self._listen())
        return self

    def close(self):
        if not self._thread.is_alive():
            return
        try:
            self._call(self._shutdown(), timeout=10)
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def stop_listening(self):
        """Stops accepting new connections (open ones stay)."""
        self._call(self._unlisten())

    def start_listening(self):
        """Listens again on the same port."""
        self._call(self._listen())

    @property
    def url(self):
        return f"ws://{self.host}:{self.port}/"

    # ---- talking to the client (any thread)

    def send(self, text, connection=None):
        """Sends one text message to the given, or to every open, connection."""
        return self._call(self._send_text(text, connection))

    def send_stop(self):
        return self.send("stop;")

    def send_start(self):
        return self.send("start;")

    def send_dds(self, receiver, hz):
        return self.send(f"dds:{receiver},{hz};")

    def drop(self, graceful=False):
        """Ends every open connection from the server side.

        By default the TCP connection is simply closed, as when the SDR program
        quits; graceful=True starts a WebSocket close handshake instead.
        """
        self._call(self._drop(graceful))

    # ---- what happened (any thread)

    def texts(self, connection=None, since=0):
        with self._cond:
            return [r.text for r in self.received[since:]
                    if r.text is not None and (connection is None or r.connection == connection)]

    def mark(self):
        """Index into `received` for later `since=` queries."""
        with self._cond:
            return len(self.received)

    def connection_count(self):
        with self._cond:
            return sum(1 for e in self.events if e.kind == "connect")

    def open_connections(self):
        with self._cond:
            return sorted(self._connections)

    def wait_until(self, predicate, timeout):
        """Waits until predicate(self) holds; returns whether it did."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate(self):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(min(left, 0.2))
            return True

    def wait_for_text(self, text, timeout, since=0):
        """Waits for a received message equal to text; returns its index or None."""
        found = []

        def seen(server):
            for i in range(since, len(server.received)):
                if server.received[i].text == text:
                    found.append(i)
                    return True
            return False

        return found[0] if self.wait_until(seen, timeout) else None

    def wait_for_count(self, predicate, count, timeout, since=0):
        """Waits until at least `count` received texts satisfy predicate(text)."""
        return self.wait_until(
            lambda s: sum(1 for r in s.received[since:]
                          if r.text is not None and predicate(r.text)) >= count, timeout)

    def wait_connected(self, count=1, timeout=10.0):
        return self.wait_until(lambda s: s.connection_count() >= count and s._connections,
                               timeout)

    # ---- inside the server thread

    def _call(self, coro, timeout=10):
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout)

    async def _listen(self):
        if self.stack != "python":
            if self._child is None:
                self._child = _ChildStack(self.stack, self.host, self.port, self._loop,
                                          self._handler)
                await self._child.wait_listening()
                self.port = self._child.port
            return
        if self._server is not None:
            return
        self._server = await websockets.serve(
            self._handler, self.host, self.port, compression=None, max_size=None,
            ping_interval=self.ping_interval, ping_timeout=self.ping_interval)
        self.port = self._server.sockets[0].getsockname()[1]

    async def _unlisten(self):
        if self.stack != "python":
            raise NotImplementedError("only the Python stack stops listening")
        if self._server is None:
            return
        server, self._server = self._server, None
        # Only the listening socket closes; connections already open carry on.
        server.server.close()
        self._retired.append(server)
        await asyncio.sleep(0)

    async def _shutdown(self):
        for task in list(self._streams.values()):
            task.cancel()
        await self._drop(graceful=False)
        if self._child is not None:
            child, self._child = self._child, None
            await self._loop.run_in_executor(None, child.close)
            await asyncio.sleep(0.1)
            child.drain()
        servers = self._retired + ([self._server] if self._server is not None else [])
        self._server, self._retired = None, []
        for server in servers:
            server.close()
            await server.wait_closed()

    async def _drop(self, graceful=False):
        for ws in list(self._connections.values()):
            if graceful:
                asyncio.ensure_future(ws.close())
            else:
                ws.transport.close()
        await asyncio.sleep(0)

    async def _send_text(self, text, connection):
        targets = ([self._connections[connection]] if connection in self._connections
                   else [] if connection is not None else list(self._connections.values()))
        for ws in targets:
            try:
                await ws.send(text)
            except websockets.ConnectionClosed:
                pass
        return len(targets)

    def _record(self, item):
        with self._cond:
            if isinstance(item, Received):
                self.received.append(item)
            else:
                self.events.append(item)
            self._cond.notify_all()

    async def _handler(self, ws):
        conn = self._next_id
        self._next_id += 1
        self._connections[conn] = ws
        self._record(ConnectionEvent(time.monotonic(), conn, "connect"))
        try:
            if self.send_greeting:
                more = {rx: hz for rx, (hz, _) in self.receivers.items()}
                for text in greeting(self.dds_hz, self.sample_rate, more_dds=more):
                    await ws.send(text)
            async for message in ws:
                if isinstance(message, bytes):
                    self._record(Received(time.monotonic(), conn, None, len(message)))
                    continue
                self._record(Received(time.monotonic(), conn, message, len(message)))
                if self.on_message is not None:
                    self.on_message(conn, message)
                self._react(conn, ws, message)
        except websockets.ConnectionClosed:
            pass
        finally:
            for key in [key for key in self._streams if key[0] == conn]:
                self._streams.pop(key).cancel()
            self._connections.pop(conn, None)
            self._record(ConnectionEvent(time.monotonic(), conn, "disconnect", ws.close_code,
                                         ws.close_reason or ""))

    def _react(self, conn, ws, message):
        name, args = split_command(message)
        if name == "iq_samplerate":
            try:
                self.sample_rate = int(args)
            except ValueError:
                pass
        elif name == "iq_start" and self.stream_iq:
            try:
                receiver = int(args)
            except ValueError:
                return
            old = self._streams.pop((conn, receiver), None)
            if old is not None:
                old.cancel()
            self._streams[(conn, receiver)] = asyncio.ensure_future(
                self._stream(conn, ws, receiver))
        elif name == "iq_stop":
            try:
                receiver = int(args)
            except ValueError:
                return
            task = self._streams.pop((conn, receiver), None)
            if task is not None:
                task.cancel()

    async def _stream(self, conn, ws, receiver):
        """Frames at sample_rate / frame_samples a second, on a steady schedule."""
        loop = asyncio.get_running_loop()
        next_time = loop.time()
        while True:
            rate = self.stream_rate or self.sample_rate
            band = self.receivers[receiver][1] if receiver in self.receivers else self.band
            start = self._sample_index.get(receiver, 0)
            samples = band.render(start, self.frame_samples, rate)
            self._sample_index[receiver] = start + self.frame_samples
            try:
                await ws.send(build_iq_frame(receiver, rate, samples))
            except websockets.ConnectionClosed:
                return
            with self._cond:
                self.frames_sent += 1
                self.frames_by_connection[conn] = self.frames_by_connection.get(conn, 0) + 1
            next_time += self.frame_samples / rate
            delay = next_time - loop.time()
            if delay < -0.5:           # fell far behind (machine busy): start afresh
                next_time = loop.time()
            await asyncio.sleep(max(0.0, delay))



# --------------------------------------------------------------------------
# Command line


def parse_signal(text):
    """'tone:3000:0.1', 'cw:-5000:0.05[:TEXT[:WPM]]', 'usb:8000:0.03', 'lsb:-9000:0.03'."""
    parts = text.split(":")
    kind = parts[0].lower()
    if len(parts) < 3:
        raise argparse.ArgumentTypeError(f"signal needs kind:offset:amplitude, got {text!r}")
    offset, amplitude = float(parts[1]), float(parts[2])
    if kind == "tone":
        return Tone(offset, amplitude)
    if kind == "cw":
        words = parts[3] if len(parts) > 3 else "CQ TEST"
        wpm = float(parts[4]) if len(parts) > 4 else 28.0
        return CwSignal(offset, amplitude, words, wpm)
    if kind in ("usb", "lsb"):
        return SsbSignal(offset, amplitude, upper=(kind == "usb"))
    raise argparse.ArgumentTypeError(f"unknown signal kind {kind!r}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulated ExpertSDR TCI server (loopback).")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=40001)
    parser.add_argument("--dds", type=int, default=14074000, help="receiver 0 DDS, Hz")
    parser.add_argument("--rate", type=int, default=48000, help="initial IQ sample rate")
    parser.add_argument("--noise", type=float, default=1e-3)
    parser.add_argument("--signal", action="append", type=parse_signal, default=[],
                        help="tone:OFFSET:AMP, cw:OFFSET:AMP[:TEXT[:WPM]], usb|lsb:OFFSET:AMP")
    parser.add_argument("--no-iq", action="store_true", help="never stream IQ")
    args = parser.parse_args(argv)

    band = Band(args.signal or [Tone(3000.0, 0.1)], noise=args.noise)

    def show(conn, text):
        print(f"{time.strftime('%H:%M:%S')} [{conn}] {text}", flush=True)

    server = TciServer(args.host, args.port, args.dds, args.rate, band,
                       stream_iq=not args.no_iq, on_message=show).start()
    print(f"TCI server listening on {server.url}", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    seen = 0
    while not stop.wait(0.5):
        with server._cond:
            events = server.events[seen:]
            seen = len(server.events)
        for e in events:
            print(f"{time.strftime('%H:%M:%S')} [{e.connection}] {e.kind}", flush=True)
    server.close()
    print(f"stopped; {len(server.texts())} commands received, {server.frames_sent} IQ frames "
          "sent", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
