#include "websocket/websocket.h"

#include "diag/log.h"
#include "temp_folder.h"
#include "websocket/frame_codec.h"
#include "websocket/ws_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

using namespace wstest;
using wsclient::ReadyState;
using wsclient::WebSocket;

std::string expectedRequestTail(const std::string& key) {
    return "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
           "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

Bytes serverFrame(std::uint8_t first, const std::string& payload) {
    Bytes out;
    const Bytes data = bytesOf(payload);
    wsclient::encodeFrame(out, first & 0x0f, data.data(), data.size(), false, {});
    out[0] = first;
    return out;
}

// The frame a client with the fixed key sends.
Bytes clientFrame(std::uint8_t opcode, const std::string& payload) {
    Bytes out;
    const Bytes data = bytesOf(payload);
    wsclient::encodeFrame(out, opcode, data.data(), data.size(), true, wsclient::kMaskingKey);
    return out;
}

// Answers the upgrade, then runs `after` on the open connection.
ScriptedServer::Script acceptingThen(std::function<void(platform::NativeSocket)> after,
                                     std::string* request = nullptr) {
    return [after = std::move(after), request](platform::NativeSocket s) {
        const std::string got = readUntil(s, "\r\n\r\n");
        if (request != nullptr)
            *request = got;
        sendAllBytes(s, upgradeReplyFor(got));
        after(s);
    };
}

class WebSocketClient : public testing::Test {
protected:
    void SetUp() override { platform::netStartup(); }
    void TearDown() override { platform::netCleanup(); }
};

// Byte for byte but the key: 16 random bytes in base64, new for every attempt.
TEST_F(WebSocketClient, SendsTheUpgradeRequestByteForByte) {
    std::vector<std::string> keys;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string request;
        std::string origin = std::string(199, 'o');
        ScriptedServer server(acceptingThen([](platform::NativeSocket) {}, &request));
        {
            StderrCapture err;
            auto ws = WebSocket::connectUrl(server.url("/tci"), origin);
            ASSERT_NE(ws, nullptr);
            EXPECT_EQ(ws->readyState(), ReadyState::OPEN);
            EXPECT_EQ(err.text(), "");
        }
        server.join();
        keys.push_back(requestKey(request));
        // 22 base64 digits, the last carrying 4 zero bits, and the padding.
        const std::string& key = keys.back();
        EXPECT_EQ(key.size(), 24u);
        EXPECT_EQ(key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                        "0123456789+/"),
                  22u);
        EXPECT_NE(std::string("AQgw").find(key[21]), std::string::npos) << key;
        EXPECT_EQ(key.substr(22), "==");
        EXPECT_EQ(request, "GET /tci HTTP/1.1\r\n"
                           "Host: 127.0.0.1:" +
                               std::to_string(server.port()) +
                               "\r\n"
                               "Upgrade: websocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Origin: " +
                               origin + "\r\n" + "Sec-WebSocket-Key: " + keys.back() + "\r\n" +
                               "Sec-WebSocket-Version: 13\r\n\r\n");
    }
    EXPECT_NE(keys[0], keys[1]);
}

// A reply that does not answer the key is a failed attempt with one line: no answer, the answer
// to another key, the right answer twice, or in another case.
TEST_F(WebSocketClient, ReplyThatDoesNotAnswerTheKeyIsRefused) {
    using Values = std::vector<std::string>;
    const std::function<Values(const std::string&)> cases[] = {
        [](const std::string&) { return Values{}; },
        [](const std::string&) { return Values{"s3pPLMBiTxaQ9kYGzzhZRbK+xOo="}; },
        [](const std::string& right) {
            return Values{right, right};
        },
        [](const std::string& right) {
            std::string lower = right;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return Values{lower};
        },
    };
    for (const auto& values : cases) {
        std::string shown;
        ScriptedServer server([&](platform::NativeSocket s) {
            const std::string request = readUntil(s, "\r\n\r\n");
            std::string headers;
            for (const std::string& value :
                 values(wsclient::webSocketAccept(requestKey(request)))) {
                headers += "Sec-WebSocket-Accept: " + value + "\r\n";
                shown += (shown.empty() ? ": " : ", ") + value;
            }
            sendAllBytes(s, "HTTP/1.1 101 Switching Protocols\r\n" + headers + "\r\n");
            readToEnd(s);
        });
        StderrCapture err;
        const std::string url = server.url("/tci");
        EXPECT_EQ(WebSocket::connectUrl(url, ""), nullptr);
        server.join();
        EXPECT_EQ(err.text(),
                  (shown.empty() ? "ERROR: Got no Sec-WebSocket-Accept connecting to "
                                 : "ERROR: Got a wrong Sec-WebSocket-Accept connecting to ") +
                      url + shown + "\n");
    }
}

TEST_F(WebSocketClient, UrlWithoutPathAndEmptyOriginSendsNoOriginLine) {
    std::string request;
    ScriptedServer server(acceptingThen([](platform::NativeSocket) {}, &request));
    auto ws = WebSocket::connectUrl(server.url(), "");
    ASSERT_NE(ws, nullptr);
    server.join();
    EXPECT_EQ(request, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                           "\r\n" + expectedRequestTail(requestKey(request)));
}

