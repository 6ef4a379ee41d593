#include "websocket/handshake.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using wsclient::parseWebSocketUrl;
using wsclient::WebSocketUrl;

WebSocketUrl parsed(const std::string& url) {
    WebSocketUrl out;
    out.host = "<unset>";
    EXPECT_TRUE(parseWebSocketUrl(url, out)) << url;
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& line : lines)
        all += line;
    return all;
}

TEST(WebSocketUrl, HostPortAndPathInEveryAcceptedShape) {
    auto u = parsed("ws://127.0.0.1:40001");
    EXPECT_EQ(u.host, "127.0.0.1");
    EXPECT_EQ(u.port, 40001);
    EXPECT_EQ(u.path, "");

    u = parsed("ws://sdr/x");
    EXPECT_EQ(u.host, "sdr");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path, "x");

    u = parsed("ws://sdr:80/x/y?z=1");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path, "x/y?z=1");

    u = parsed("ws://sdr");
    EXPECT_EQ(u.host, "sdr");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path, "");
}

TEST(WebSocketUrl, EmptyPathAfterTheSlashFallsBackToHostAndPort) {
    const auto u = parsed("ws://sdr:5/");
    EXPECT_EQ(u.host, "sdr");
    EXPECT_EQ(u.port, 5);
    EXPECT_EQ(u.path, "");
}

TEST(WebSocketUrl, ScanRulesForPortAndPath) {
    // Text after the path is ignored; the path stops at white space.
    auto u = parsed("ws://sdr:40001/tci extra");
    EXPECT_EQ(u.path, "tci");
    // Blanks and a '+' before the port are read as a scan conversion reads them.
    EXPECT_EQ(parsed("ws://sdr:+7").port, 7);
    EXPECT_EQ(parsed("ws://sdr: 40001/tci").port, 40001);
    EXPECT_EQ(parsed("ws://sdr:00080/x").port, 80);
    EXPECT_EQ(parsed("ws://sdr:1").port, 1);
    EXPECT_EQ(parsed("ws://sdr:65535/x").port, 65535);
}

TEST(WebSocketUrl, PortThatIsNotAWholeNumberFrom1To65535IsRefused) {
    // None may fall back to port 80 or reach the resolver wrapped round to another port.
    for (const char* url :
         {"ws://127.0.0.1:4294967297/", "ws://127.0.0.1:99999999999/", "ws://sdr:0",
          "ws://sdr:65536", "ws://sdr:99999/x", "ws://sdr:-5", "ws://sdr:-0/x", "ws://sdr:abc/x",
          "ws://sdr:", "ws://sdr:/x", "ws://sdr:5x", "ws://sdr:5 /x", "ws://sdr:5?x", "ws://sdr:+",
          "ws://sdr:5:6"}) {
        WebSocketUrl out;
        out.host = "<unset>";
        EXPECT_FALSE(parseWebSocketUrl(url, out)) << url;
        EXPECT_EQ(out.host, "<unset>") << url;
    }
}

TEST(WebSocketUrl, OtherSchemesAndShapesAreRefused) {
    WebSocketUrl out;
    for (const char* url : {"wss://sdr", "WS://sdr", "http://sdr:80/", "ws://", "ws:///x",
                            "ws://:40001", "sdr:40001", ""})
        EXPECT_FALSE(parseWebSocketUrl(url, out)) << url;
}

TEST(UpgradeRequest, LinesByteForByte) {
    WebSocketUrl u;
    u.host = "127.0.0.1";
    u.port = 40001;
    EXPECT_EQ(joined(wsclient::upgradeRequestLines(u, "")),
              "GET / HTTP/1.1\r\n"
              "Host: 127.0.0.1:40001\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Key: pR7tK2wQ9mZx4LbV1cNs0A==\r\n"
              "Sec-WebSocket-Version: 13\r\n"
              "\r\n");

    u.host = "sdr";
    u.port = 80;
    u.path = "x";
    const auto lines = wsclient::upgradeRequestLines(u, "http://n1mm");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "GET /x HTTP/1.1\r\n");
    EXPECT_EQ(lines[1], "Host: sdr\r\n");
    EXPECT_EQ(lines[4], "Origin: http://n1mm\r\n");
    EXPECT_EQ(lines[7], "\r\n");
}

TEST(StatusLine, CodeAfterHttp11Only) {
    int code = 0;
    ASSERT_TRUE(wsclient::parseStatusCode("HTTP/1.1 101 Switching Protocols\r\n", code));
    EXPECT_EQ(code, 101);
    ASSERT_TRUE(wsclient::parseStatusCode("HTTP/1.1 200 OK\r\n", code));
    EXPECT_EQ(code, 200);
    EXPECT_FALSE(wsclient::parseStatusCode("HTTP/1.0 101 Switching Protocols\r\n", code));
    EXPECT_FALSE(wsclient::parseStatusCode("HTTP/1.1 abc\r\n", code));
    EXPECT_FALSE(wsclient::parseStatusCode("http/1.1 101\r\n", code));
}

TEST(StatusLine, LineEndsAtLfOrOneByteAfterCr) {
    EXPECT_FALSE(wsclient::handshakeLineEnded("\n", 1));
    EXPECT_TRUE(wsclient::handshakeLineEnded("a\n", 2));
    EXPECT_TRUE(wsclient::handshakeLineEnded("\r\n", 2));
    EXPECT_TRUE(wsclient::handshakeLineEnded("ab\rx", 4));
    EXPECT_FALSE(wsclient::handshakeLineEnded("abc\r", 4));
}

TEST(HandshakeReply, BlankLineEndsTheHeadersWhateverTheLengthOfTheLineBeforeIt) {
    using Step = wsclient::HandshakeReplyReader::Step;
    const std::string status = "HTTP/1.1 101 Switching Protocols\r\n";
    // The last header line, CR LF included, from 250 to 520 bytes: its CR falls on every
    // position around the 255th and 510th byte of the line.
    for (std::size_t length = 250; length <= 520; ++length) {
        const std::string reply = status + "Upgrade: websocket\r\n" +
                                  "X-Pad: " + std::string(length - 9, 'a') + "\r\n" + "\r\n";
        wsclient::HandshakeReplyReader reader;
        std::vector<std::pair<std::size_t, Step>> steps;
        for (std::size_t i = 0; i < reply.size(); ++i) {
            const Step step = reader.feed(reply[i]);
            if (step != Step::needMore)
                steps.emplace_back(i + 1, step);
        }
        EXPECT_EQ(steps,
                  (std::vector<std::pair<std::size_t, Step>>{{status.size(), Step::statusLine},
                                                             {reply.size(), Step::headersEnded}}))
            << "last header line of " << length << " bytes";
        EXPECT_EQ(reader.statusLine(), status);
        // The reply is over; what follows (the first frame) is not the reader's.
        EXPECT_EQ(reader.feed('\x81'), Step::headersEnded);
    }
}

} // namespace
