#!/usr/bin/python3
"""Writes the seed corpus of the frame parser fuzz target to fuzz/corpus/frame_parser/.

Each file is one arrival-cut byte (see frame_parser_fuzz.cpp) followed by server bytes.
"""

import struct

from seeds import write_seeds


def frame(first, payload, key=None):
    n = len(payload)
    if n < 126:
        head = bytes([first, (0x80 if key else 0) | n])
    elif n < 65536:
        head = bytes([first, (0x80 if key else 0) | 126]) + struct.pack(">H", n)
    else:
        head = bytes([first, (0x80 if key else 0) | 127]) + struct.pack(">Q", n)
    if key:
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
        head += key
    return head + payload


SEEDS = {
    "text": b"\x00" + frame(0x81, b"vfo:0,0,14074000;"),
    "binary_16bit_length": b"\x03" + frame(0x82, bytes(range(256)) * 2),
    "binary_64bit_length": b"\x07" + frame(0x82, b"\x5a" * 65536),
    "two_frames": b"\x01" + frame(0x81, b"start;") + frame(0x81, b"stop;"),
    "fragments_with_ping": b"\x02"
    + frame(0x01, b"Hel")
    + frame(0x89, b"beat")
    + frame(0x00, b"lo ")
    + frame(0x80, b"world"),
    "masked_ping": b"\x04" + frame(0x89, b"masked", key=b"\x01\x02\x03\x04"),
    "pong_and_close": b"\x05" + frame(0x8A, b"") + frame(0x88, b"\x03\xe8bye"),
    "empty_message": b"\x06" + frame(0x81, b""),
    "undefined_opcode": b"\x08" + frame(0x83, b"junk") + frame(0x81, b"after"),
    "oversized_upper_half": b"\x09" + bytes([0x82, 127, 0, 0, 0, 1, 0, 0, 0, 0]) + b"zz",
    "oversized_top_bit": b"\x0a" + bytes([0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 5]),
    "truncated_header": b"\x0b" + bytes([0x82, 126, 0x01]),
    "truncated_payload": b"\x0c" + frame(0x82, b"abcdef")[:5],
    "iq_frame_header_only": b"\x0d" + bytes([0x82, 126, 0x40, 0x40]) + b"\x00" * 64,
    "ping_125_then_126": b"\x0e" + frame(0x89, b"p" * 125) + frame(0x89, b"p" * 126),
    "close_126_masked": b"\x0f" + frame(0x88, b"c" * 126, key=b"\x05\x06\x07\x08"),
}


if __name__ == "__main__":
    write_seeds("frame_parser", SEEDS)