TEST_F(WebSocketClient, UrlOf127CharactersIsAcceptedAnd128Refused) {
    std::string request;
    ScriptedServer server(acceptingThen([](platform::NativeSocket) {}, &request));
    std::string url = server.url("/");
    url += std::string(127 - url.size(), 'p');
    ASSERT_EQ(url.size(), 127u);
    auto ws = WebSocket::connectUrl(url, "");
    EXPECT_NE(ws, nullptr);
    server.join();
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /" + url.substr(url.find('/', 5) + 1) + " HTTP/1.1");

    StderrCapture err;
    const std::string tooLong = url + "p";
    // The URL is refused before the origin is looked at.
    EXPECT_EQ(WebSocket::connectUrl(tooLong, std::string(300, 'o')), nullptr);
    EXPECT_EQ(err.text(), "ERROR: url size limit exceeded: " + tooLong + "\n");
}

TEST_F(WebSocketClient, RefusalsBeforeConnectingWriteTheirLines) {
    StderrCapture err;
    const std::string origin(200, 'o');
    EXPECT_EQ(WebSocket::connectUrl("ws://127.0.0.1:1/", origin), nullptr);
    EXPECT_EQ(WebSocket::connectUrl("http://127.0.0.1:40001/", ""), nullptr);
    EXPECT_EQ(WebSocket::connectUrl("WS://127.0.0.1:40001", ""), nullptr);
    EXPECT_EQ(err.text(), "ERROR: origin size limit exceeded: " + origin +
                              "\n"
                              "ERROR: Could not parse WebSocket url: http://127.0.0.1:40001/\n"
                              "ERROR: Could not parse WebSocket url: WS://127.0.0.1:40001\n");
}

TEST_F(WebSocketClient, PortOutOfRangeIsUnparsableOnEveryAttemptAndNothingIsConnected) {
    platform::Socket listener = platform::openTcp4();
    platform::bindTo(listener.get(), platform::ipv4Address(platform::kLoopbackIpv4, 0));
    platform::listenOn(listener.get(), 4);
    const std::uint64_t port = platform::localPort(listener.get());
    StderrCapture err;
    std::string expected;
    // The listener's own port wrapped round by 2^16 or 2^32, or with junk behind it, must not
    // reach it; the others must not reach port 80 or the resolver.
    for (const std::string& text :
         std::vector<std::string>{std::to_string(port + 65536), std::to_string(port + 4294967296u),
                                  std::to_string(port) + "x", "0", "65536", "99999", "-5",
                                  "4294967297", "99999999999"}) {
        const std::string url = "ws://127.0.0.1:" + text + "/tci";
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(WebSocket::connectUrl(url, ""), nullptr) << url;
            expected += "ERROR: Could not parse WebSocket url: " + url + "\n";
        }
    }
    EXPECT_EQ(err.text(), expected);
    EXPECT_EQ(platform::waitSocket(listener.get(), true, false, 100), 0)
        << "a connection reached the listener";
}

TEST_F(WebSocketClient, RefusedConnectionWritesUnableToConnect) {
    std::uint16_t port = 0;
    {
        platform::Socket probe = platform::openTcp4();
        platform::bindTo(probe.get(), platform::ipv4Address(platform::kLoopbackIpv4, 0));
        port = platform::localPort(probe.get());
    } // closed again: nothing listens there
    StderrCapture err;
    EXPECT_EQ(WebSocket::connectUrl("ws://127.0.0.1:" + std::to_string(port) + "/x", ""), nullptr);
    EXPECT_EQ(err.text(), "Unable to connect to 127.0.0.1:" + std::to_string(port) + "\n");
}

