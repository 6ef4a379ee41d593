// Drives the WebSocket client against tests/peers/ws_echo_server.py on a given port.
// Usage: ws_interop PORT [CASE...]   (cases: echo ping fragment closeframe close reset silent)
// Writes "PASS case" or "FAIL case: why" on stdout, and "=== case" on stderr before each case
// so that the runner can check each case's own standard-error lines.

#include "platform/socket.h"
#include "websocket/websocket.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using wsclient::ReadyState;
using wsclient::WebSocket;
using Clock = std::chrono::steady_clock;

std::string gPort;

std::string url(const std::string& path) {
    return "ws://127.0.0.1:" + gPort + path;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Polls and dispatches until `done` holds or the time runs out; returns false on time-out.
bool pump(WebSocket& ws, std::vector<Bytes>& got, const std::function<bool()>& done,
          std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end)
            return false;
        if (ws.readyState() == ReadyState::CLOSED)
            return done();
        ws.poll(50);
        ws.dispatchBinary([&](const Bytes& message) { got.push_back(message); });
    }
    return true;
}

struct Failure {
    std::string why;
};

void check(bool ok, const std::string& why) {
    if (!ok)
        throw Failure{why};
}

std::unique_ptr<WebSocket> open(const std::string& path) {
    auto ws = WebSocket::connectUrl(url(path), "");
    check(ws != nullptr, "connectUrl failed");
    check(ws->readyState() == ReadyState::OPEN, "not OPEN after connecting");
    return ws;
}

void closeCleanly(WebSocket& ws) {
    ws.close();
    std::vector<Bytes> ignored;
    pump(ws, ignored, [&] { return ws.readyState() == ReadyState::CLOSED; });
}

void caseEcho() {
    auto ws = open("/echo");
    const std::size_t sizes[] = {0, 1, 125, 126, 65535, 65536, 1024 * 1024};
    for (const bool binary : {false, true}) {
        for (const std::size_t size : sizes) {
            Bytes payload(size);
            for (std::size_t i = 0; i < size; ++i)
                payload[i] = binary ? static_cast<std::uint8_t>(i * 31 + 7)
                                    : static_cast<std::uint8_t>('a' + i % 26);
            if (binary)
                ws->sendBinary(payload);
            else
                ws->sendText(std::string(payload.begin(), payload.end()));
            std::vector<Bytes> got;
            const std::string what = (binary ? "binary " : "text ") + std::to_string(size);
            check(pump(*ws, got, [&] { return !got.empty(); }), what + ": no echo");
            check(got.size() == 1, what + ": more than one message");
            check(got[0] == payload, what + ": echo differs");
        }
    }
    closeCleanly(*ws);
}

void casePing() {
    auto ws = open("/ping");
    std::vector<Bytes> got;
    check(pump(*ws, got, [&] { return !got.empty(); }), "no verdict from the server");
    check(got[0] == bytesOf("pong ok"),
          "server says: " + std::string(got[0].begin(), got[0].end()));
    closeCleanly(*ws);
}

void caseFragment() {
    auto ws = open("/fragment");
    std::vector<Bytes> got;
    check(pump(*ws, got, [&] { return got.size() >= 2; }), "fragmented messages did not arrive");
    check(got[0] == bytesOf("fragmented"), "text fragments joined wrongly");
    check(got[1] == (Bytes{0, 1, 2}), "binary fragments joined wrongly");
    closeCleanly(*ws);
}

void caseCloseFrame() {
    auto ws = open("/closeframe");
    std::vector<Bytes> got;
    check(pump(*ws, got, [&] { return ws->readyState() != ReadyState::OPEN; }),
          "no close from the server");
    check(!got.empty() && got[0] == bytesOf("bye"), "message before the close frame lost");
    check(ws->readyState() == ReadyState::CLOSING, "close frame did not start the closing");
    check(pump(*ws, got, [&] { return ws->readyState() == ReadyState::CLOSED; }),
          "closing never finished");
}

// The server ends the connection its way after our "ack".
void casePeerEnds(const std::string& path) {
    auto ws = open(path);
    std::vector<Bytes> got;
    check(pump(*ws, got, [&] { return !got.empty(); }), "no greeting");
    check(got[0] == bytesOf("bye"), "unexpected greeting");
    ws->sendText("ack");
    check(pump(*ws, got, [&] { return ws->readyState() == ReadyState::CLOSED; }),
          "the end of the connection went unnoticed");
    ws->sendText("after the end"); // must be ignored without a crash or a line
    ws->poll(0);
}

void caseSilent() {
    const auto start = Clock::now();
    auto ws = WebSocket::connectUrl(url("/silent"), "");
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    check(ws == nullptr, "a server that never answers gave a client");
    check(waited >= std::chrono::milliseconds(1900) && waited <= std::chrono::seconds(10),
          "gave up after " + std::to_string(waited.count()) + " ms");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ws_interop PORT [CASE...]\n");
        return 2;
    }
    gPort = argv[1];
    std::vector<std::string> cases;
    for (int i = 2; i < argc; ++i)
        cases.emplace_back(argv[i]);
    if (cases.empty())
        cases = {"echo", "ping", "fragment", "closeframe", "close", "reset", "silent"};

    if (platform::netStartup() != 0) {
        std::printf("FAIL startup: no sockets\n");
        return 1;
    }
    int failures = 0;
    for (const std::string& name : cases) {
        std::fprintf(stderr, "=== %s\n", name.c_str());
        std::fflush(stderr);
        try {
            if (name == "echo")
                caseEcho();
            else if (name == "ping")
                casePing();
            else if (name == "fragment")
                caseFragment();
            else if (name == "closeframe")
                caseCloseFrame();
            else if (name == "close" || name == "reset")
                casePeerEnds("/" + name);
            else if (name == "silent")
                caseSilent();
            else
                throw Failure{"no such case"};
            std::printf("PASS %s\n", name.c_str());
        } catch (const Failure& failure) {
            std::printf("FAIL %s: %s\n", name.c_str(), failure.why.c_str());
            ++failures;
        }
        std::fflush(stdout);
    }
    std::fflush(stderr);
    platform::netCleanup();
    return failures == 0 ? 0 : 1;
}
