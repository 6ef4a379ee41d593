#!/usr/bin/python3
"""The N1MM+ end of Tarnwick, on loopback.

Builds spot and RadioInfo datagrams in N1MM+'s own XML layout and sends them
to the bridge's spot port; receives the spectrum datagrams that the bridge
sends back and reads them with Python's own XML parser.
"""

import argparse
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from xml.sax.saxutils import escape

# The seven status words the bridge colours by, and the one N1MM+ also sends.
STATUSES = ["busy", "bust", "cq", "dupe", "single mult", "double mult", "new qso", "qtc"]

_DECLARATION = '<?xml version="1.0" encoding="utf-8"?>\n'


def _element(name, value, indent="  "):
    return f"{indent}<{name}>{escape(str(value))}</{name}>\n"


def format_khz(khz):
    """N1MM+ writes spot frequencies in kHz with one decimal: 14025.3."""
    return f"{khz:.1f}"


def spot_datagram(dxcall, frequency_khz, status="new qso", comment="", action="add",
                  spotter="W1AW", station="CONTEST-PC", statuslist=None, timestamp=None,
                  omit=()):
    """One N1MM+ spot broadcast as bytes.

    frequency_khz may be a number (formatted like N1MM+ does) or a text sent
    as it stands. Elements named in `omit` are left out, to test how a
    missing element is read.
    """
    if timestamp is None:
        timestamp = time.strftime("%Y/%m/%d %H:%M:%S", time.gmtime())
    if statuslist is None:
        statuslist = status
    frequency = frequency_khz if isinstance(frequency_khz, str) else format_khz(frequency_khz)
    fields = [
        ("app", "N1MM"),
        ("StationName", station),
        ("dxcall", dxcall),
        ("frequency", frequency),
        ("spottercall", spotter),
        ("comment", comment),
        ("action", action),
        ("status", status),
        ("statuslist", statuslist),
        ("timestamp", timestamp),
    ]
    body = "".join(_element(n, v) for n, v in fields if n not in omit)
    return (_DECLARATION + "<spot>\n" + body + "</spot>\n").encode("utf-8")


def radio_info_datagram(freq_khz, radio_nr=1, tx_freq_khz=None, mode="CW",
                        station="CONTEST-PC", op_call="N1MM", radio_name="SunSDR2PRO"):
    """One N1MM+ RadioInfo broadcast as bytes; Freq and TXFreq in tens of hertz."""
    def tens_of_hz(khz):
        return str(int(round(khz * 100)))

    tx = freq_khz if tx_freq_khz is None else tx_freq_khz
    fields = [
        ("app", "N1MM"),
        ("StationName", station),
        ("RadioNr", radio_nr),
        ("Freq", tens_of_hz(freq_khz) if not isinstance(freq_khz, str) else freq_khz),
        ("TXFreq", tens_of_hz(tx) if not isinstance(tx, str) else tx),
        ("Mode", mode),
        ("OpCall", op_call),
        ("IsRunning", "False"),
        ("FocusEntry", "0"),
        ("EntryWindowHwnd", "0"),
        ("Antenna", "0"),
        ("Rotors", ""),
        ("FocusRadioNr", radio_nr),
        ("IsStereo", "False"),
        ("IsSplit", "False"),
        ("ActiveRadioNr", radio_nr),
        ("IsTransmitting", "False"),
        ("FunctionKeyCaption", ""),
        ("RadioName", radio_name),
        ("AuxAntSelected", "-1"),
        ("AuxAntSelectedName", ""),
        ("IsConnected", "True"),
    ]
    body = "".join(_element(n, v) for n, v in fields)
    return (_DECLARATION + "<RadioInfo>\n" + body + "</RadioInfo>\n").encode("utf-8")


def contact_datagram(kind, qso_id, call, band="14", rxfreq_khz=14025.0, mode="CW",
                     timestamp=None, station="CONTEST-PC"):
    """One N1MM+ Contacts broadcast as bytes: kind is "contactinfo", "contactreplace" or
    "contactdelete"; band in MHz as N1MM+ writes it, rxfreq in tens of hertz."""
    if timestamp is None:
        timestamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime())
    fields = [
        ("app", "N1MM"),
        ("contestname", "CQWWCW"),
        ("contestnr", "1"),
        ("timestamp", timestamp),
        ("mycall", "N1MM"),
        ("band", band),
        ("rxfreq", str(int(round(rxfreq_khz * 100)))),
        ("txfreq", str(int(round(rxfreq_khz * 100)))),
        ("operator", ""),
        ("mode", mode),
        ("call", call),
        ("countryprefix", ""),
        ("snt", "599"),
        ("rcv", "599"),
        ("StationName", station),
        ("ID", qso_id),
    ]
    if kind == "contactdelete":
        fields = [f for f in fields if f[0] in ("app", "timestamp", "call", "contestnr",
                                                "StationName", "ID")]
    body = "".join(_element(n, v) for n, v in fields)
    return (_DECLARATION + f"<{kind}>\n" + body + f"</{kind}>\n").encode("utf-8")


