// The WebSocket end of the simulated SDR on Node's ws, as tci_stack_qt.py is on Qt's: the SDR
// itself stays in tci_server.py, which starts this as a child and speaks the records of
// tci_stack.py with it over stdin and stdout.
// Usage: node tci_stack_ws.js HOST PORT (with NODE_PATH=/usr/share/nodejs for Debian's node-ws)
'use strict';

const { WebSocketServer } = require('ws');

const [host, port] = [process.argv[2], Number(process.argv[3])];
const sockets = new Map();
let nextId = 1;

function write(kind, conn, payload) {
    const head = Buffer.alloc(9);
    head.write(kind, 0, 'ascii');
    head.writeUInt32BE(conn, 1);
    head.writeUInt32BE(payload.length, 5);
    process.stdout.write(Buffer.concat([head, payload]));
}

const server = new WebSocketServer({ host, port, perMessageDeflate: false });
server.on('listening', () => write('L', 0, Buffer.from(String(server.address().port))));
server.on('connection', (ws) => {
    const conn = nextId++;
    sockets.set(conn, ws);
    write('C', conn, Buffer.alloc(0));
    ws.on('message', (data, isBinary) => write(isBinary ? 'B' : 'T', conn, Buffer.from(data)));
    ws.on('close', (code, reason) => {
        sockets.delete(conn);
        write('D', conn, Buffer.from(`${code} ${reason}`));
    });
    ws.on('error', () => {});
});

let pending = Buffer.alloc(0);
process.stdin.on('data', (data) => {
    pending = Buffer.concat([pending, data]);
    while (pending.length >= 9) {
        const length = pending.readUInt32BE(5);
        if (pending.length < 9 + length)
            break;
        const kind = pending.toString('ascii', 0, 1);
        const ws = sockets.get(pending.readUInt32BE(1));
        const payload = pending.subarray(9, 9 + length);
        pending = pending.subarray(9 + length);
        if (ws === undefined)
            continue;
        if (kind === 'T')
            ws.send(payload.toString('utf8'));
        else if (kind === 'B')
            ws.send(payload, { binary: true });
        else if (kind === 'X')
            ws.close(1000);
        else if (kind === 'K')
            ws.terminate();
    }
});
process.stdin.on('end', () => process.exit(0));
