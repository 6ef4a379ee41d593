// The text side of opening a WebSocket: the ws:// URL, the upgrade request and the reply's
// status line and headers. Pure string work; the client in websocket.cpp does the socket part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wsclient {

inline constexpr std::size_t kMaxUrlLength = 127;    // a URL of 128 characters is refused
inline constexpr std::size_t kMaxOriginLength = 199; // an origin of 200 is refused
inline constexpr std::size_t kHandshakeLineLimit = 255;

// The key of an upgrade request: 16 random bytes, fresh for each attempt, in base64.
using WebSocketNonce = std::array<std::uint8_t, 16>;
std::string webSocketKey(const WebSocketNonce& nonce);
// What the server must answer in Sec-WebSocket-Accept to show that it read the key: the base64
// of the SHA-1 of the key followed by the protocol's own GUID.
std::string webSocketAccept(std::string_view key);

struct WebSocketUrl {
    std::string host;
    int port = 80;
    std::string path; // without the leading slash; may be empty
};

// Reads "ws://host:port/path", "ws://host/path", "ws://host:port" and "ws://host" the way a scanf
// conversion reads them; text after the path is ignored. A ':' after the host must be followed
// by a port from 1 to 65535 (blanks and a '+' before it allowed) and then '/' or the end.
bool parseWebSocketUrl(std::string_view url, WebSocketUrl& out);

// The request lines, each ending in CR LF, in the order they are sent; the last is the blank line.
std::vector<std::string> upgradeRequestLines(const WebSocketUrl& url, std::string_view origin,
                                             std::string_view key);

// True when a line being read byte by byte is complete: at least 2 bytes and the byte before the
// last is CR or the last is LF.
bool handshakeLineEnded(const char* line, std::size_t length);

// Reads the code of a status line "HTTP/1.1 <code>..." (blanks before the code allowed).
bool parseStatusCode(std::string_view line, int& code);

// Follows the server's reply to the upgrade request, fed one byte at a time: the status line
// (ended as handshakeLineEnded says, at most 255 bytes), then header lines of any length up to
// the first line that begins with CR LF. Line starts are tracked over the whole reply, so the
// result does not depend on how the bytes arrive. Of the headers only Sec-WebSocket-Accept is
// kept.
class HandshakeReplyReader {
public:
    enum class Step {
        needMore,          // nothing to act on yet
        statusLine,        // statusLine() is complete; the headers come next
        invalidStatusLine, // 255 bytes without a line end
        headersEnded,      // the byte was the LF of the blank line; the frames follow
    };

    // Takes the next byte. After invalidStatusLine or headersEnded the reply is over: further
    // bytes are ignored and the same step comes back.
    Step feed(char byte);

    // The status line as received, its line end included.
    std::string_view statusLine() const { return status_; }
    // The Sec-WebSocket-Accept value (name in any case, blanks around the value left out);
    // several such headers are joined with ", ", as HTTP reads them. Empty and false until one
    // has been read whole.
    std::string_view accept() const { return accept_; }
    bool acceptSeen() const { return acceptSeen_; }

private:
    Step finish(Step step);
    void headerEnded();

    enum class Phase { status, headers, over };
    Phase phase_ = Phase::status;
    Step final_ = Step::needMore;
    std::string status_;
    std::size_t lineLength_ = 0; // bytes of the current header line, counted up to 2
    char lineFirst_ = 0;
    char previous_ = 0;
    std::string line_; // the current header line, up to kHandshakeLineLimit bytes of it
    std::string accept_;
    bool acceptSeen_ = false;
};

} // namespace wsclient
