#!/usr/bin/python3
"""The WebSocket end of the simulated SDR on Qt 5's QWebSocketServer, which ExpertSDR, a Qt
program, very likely serves TCI with. The SDR itself (greeting, IQ, what it records) stays in
tci_server.py, which starts this as a child and speaks the record protocol of tci_stack.py
with it over stdin and stdout: Qt frames, fragments, pings (never), closes and checks UTF-8
as it does for the real SDR.

Usage: tci_stack_qt.py HOST PORT
"""

import os
import sys

from PyQt5.QtCore import QCoreApplication, QSocketNotifier
from PyQt5.QtNetwork import QHostAddress
from PyQt5.QtWebSockets import QWebSocketProtocol, QWebSocketServer

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import tci_stack  # noqa: E402


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    app = QCoreApplication(sys.argv[:1])
    server = QWebSocketServer("ExpertSDR", QWebSocketServer.NonSecureMode)
    if not server.listen(QHostAddress(host), port):
        print(f"cannot listen: {server.errorString()}", file=sys.stderr)
        return 1
    out = tci_stack.RecordWriter(sys.stdout.buffer)
    sockets = {}
    next_id = [1]

    def accepted():
        while server.hasPendingConnections():
            ws = server.nextPendingConnection()
            conn = next_id[0]
            next_id[0] += 1
            sockets[conn] = ws
            ws.textMessageReceived.connect(
                lambda text, c=conn: out.write(b"T", c, text.encode("utf-8", "surrogatepass")))
            ws.binaryMessageReceived.connect(lambda data, c=conn: out.write(b"B", c, bytes(data)))

            def gone(c=conn, socket=ws):
                if sockets.pop(c, None) is not None:
                    out.write(b"D", c, f"{int(socket.closeCode())} {socket.closeReason()}"
                              .encode("utf-8"))
                    socket.deleteLater()
            ws.disconnected.connect(gone)
            out.write(b"C", conn, b"")

    server.newConnection.connect(accepted)
    reader = tci_stack.RecordReader()

    def command():
        data = os.read(0, 1 << 16)
        if not data:
            app.quit()
            return
        for kind, conn, payload in reader.feed(data):
            ws = sockets.get(conn)
            if ws is None:
                continue
            if kind == b"T":
                ws.sendTextMessage(payload.decode("utf-8"))
            elif kind == b"B":
                ws.sendBinaryMessage(payload)
            elif kind == b"X":
                ws.close(QWebSocketProtocol.CloseCodeNormal)
            elif kind == b"K":
                ws.abort()

    notifier = QSocketNotifier(0, QSocketNotifier.Read)
    notifier.activated.connect(command)
    out.write(b"L", 0, str(server.serverPort()).encode("ascii"))
    return app.exec_()


if __name__ == "__main__":
    sys.exit(main())