@dataclass
class SpectrumPacket:
    app: str
    name: str
    low_khz: float
    high_khz: float
    scaling: str
    count: int
    values: list
    low_text: str = ""
    high_text: str = ""
    t: float = 0.0          # time.monotonic() on arrival
    raw: bytes = b""


def parse_spectrum(data):
    """Reads one spectrum datagram with Python's XML parser; raises ValueError if malformed."""
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        raise ValueError(f"not well-formed XML: {e}") from e
    if root.tag != "Spectrum":
        raise ValueError(f"root element is {root.tag!r}, not 'Spectrum'")

    def text(tag):
        node = root.find(tag)
        if node is None:
            raise ValueError(f"missing element {tag}")
        return node.text or ""

    raw_values = text("SpectrumData")
    values = [int(v) for v in raw_values.split(",")] if raw_values else []
    low_text, high_text = text("LowScopeFrequency"), text("HighScopeFrequency")
    return SpectrumPacket(
        app=text("app"), name=text("Name"), low_khz=float(low_text), high_khz=float(high_text),
        scaling=text("ScalingFactor"), count=int(text("DataCount")), values=values,
        low_text=low_text, high_text=high_text, raw=bytes(data))


class N1mm:
    """Sends to the bridge's spot port; receives spectra on its own port."""

    def __init__(self, spot_port, host="127.0.0.1", spectrum_port=0, receive=True):
        self.spot_address = (host, spot_port)
        self._tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.packets = []
        self.malformed = []
        self.sent = 0
        self._cond = threading.Condition()
        self._rx = None
        self._thread = None
        self._stopping = False
        if receive:
            self._rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self._rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            self._rx.bind((host, spectrum_port))
            self._rx.settimeout(0.2)
            self.spectrum_port = self._rx.getsockname()[1]
            self._thread = threading.Thread(target=self._receive, name="n1mm-spectrum",
                                            daemon=True)
            self._thread.start()

    def close(self):
        self._stopping = True
        if self._thread is not None:
            self._thread.join(2)
        if self._rx is not None:
            self._rx.close()
        self._tx.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- sending

    def send_raw(self, data):
        self._tx.sendto(data, self.spot_address)
        self.sent += 1

    def spot(self, dxcall, frequency_khz, status="new qso", comment="", action="add", **kw):
        data = spot_datagram(dxcall, frequency_khz, status, comment, action, **kw)
        self.send_raw(data)
        return data

    def delete(self, dxcall, frequency_khz=14000.0, **kw):
        return self.spot(dxcall, frequency_khz, action="delete", **kw)

    def contact(self, kind, qso_id, call, **kw):
        data = contact_datagram(kind, qso_id, call, **kw)
        self.send_raw(data)
        return data

    def radio_info(self, freq_khz, radio_nr=1, **kw):
        data = radio_info_datagram(freq_khz, radio_nr, **kw)
        self.send_raw(data)
        return data

    # ---- receiving

    def _receive(self):
        while not self._stopping:
            try:
                data, _ = self._rx.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            now = time.monotonic()
            try:
                packet = parse_spectrum(data)
                packet.t = now
            except ValueError as e:
                with self._cond:
                    self.malformed.append((now, data, str(e)))
                    self._cond.notify_all()
                continue
            with self._cond:
                self.packets.append(packet)
                self._cond.notify_all()

    def wait_packets(self, count, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.packets) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(min(left, 0.2))
            return True

    def snapshot(self):
        with self._cond:
            return list(self.packets)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulated N1MM+ (loopback).")
    parser.add_argument("--spot-port", type=int, default=12062)
    parser.add_argument("--spectrum-port", type=int, default=13064)
    parser.add_argument("--spot", action="append", default=[],
                        help="CALL:KHZ[:STATUS[:COMMENT]] to add, or -CALL to delete")
    parser.add_argument("--listen", type=float, default=0.0,
                        help="seconds to print received spectra afterwards")
    args = parser.parse_args(argv)
    peer = N1mm(args.spot_port, spectrum_port=args.spectrum_port, receive=args.listen > 0)
    for item in args.spot:
        if item.startswith("-"):
            peer.delete(item[1:])
            continue
        parts = item.split(":", 3)
        status = parts[2] if len(parts) > 2 else "new qso"
        comment = parts[3] if len(parts) > 3 else ""
        peer.spot(parts[0], float(parts[1]), status, comment)
    deadline = time.monotonic() + args.listen
    shown = 0
    while time.monotonic() < deadline:
        time.sleep(0.5)
        packets = peer.snapshot()
        for p in packets[shown:]:
            peak = max(range(len(p.values)), key=p.values.__getitem__) if p.values else -1
            print(f"{p.name} {p.low_text}-{p.high_text} kHz, {p.count} values, peak at {peak}")
        shown = len(packets)
    peer.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