TEST_F(WebSocketClient, UnresolvableHostWritesResolverTextThenUnableToConnect) {
    StderrCapture err;
    EXPECT_EQ(WebSocket::connectUrl("ws://no-such-host.invalid/tci", ""), nullptr);
    const std::string text = err.text();
    EXPECT_THAT(text, testing::StartsWith("getaddrinfo: "));
    EXPECT_THAT(text, testing::EndsWith("\nUnable to connect to no-such-host.invalid:80\n"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

// The log gets the same line as an ERROR record, the server's text escaped and without its CR LF.
TEST_F(WebSocketClient, BadStatusLinesAreRefusedWithTheLineAsReceived) {
    const testfiles::TempFolder folder;
    const std::filesystem::path log = folder.path() / "Tarnwick.log";
    tlog::resetForTesting();
    tlog::configure({2, log, tlog::Target::none});
    for (const char* status : {"HTTP/1.1 200 OK\r\n", "HTTP/1.0 101 Switching Protocols\r\n",
                               "ICY 101 OK\r\n", "HTTP/1.1 404 \x1b[2J\r\n"}) {
        ScriptedServer server([status](platform::NativeSocket s) {
            readUntil(s, "\r\n\r\n");
            sendAllBytes(s, std::string(status) + "Content-Length: 0\r\n\r\n");
            readToEnd(s);
        });
        StderrCapture err;
        const std::string url = server.url("/tci");
        EXPECT_EQ(WebSocket::connectUrl(url, ""), nullptr);
        EXPECT_EQ(err.text(), "ERROR: Got bad status connecting to " + url + ": " + status);
        server.join();
    }
    tlog::resetForTesting();
    std::vector<std::string> records;
    {
        std::ifstream in(log, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            records.push_back(line.substr(line.find("] ERROR: ") + 2));
    }
    std::filesystem::remove(log);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_THAT(records[0], testing::StartsWith("ERROR: Got bad status connecting to ws://"));
    EXPECT_THAT(records[0], testing::EndsWith("/tci: HTTP/1.1 200 OK"));
    EXPECT_THAT(records[3], testing::EndsWith("/tci: HTTP/1.1 404 \\x1b[2J"));
}

TEST_F(WebSocketClient, StatusLineOf255BytesWithoutEndIsInvalid) {
    const std::string status = "HTTP/1.1 101 " + std::string(300, 'x') + "\r\n\r\n";
    ScriptedServer server([status](platform::NativeSocket s) {
        readUntil(s, "\r\n\r\n");
        sendAllBytes(s, status);
        readToEnd(s);
    });
    StderrCapture err;
    const std::string url = server.url("/tci");
    EXPECT_EQ(WebSocket::connectUrl(url, ""), nullptr);
    EXPECT_EQ(err.text(), "ERROR: Got invalid status line connecting to: " + url + "\n");
}

TEST_F(WebSocketClient, StatusLineEndingExactlyAtIts255thByteIsAccepted) {
    std::string status = "HTTP/1.1 101 ";
    status += std::string(255 - status.size() - 2, 'x') + "\r\n";
    ASSERT_EQ(status.size(), 255u);
    ScriptedServer server([status](platform::NativeSocket s) {
        const std::string request = readUntil(s, "\r\n\r\n");
        sendAllBytes(s, accepting(status + "Upgrade: websocket\r\n\r\n", request));
    });
    StderrCapture err;
    EXPECT_NE(WebSocket::connectUrl(server.url("/tci"), ""), nullptr);
    EXPECT_EQ(err.text(), "");
}

TEST_F(WebSocketClient, ServerClosingDuringItsReplyYieldsNullAndNoLine) {
    for (const std::string& partial :
         {std::string(), std::string("HTTP/1.1 10"), std::string("HTTP/1.1 101 OK\r\nUpgr")}) {
        ScriptedServer server([partial](platform::NativeSocket s) {
            readUntil(s, "\r\n\r\n");
            sendAllBytes(s, partial);
        });
        StderrCapture err;
        EXPECT_EQ(WebSocket::connectUrl(server.url("/tci"), ""), nullptr) << partial;
        EXPECT_EQ(err.text(), "") << partial;
        server.join();
    }
}

TEST_F(WebSocketClient, LongHeaderLinesAreReadOnAndTheFirstFrameSurvives) {
    // One header far over 255 bytes, and one whose CR LF falls just after a 255-byte piece:
    // neither may end the header block early and leave header text to be read as frames.
    const std::string reply = "HTTP/1.1 101 Switching Protocols\r\n"
                              "X-Long: " +
                              std::string(700, 'a') +
                              "\r\n"
                              "X-Edge: " +
                              std::string(255 - 8, 'b') +
                              "\r\n"
                              "Upgrade: websocket\r\n"
                              "\r\n";
    const Bytes frame = serverFrame(0x81, "first message");
    ScriptedServer server([&](platform::NativeSocket s) {
        const std::string request = readUntil(s, "\r\n\r\n");
        sendAllBytes(s, accepting(reply, request) + textOf(frame));
        readToEnd(s);
    });
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/tci"), "");
    ASSERT_NE(ws, nullptr);
    const auto got = pumpUntil(*ws, [](const auto& got) { return !got.empty(); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0]), "first message");
    EXPECT_EQ(ws->readyState(), ReadyState::OPEN);
    ws->close();
    ws->poll(0);
    EXPECT_EQ(err.text(), "");
}

TEST_F(WebSocketClient, LastHeaderLineOfAnyLengthEndsTheHeadersAndTheFirstFrameSurvives) {
    // The last header line, CR LF included, from 250 to 520 bytes: its CR falls on every
    // position around the 255th and 510th byte of the line.
    const Bytes frame = serverFrame(0x81, "first message");
    for (std::size_t length = 250; length <= 520; ++length) {
        const std::string reply = "HTTP/1.1 101 Switching Protocols\r\n"
                                  "Upgrade: websocket\r\n"
                                  "X-Pad: " +
                                  std::string(length - 9, 'a') + "\r\n\r\n" + textOf(frame);
        ScriptedServer server([&reply](platform::NativeSocket s) {
            const std::string request = readUntil(s, "\r\n\r\n");
            sendAllBytes(s, accepting(reply, request));
            readToEnd(s);
        });
        StderrCapture err;
        auto ws = WebSocket::connectUrl(server.url("/tci"), "");
        ASSERT_NE(ws, nullptr) << "last header line of " << length << " bytes";
        const auto got = pumpUntil(*ws, [](const auto& got) { return !got.empty(); });
        ASSERT_EQ(got.size(), 1u) << length;
        EXPECT_EQ(textOf(got[0]), "first message") << length;
        ws->close();
        ws->poll(0);
        EXPECT_EQ(err.text(), "") << length;
    }
}

TEST_F(WebSocketClient, SilentServerFailsWithinTheTimeLimitWithOneLine) {
    ScriptedServer server([](platform::NativeSocket s) {
        readUntil(s, "\r\n\r\n");
        readToEnd(s); // never answers; returns once the client gives up
    });
    StderrCapture err;
    const std::string url = server.url("/tci");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WebSocket::connectUrl(url, ""), nullptr);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(err.text(),
              "ERROR: Timed out waiting for the WebSocket handshake from " + url + "\n");
    // It gave the server its two seconds and not much more.
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    server.join();
}

// A server that streams header lines without end holds no poll: each returns while it still
// streams, and the attempt ends at its time limit.
TEST_F(WebSocketClient, EndlessReplyHoldsNoPoll) {
    std::atomic<bool> streaming{true};
    ScriptedServer server([&](platform::NativeSocket s) {
        readUntil(s, "\r\n\r\n");
        std::string lines;
        while (lines.size() < 64 * 1024)
            lines += "X-Pad: aaaaaaaaaaaaaaaaaaaaaaaa\r\n";
        sendAllBytes(s, "HTTP/1.1 101 Switching Protocols\r\n");
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
        while (std::chrono::steady_clock::now() < end && sendAllBytes(s, lines)) {
        }
        streaming = false;
    });
    StderrCapture err;
    wsclient::Connector connector(server.url("/tci"), "");
    auto ws = connector.connect();
    int returnedWhileStreaming = 0;
    while (ws->readyState() == ReadyState::CONNECTING) {
        ws->poll(0);
        returnedWhileStreaming += streaming ? 1 : 0;
    }
    server.join();
    EXPECT_GT(returnedWhileStreaming, 1);
    EXPECT_EQ(err.text(), "ERROR: Timed out waiting for the WebSocket handshake from " +
                              server.url("/tci") + "\n");
}

TEST_F(WebSocketClient, FramesGoOutMaskedAndSendAfterCloseQueuesNothing) {
    Bytes received;
    ScriptedServer server(
        acceptingThen([&](platform::NativeSocket s) { received = readToEnd(s); }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    ws->sendText("READY;");
    ws->sendBinary(Bytes{1, 2, 3});
    ws->sendBinary(std::string("\x00\xff", 2));
    ws->sendPing("tarnwick:1");
    ws->close();
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSING);
    ws->sendText("too late;");
    ws->sendPing("tarnwick:2");
    ws->close();
    pumpUntil(*ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; });
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    server.join();

    Bytes expected = clientFrame(1, "READY;");
    for (const Bytes& more :
         {clientFrame(2, "\x01\x02\x03"), clientFrame(2, std::string("\x00\xff", 2)),
          clientFrame(9, "tarnwick:1"), Bytes{0x88, 0x80, 0x00, 0x00, 0x00, 0x00}})
        expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(received, expected);
}

// Servers drop a connection whose text is not UTF-8: such a text is refused with a line, the
// connection stays open for what follows, and binary frames carry any bytes.
TEST_F(WebSocketClient, TextThatIsNotUtf8IsRefusedAndTheConnectionHolds) {
    Bytes received;
    ScriptedServer server(
        acceptingThen([&](platform::NativeSocket s) { received = readToEnd(s); }));
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    ws->sendText("spot:K1ABC,cw,14025000,0,Caf\xE9;");
    ws->sendText("spot:K2ABC,cw,14025000,0,Caf\xC3\xA9;");
    ws->sendBinary(std::string("\xE9", 1));
    EXPECT_EQ(ws->readyState(), ReadyState::OPEN);
    ws->close();
    pumpUntil(*ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; });
    server.join();

    Bytes expected = clientFrame(1, "spot:K2ABC,cw,14025000,0,Caf\xC3\xA9;");
    for (const Bytes& more : {clientFrame(2, "\xE9"), Bytes{0x88, 0x80, 0x00, 0x00, 0x00, 0x00}})
        expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(received, expected);
    EXPECT_EQ(err.text(), "ERROR: WebSocket text message of 30 bytes is not UTF-8; not sent.\n");
}

// The pongs that come are kept with their payloads, for their owner to take.
TEST_F(WebSocketClient, PingBetweenFragmentsIsAnsweredAtOnceAndTheMessageArrivesWhole) {
    Bytes pong;
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        sendAllBytes(s, serverFrame(0x01, "IQ "));
        sendAllBytes(s, serverFrame(0x89, "beat"));
        // The pong must come back before the message is complete.
        pong = readBytes(s, 6 + 4);
        sendAllBytes(s, serverFrame(0x00, "stream "));
        sendAllBytes(s, serverFrame(0x8a, "tarnwick:7"));
        sendAllBytes(s, serverFrame(0x8a, ""));
        sendAllBytes(s, serverFrame(0x80, "start;"));
        readToEnd(s);
    }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    const auto got = pumpUntil(*ws, [](const auto& got) { return !got.empty(); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0]), "IQ stream start;");
    EXPECT_EQ(pong, clientFrame(10, "beat"));
    EXPECT_THAT(ws->takePongs(), testing::ElementsAre("tarnwick:7", ""));
    EXPECT_TRUE(ws->takePongs().empty());
    ws->close();
    ws->poll(0);
}

