#include "websocket/handshake.h"

#include "websocket/base64.h"
#include "websocket/sha1.h"

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
    EXPECT_EQ(joined(wsclient::upgradeRequestLines(u, "", "dGhlIHNhbXBsZSBub25jZQ==")),
              "GET / HTTP/1.1\r\n"
              "Host: 127.0.0.1:40001\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              "Sec-WebSocket-Version: 13\r\n"
              "\r\n");

    u.host = "sdr";
    u.port = 80;
    u.path = "x";
    const auto lines = wsclient::upgradeRequestLines(u, "http://n1mm", "k");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "GET /x HTTP/1.1\r\n");
    EXPECT_EQ(lines[1], "Host: sdr\r\n");
    EXPECT_EQ(lines[4], "Origin: http://n1mm\r\n");
    EXPECT_EQ(lines[7], "\r\n");
}

// FIPS 180 examples, the empty message, and a million bytes over many blocks.
TEST(Sha1, DigestsOfTheStandardsExamples) {
    const auto hex = [](const wsclient::Sha1Digest& digest) {
        std::string text;
        for (const std::uint8_t byte : digest)
            text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 15];
        return text;
    };
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hex(wsclient::sha1(c.message)), c.digest) << c.message.size() << " bytes";
}

TEST(Base64, RfcExamplesAndTheHandshakesKeyAndAnswer) {
    for (const auto& [plain, encoded] :
         std::vector<std::pair<std::string, std::string>>{{"", ""},
                                                          {"f", "Zg=="},
                                                          {"fo", "Zm8="},
                                                          {"foo", "Zm9v"},
                                                          {"foob", "Zm9vYg=="},
                                                          {"fooba", "Zm9vYmE="},
                                                          {"foobar", "Zm9vYmFy"},
                                                          {std::string("\xfb\xff\xbf", 3), "+/+/"}})
        EXPECT_EQ(wsclient::base64Encode(reinterpret_cast<const std::uint8_t*>(plain.data()),
                                         plain.size()),
                  encoded);
    // RFC 6455's example: the nonce "the sample nonce", its key and the server's answer.
    wsclient::WebSocketNonce nonce{};
    const std::string sample = "the sample nonce";
    std::copy(sample.begin(), sample.end(), nonce.begin());
    EXPECT_EQ(wsclient::webSocketKey(nonce), "dGhlIHNhbXBsZSBub25jZQ==");
    EXPECT_EQ(wsclient::webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
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

// Only Sec-WebSocket-Accept is kept: its name in any case, blanks around the value left out,
// several joined as HTTP joins them.
TEST(HandshakeReply, AcceptHeaderIsKeptAsHttpReadsIt) {
    const struct {
        std::string headers;
        bool seen;
        std::string accept;
    } cases[] = {
        {"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n", true,
         "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
        {"Upgrade: websocket\r\nsec-websocket-ACCEPT:\t abc \r\n", true, "abc"},
        {"Sec-WebSocket-Accept: abc\nSec-WebSocket-Accept: def\r\n", true, "abc, def"},
        {"Sec-WebSocket-Accept:\r\n", true, ""},
        {"X-Sec-WebSocket-Accept: abc\r\nSec-WebSocket-Accept abc\r\n", false, ""},
        {"Sec-WebSocket-Accept: " + std::string(400, 'a') + "\r\n", true,
         std::string(255 - 22, 'a')},
    };
    for (const auto& c : cases) {
        wsclient::HandshakeReplyReader reader;
        for (const char byte : "HTTP/1.1 101 OK\r\n" + c.headers + "\r\n")
            reader.feed(byte);
        EXPECT_EQ(reader.acceptSeen(), c.seen) << c.headers;
        EXPECT_EQ(reader.accept(), c.accept) << c.headers;
    }
}

} // namespace
