"""The records between tci_server.py and a WebSocket stack that runs as its child (Qt's, Node's):
one byte of kind, the connection's number and the payload's length (big-endian, 4 bytes each),
then the payload.

From the stack: L listening (payload: the port), C connected, T text, B binary, D disconnected
(payload: "code reason"). To the stack: T text, B binary, X close with code 1000, K drop TCP.
"""

import struct

_HEAD = struct.Struct(">cII")


def record(kind, conn, payload):
    return _HEAD.pack(kind, conn, len(payload)) + payload


class RecordWriter:
    def __init__(self, stream):
        self._stream = stream

    def write(self, kind, conn, payload):
        self._stream.write(record(kind, conn, payload))
        self._stream.flush()


class RecordReader:
    def __init__(self):
        self._buffer = b""

    def feed(self, data):
        """The whole records that data completes."""
        self._buffer += data
        records = []
        while len(self._buffer) >= _HEAD.size:
            kind, conn, length = _HEAD.unpack_from(self._buffer)
            if len(self._buffer) < _HEAD.size + length:
                break
            records.append((kind, conn, self._buffer[_HEAD.size:_HEAD.size + length]))
            self._buffer = self._buffer[_HEAD.size + length:]
        return records
