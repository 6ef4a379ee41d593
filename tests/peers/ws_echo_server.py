#!/usr/bin/python3
"""An independent WebSocket server (python3-websockets) for the client's interop tests.

Listens on 127.0.0.1, port chosen by the system, and prints that port alone on the first
line of standard output. The request path picks what the server does with a connection:

  /echo        sends every message back, text as text and binary as binary
  /ping        pings the client with 125 bytes (the most a control frame may carry), then
               sends "pong ok" or "pong missing"
  /fragment    sends a text and a binary message, each in several fragments
  /closeframe  sends "bye", then closes with a close frame and waits for the client's
  /close       sends "bye", waits for "ack", then ends the TCP connection (no close frame)
  /reset       sends "bye", waits for "ack", then resets the connection (RST)
  /silent      accepts the TCP connection and never answers the handshake

Lines "EVENT <path> <detail>" on standard output report what the server saw.
"""

import argparse
import asyncio
import socket
import struct
import sys

from websockets.exceptions import ConnectionClosed
from websockets.legacy.server import serve

PING_PAYLOAD = b"tarnwick-ping-" + bytes(range(111))


def event(path, detail):
    print(f"EVENT {path} {detail}", flush=True)


async def handle(ws):
    try:
        await serve_path(ws, ws.path)
    except ConnectionClosed:
        # The client's close frame carries no status code (1005); that is its way, not a fault.
        pass


async def serve_path(ws, path):
    if path == "/echo":
        async for message in ws:
            await ws.send(message)
    elif path == "/ping":
        waiter = await ws.ping(PING_PAYLOAD)
        try:
            await asyncio.wait_for(waiter, timeout=5)
            await ws.send("pong ok")
            event(path, "pong")
        except asyncio.TimeoutError:
            await ws.send("pong missing")
            event(path, "no-pong")
        await ws.wait_closed()
    elif path == "/fragment":
        await ws.send(["frag", "men", "ted"])
        await ws.send([b"\x00\x01", b"", b"\x02"])
        await ws.wait_closed()
    elif path == "/closeframe":
        await ws.send("bye")
        await ws.close(code=1000, reason="done")
        event(path, f"client-close-code {ws.close_code}")
    elif path in ("/close", "/reset"):
        await ws.send("bye")
        try:
            reply = await asyncio.wait_for(ws.recv(), timeout=10)
        except Exception as error:  # noqa: BLE001 - reported, then the test fails on it
            event(path, f"no-ack {error!r}")
            return
        event(path, f"got {reply}")
        if path == "/reset":
            # SO_LINGER with a zero time turns the close into a reset.
            sock = ws.transport.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            ws.transport.abort()
        else:
            ws.transport.close()
    else:
        await ws.close(code=1008, reason="unknown path")


async def process_request(path, headers):
    if path == "/silent":
        event(path, "holding")
        await asyncio.sleep(3600)
    return None


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.parse_args()
    async with serve(
        handle,
        "127.0.0.1",
        0,
        process_request=process_request,
        compression=None,
        ping_interval=None,
        max_size=32 * 1024 * 1024,
        read_limit=2**20,
        write_limit=2**20,
    ) as server:
        port = server.sockets[0].getsockname()[1]
        print(port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