// Each message comes with its first frame's opcode, whatever its length: text holding "start;"
// is text at 100 and 5,000 bytes, whole or in fragments, and binary is binary at 4,096.
TEST_F(WebSocketClient, MessagesComeWithTheirKindWhateverTheirLength) {
    using wsclient::Opcode;
    std::string longText;
    while (longText.size() < 5000 - 6)
        longText += "vfo:0,0,14074000;";
    longText = longText.substr(0, 5000 - 6) + "start;";
    const std::string shortText = std::string(94, ' ') + "start;";
    const std::string binary(4096, '\x5a');
    const struct {
        Bytes frames;
        Opcode type;
        std::string payload;
    } rows[] = {
        {serverFrame(0x81, shortText), Opcode::text, shortText},
        {serverFrame(0x81, longText), Opcode::text, longText},
        {serverFrame(0x01, longText.substr(0, 4096)), Opcode::text, ""},
        {serverFrame(0x80, longText.substr(4096)), Opcode::text, longText},
        {serverFrame(0x82, binary), Opcode::binary, binary},
    };
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        for (const auto& row : rows)
            sendAllBytes(s, row.frames);
        readToEnd(s);
    }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    std::vector<std::pair<Opcode, std::string>> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < 4 && std::chrono::steady_clock::now() < end) {
        ws->poll(20);
        ws->dispatchBinary(
            [&](const Bytes& message, Opcode type) { got.emplace_back(type, textOf(message)); });
    }
    std::vector<std::pair<Opcode, std::string>> expected;
    for (const auto& row : rows)
        if (!row.payload.empty())
            expected.emplace_back(row.type, row.payload);
    EXPECT_EQ(got, expected);
    ws->close();
    ws->poll(0);
}

