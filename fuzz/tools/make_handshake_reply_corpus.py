#!/usr/bin/python3
"""Writes the seed corpus of the handshake reply fuzz target to fuzz/corpus/handshake_reply/.

Each file is a server's reply to the upgrade request, sometimes with frame bytes behind it.
"""

from seeds import write_seeds

STATUS = b"HTTP/1.1 101 Switching Protocols\r\n"
FRAME = bytes([0x81, 6]) + b"start;"


def pad_line(length):
    """A header line of `length` bytes, CR LF included."""
    return b"X-Pad: " + b"a" * (length - 9) + b"\r\n"


SEEDS = {
    "plain": STATUS + b"Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n" + FRAME,
    "no_headers": b"HTTP/1.1 101 OK\r\n\r\n",
    # The CR of the last header line falls on the 255th and the 510th byte of the line.
    "last_header_256": STATUS + pad_line(256) + b"\r\n" + FRAME,
    "last_header_511": STATUS + pad_line(511) + b"\r\n" + FRAME,
    "last_header_255": STATUS + pad_line(255) + b"\r\n",
    "long_header_700": STATUS + pad_line(700) + b"Upgrade: websocket\r\n\r\n",
    "status_255_ending": b"HTTP/1.1 101 " + b"x" * 240 + b"\r\n\r\n",
    "status_255_no_end": b"HTTP/1.1 101 " + b"x" * 300 + b"\r\n\r\n",
    "bare_cr_and_lf": b"HTTP/1.1 101 OK\rX-A: b\rc\nX-B: \n\n\r\r\n\r\n",
    "bad_status": b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
    "truncated": STATUS + b"Upgr",
    "accept": STATUS + b"Upgrade: websocket\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
              b"\r\n" + FRAME,
    "accept_twice_odd_case": STATUS + b"sec-websocket-ACCEPT:\t a \r\nSec-WebSocket-Accept:b\n\r\n",
    "accept_long": STATUS + b"Sec-WebSocket-Accept: " + b"a" * 400 + b"\r\n\r\n",
}


if __name__ == "__main__":
    write_seeds("handshake_reply", SEEDS)