// A server that sends without pause is read a bounded share at each poll, and nothing is lost.
TEST_F(WebSocketClient, OnePollReadsABoundedShareOfWhatWaits) {
    const std::string text(1000, 'v');
    Bytes burst;
    for (int i = 0; i < 2048; ++i) {
        const Bytes frame = serverFrame(0x81, text);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        sendAllBytes(s, burst);
        readToEnd(s);
    }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    std::size_t messages = 0;
    std::size_t mostInOnePoll = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the burst waits in full
    while (messages < 2048 && std::chrono::steady_clock::now() < end) {
        std::size_t bytes = 0;
        ws->poll(20);
        ws->dispatchBinary([&](const Bytes& message) {
            ++messages;
            bytes += message.size();
        });
        mostInOnePoll = std::max(mostInOnePoll, bytes);
    }
    EXPECT_EQ(messages, 2048u);
    EXPECT_LE(mostInOnePoll, wsclient::kReceivePerPoll + text.size());
    EXPECT_GE(mostInOnePoll, wsclient::kReceivePerPoll / 2) << "the burst did not wait";
    ws->close();
    ws->poll(0);
}

// An attempt never waits: the name is looked up on another thread, which wakes its owner when
// it ends, and the addresses serve the next attempts until a connection with them fails.
TEST_F(WebSocketClient, ConnectorLooksUpOffThreadAndKeepsAddressesUntilAConnectionFails) {
    StderrCapture err;
    auto server = std::make_unique<ScriptedServer>(acceptingThen([](platform::NativeSocket) {}));
    std::atomic<int> lookups{0};
    wsclient::Connector connector(server->url("/"), "", [&lookups] { ++lookups; });
    const auto stepUntil = [](WebSocket& ws, const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < end) {
            ws.poll(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    };
    auto ws = connector.connect();
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(ws->readyState(), ReadyState::CONNECTING);
    EXPECT_EQ(ws->nativeSocket(), platform::kInvalidSocket);
    ws->poll(0);
    // The lookup has its own limit.
    EXPECT_GT(ws->timeLeftMs(), 0);
    EXPECT_LE(ws->timeLeftMs(), wsclient::Connector::kLookupLimitMs);
    ASSERT_TRUE(stepUntil(*ws, [&] { return lookups == 1; })) << "no wake from the lookup";
    ASSERT_TRUE(stepUntil(*ws, [&] { return ws->readyState() != ReadyState::CONNECTING; }));
    EXPECT_EQ(ws->readyState(), ReadyState::OPEN);

    // The next attempt goes straight to connecting.
    ws = connector.connect();
    ws->poll(0);
    EXPECT_NE(ws->nativeSocket(), platform::kInvalidSocket);
    EXPECT_GT(ws->timeLeftMs(), 0);
    EXPECT_LE(ws->timeLeftMs(), 2000);
    ws.reset();
    server.reset(); // nothing listens there now: the connection fails...
    ws = connector.connect();
    EXPECT_TRUE(stepUntil(*ws, [&] { return ws->readyState() == ReadyState::CLOSED; }));
    // ...and the attempt after it looks the name up again.
    ws = connector.connect();
    EXPECT_TRUE(stepUntil(*ws, [&] { return lookups == 2; }));
    EXPECT_EQ(lookups, 2);
}

// A first address that drops every SYN leaves the attempt to the next, tried beside it, instead
// of taking the whole time limit.
TEST_F(WebSocketClient, AddressThatDropsEverySynGivesWayToTheNext) {
    SilentPort silent;
    ScriptedServer server(acceptingThen([](platform::NativeSocket) {}));
    wsclient::ConnectOptions options;
    options.resolver = loopbackPorts({silent.port(), server.port()});
    StderrCapture err;
    wsclient::Connector connector(server.url("/"), "", {}, options);
    auto ws = connector.connect();
    while (ws->readyState() == ReadyState::CONNECTING)
        ws->poll(-1);
    EXPECT_EQ(ws->readyState(), ReadyState::OPEN);
    EXPECT_EQ(err.text(), "");
}

// A resolver that hangs fails each attempt after 10 s with one line, and no attempt waits for an
// earlier one's lookup; with four lookups out, an attempt waits for the oldest instead of
// starting a fifth, but takes the answer of a newer one that comes meanwhile; and once a lookup
// whose answer may no longer be used ends, the resolver answers again: an attempt that waits on
// an old one starts its own.
TEST_F(WebSocketClient, LookupThatHangsEndsItsAttemptAfterTenSecondsAndThreadsStayFew) {
    auto server = std::make_unique<ScriptedServer>(acceptingThen([](platform::NativeSocket) {}));
    struct Hang {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<int> released; // the calls, counted from 1, that may answer
        int calls = 0;
        std::uint16_t port = 0;
    };
    const auto hang = std::make_shared<Hang>();
    hang->port = server->port();
    SteppedClock clock;
    wsclient::ConnectOptions options;
    options.clock = &clock;
    options.resolver = [hang](const std::string& host, const std::string& service,
                              std::vector<platform::ResolvedAddress>& addresses) {
        std::unique_lock<std::mutex> lock(hang->mutex);
        const int call = ++hang->calls;
        hang->changed.notify_all();
        hang->changed.wait(lock, [&] {
            return std::count(hang->released.begin(), hang->released.end(), call) > 0;
        });
        return loopbackPorts({hang->port})(host, service, addresses);
    };
    const auto callsReached = [&hang](int calls) {
        std::unique_lock<std::mutex> lock(hang->mutex);
        return hang->changed.wait_for(lock, std::chrono::seconds(5),
                                      [&] { return hang->calls >= calls; });
    };
    const auto calls = [&hang] {
        std::lock_guard<std::mutex> lock(hang->mutex);
        return hang->calls;
    };
    const auto release = [&hang](int call) {
        std::lock_guard<std::mutex> lock(hang->mutex);
        hang->released.push_back(call);
        hang->changed.notify_all();
    };
    // Polls without moving the stepped clock: whatever happens is not a time limit's doing.
    const auto settled = [](WebSocket& ws, const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < end)
            ws.poll(20);
        return done();
    };
    StderrCapture err;
    wsclient::Connector connector(server->url("/"), "", {}, options);
    std::string lines;
    for (int attempt = 1; attempt <= 6; ++attempt) {
        auto ws = connector.connect();
        ws->poll(0);
        EXPECT_TRUE(callsReached(std::min(attempt, 4)));
        clock.steady += 9999;
        ws->poll(0);
        EXPECT_EQ(ws->readyState(), ReadyState::CONNECTING);
        EXPECT_EQ(ws->timeLeftMs(), 1);
        clock.steady += 1;
        ws->poll(0);
        EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
        lines += "ERROR: Timed out looking up 127.0.0.1\n";
        EXPECT_EQ(err.text(), lines) << "attempt " << attempt;
    }
    // The attempt waits on the oldest lookup out, the third; the fourth answers.
    auto ws = connector.connect();
    ws->poll(0);
    release(4);
    EXPECT_TRUE(settled(*ws, [&] { return ws->readyState() == ReadyState::OPEN; }));
    EXPECT_EQ(calls(), 4);

    // The addresses fail, and the next lookup hangs too: four are out again, three of them
    // older than an answer of an attempt's own.
    ws.reset();
    server.reset();
    ws = connector.connect();
    EXPECT_TRUE(settled(*ws, [&] { return ws->readyState() == ReadyState::CLOSED; }));
    ws = connector.connect();
    ws->poll(0);
    EXPECT_TRUE(callsReached(5));
    clock.steady += 10000;
    ws->poll(0);
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    ws = connector.connect();
    ws->poll(0);
    release(2);
    EXPECT_TRUE(settled(*ws, [&] { return calls() == 6; })) << calls();
    server = std::make_unique<ScriptedServer>(acceptingThen([](platform::NativeSocket) {}));
    {
        std::lock_guard<std::mutex> lock(hang->mutex);
        hang->port = server->port();
    }
    release(6);
    EXPECT_TRUE(settled(*ws, [&] { return ws->readyState() == ReadyState::OPEN; }));
    ws.reset();
    for (int call = 1; call <= 6; ++call)
        release(call);
}

TEST_F(WebSocketClient, ServerCloseFrameIsAnsweredAndLaterPingsAreNot) {
    Bytes afterClose;
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        // A ping right behind the close frame finds the client closing: no pong.
        Bytes frames = serverFrame(0x88, "\x03\xe8");
        const Bytes ping = serverFrame(0x89, "late");
        frames.insert(frames.end(), ping.begin(), ping.end());
        sendAllBytes(s, frames);
        afterClose = readToEnd(s);
    }));
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    pumpUntil(*ws, [&](const auto&) { return ws->readyState() != ReadyState::OPEN; });
    // Dispatch saw the close frame; the reply goes out on the next poll.
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSING);
    ws->sendText("ignored;");
    ws->poll(0);
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    server.join();
    EXPECT_EQ(afterClose, (Bytes{0x88, 0x80, 0, 0, 0, 0}));
    EXPECT_EQ(err.text(), "");
}

// Our close waits for the server's answer, reading and letting go the IQ that still streams,
// so that the server sees an orderly end of the stream and not a reset that could cost it what
// it has not read yet.
TEST_F(WebSocketClient, CloseWhileTheServerStreamsEndsInAnOrderlyEndOfStream) {
    bool closeSeen = false;
    long lastRead = 1;
    int failure = 0; // the first error the server's socket gave, such as a reset
    const auto noteFailure = [&failure](long result) {
        const int error = result < 0 ? platform::lastSocketError() : 0;
        if (failure == 0 && result < 0 && !platform::isWouldBlock(error))
            failure = error;
    };
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        platform::setNonBlocking(s, true);
        const Bytes iq = serverFrame(0x82, std::string(16448, 'q'));
        std::string got;
        auto stopAt = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < stopAt) {
            noteFailure(platform::sendSome(s, iq.data(), iq.size())); // what the socket takes
            char chunk[64];
            const long n = platform::receiveSome(s, chunk, sizeof chunk);
            noteFailure(n);
            if (n > 0)
                got.append(chunk, static_cast<std::size_t>(n));
            if (!closeSeen && got.find("\x88\x80") != std::string::npos) {
                closeSeen = true;
                // Streams on for a moment, as a server does before it reads the close.
                stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
            }
            platform::waitSocket(s, true, true, 5);
        }
        platform::setNonBlocking(s, false);
        sendAllBytes(s, serverFrame(0x88, "\x03\xe8"));
        char rest[4096];
        do {
            if (platform::waitSocket(s, true, false, 5000) <= 0)
                break;
            lastRead = platform::receiveSome(s, rest, sizeof rest);
            noteFailure(lastRead);
        } while (lastRead > 0);
    }));
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    // IQ piles up unread in the socket.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ws->close();
    ws->flush(); // writes the close frame without reading
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ws->readyState() != ReadyState::CLOSED && std::chrono::steady_clock::now() < end)
        ws->poll(20);
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    ws.reset();
    server.join();
    EXPECT_TRUE(closeSeen);
    EXPECT_EQ(failure, 0) << platform::socketErrorText(failure);
    EXPECT_EQ(lastRead, 0);
    EXPECT_EQ(err.text(), "");
}

TEST_F(WebSocketClient, CloseToAServerThatReadsNothingStillEnds) {
    std::atomic<bool> clientDone{false};
    ScriptedServer server(acceptingThen([&](platform::NativeSocket) {
        // Holds the connection and reads nothing: the close frame never leaves the client.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!clientDone && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    ws->sendBinary(std::string(15u << 20, 'x')); // more than the loopback buffers take
    ws->flush();
    ws->close();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ws->readyState() != ReadyState::CLOSED && std::chrono::steady_clock::now() < end)
        ws->poll(20);
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    clientDone = true;
    ws.reset();
    server.join();
}

TEST_F(WebSocketClient, PeerEndingTheConnectionIsReportedOnce) {
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        sendAllBytes(s, serverFrame(0x81, "last words"));
    })); // returns, closing the socket
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    server.join();
    ws->sendText("queued;");
    const auto got =
        pumpUntil(*ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; });
    // What arrived before the end is still delivered.
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0]), "last words");
    ws->poll(0);
    ws->poll(100);
    EXPECT_EQ(err.text(), "Connection closed!\n");
}

TEST_F(WebSocketClient, UndefinedOpcodeWritesItsLineAndStartsClosing) {
    Bytes afterJunk;
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        Bytes both = serverFrame(0x83, "junk");
        const Bytes next = serverFrame(0x81, "still delivered");
        both.insert(both.end(), next.begin(), next.end());
        sendAllBytes(s, both);
        afterJunk = readToEnd(s);
    }));
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    const auto got = pumpUntil(*ws, [](const auto& got) { return !got.empty(); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0]), "still delivered");
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSING);
    // The close frame goes out; a server that never answers it is given a second.
    ws->poll(0);
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSING);
    EXPECT_GT(ws->timeLeftMs(), 0);
    pumpUntil(*ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; });
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    server.join();
    EXPECT_EQ(afterJunk, (Bytes{0x88, 0x80, 0, 0, 0, 0}));
    EXPECT_EQ(err.text(), "ERROR: Got unexpected WebSocket message.\n");
}

TEST_F(WebSocketClient, OversizedFrameDropsTheConnectionWithOneLine) {
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        Bytes frames = serverFrame(0x81, "fine");
        const Bytes huge = {0x82, 127, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
        frames.insert(frames.end(), huge.begin(), huge.end());
        sendAllBytes(s, frames);
        sendAllBytes(s, std::string(64 * 1024, 'z'));
        readToEnd(s);
    }));
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    const auto got =
        pumpUntil(*ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; });
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(textOf(got[0]), "fine");
    server.join(); // the server saw the connection end
    EXPECT_EQ(err.text(), "ERROR: WebSocket message of 8589934592 bytes exceeds the 16 MiB "
                          "limit; connection dropped.\n");
}

TEST_F(WebSocketClient, ControlFrameOver125BytesDropsTheConnectionWithOneLine) {
    for (const std::uint8_t first : {0x89, 0x8a, 0x88}) { // ping, pong, close
        Bytes afterIt;
        bool peerEnded = false;
        ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
            sendAllBytes(s, serverFrame(first, std::string(126, 'c')));
            afterIt = readToEnd(s, &peerEnded);
        }));
        StderrCapture err;
        auto ws = WebSocket::connectUrl(server.url("/"), "");
        ASSERT_NE(ws, nullptr);
        pumpUntil(*ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; });
        EXPECT_EQ(ws->readyState(), ReadyState::CLOSED) << int{first};
        ws->poll(0);
        server.join();
        EXPECT_TRUE(peerEnded) << int{first};
        EXPECT_TRUE(afterIt.empty()) << "neither a pong nor a close frame goes back";
        EXPECT_EQ(err.text(), "ERROR: WebSocket control frame of 126 bytes; connection dropped.\n");
    }
}

TEST_F(WebSocketClient, PeerThatPingsAndNeverReadsIsDroppedOnceTheSendQueueIsFull) {
    // Valid 125-byte pings, each owing a 131-byte pong, from a server that reads nothing. It
    // gives up at 64 MiB, far past what the client may hold, or when the client is gone.
    ScriptedServer server(acceptingThen([](platform::NativeSocket s) {
        const Bytes ping = serverFrame(0x89, std::string(125, 'p'));
        Bytes burst;
        for (int i = 0; i < 8192; ++i)
            burst.insert(burst.end(), ping.begin(), ping.end());
        for (std::size_t sent = 0; sent < 64u * 1024 * 1024 && sendAllBytes(s, burst);)
            sent += burst.size();
    }));
    StderrCapture err;
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    pumpUntil(
        *ws, [&](const auto&) { return ws->readyState() == ReadyState::CLOSED; },
        std::chrono::seconds(60));
    EXPECT_EQ(ws->readyState(), ReadyState::CLOSED);
    ws->poll(0);
    server.join();
    EXPECT_EQ(err.text(),
              "ERROR: WebSocket send queue exceeds the 16 MiB limit; connection dropped.\n");
}

TEST_F(WebSocketClient, TextDispatchHandsOverTheBytesAsAString) {
    ScriptedServer server(acceptingThen([&](platform::NativeSocket s) {
        Bytes frame;
        const Bytes payload = {'v', 'f', 'o', ':', 0x00, 0xc3, 0xa9, ';'};
        wsclient::encodeFrame(frame, 1, payload.data(), payload.size(), false, {});
        sendAllBytes(s, frame);
        readToEnd(s);
    }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    struct Texts : wsclient::Callback_Imp {
        std::vector<std::string> seen;
        void operator()(const std::string& message) override { seen.push_back(message); }
    } texts;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (texts.seen.empty() && std::chrono::steady_clock::now() < end) {
        ws->poll(-1);
        ws->_dispatch(texts);
    }
    ASSERT_EQ(texts.seen.size(), 1u);
    EXPECT_EQ(texts.seen[0], std::string("vfo:\0\xc3\xa9;", 8));
    ws->close();
    ws->poll(0);
}

TEST_F(WebSocketClient, DestroyingAnOpenClientClosesItsSocket) {
    Bytes received;
    bool peerEnded = false;
    ScriptedServer server(
        acceptingThen([&](platform::NativeSocket s) { received = readToEnd(s, &peerEnded); }));
    auto ws = WebSocket::connectUrl(server.url("/"), "");
    ASSERT_NE(ws, nullptr);
    ws->sendText("never sent;");
    ws.reset();
    server.join();
    EXPECT_TRUE(peerEnded);
    EXPECT_TRUE(received.empty());
}

} // namespace
