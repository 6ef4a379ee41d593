#include "websocket/handshake.h"

#include "websocket/base64.h"
#include "websocket/sha1.h"

#include <cctype>
#include <climits>

namespace wsclient {
namespace {

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool startsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
    if (text.size() < lowerPrefix.size())
        return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != lowerPrefix[i])
            return false;
    return true;
}

// A scan cursor: each step either consumes its conversion or reports failure.
class Scan {
public:
    explicit Scan(std::string_view text) : text_(text) {}

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word)
            return false;
        pos_ += word.size();
        return true;
    }

    // %[^:/]: one or more characters other than ':' and '/'.
    bool host(std::string& out) {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != ':' && text_[pos_] != '/')
            ++pos_;
        if (pos_ == start)
            return false;
        out.assign(text_.substr(start, pos_ - start));
        return true;
    }

    // %d: blanks skipped, optional sign, digits; a value outside int fails instead of wrapping.
    bool integer(int& out) {
        skipSpace();
        bool negative = false;
        if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
            negative = text_[pos_] == '-';
            ++pos_;
        }
        const std::size_t start = pos_;
        long long value = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            value = value * 10 + (text_[pos_] - '0');
            if (value > static_cast<long long>(INT_MAX) + 1)
                return false;
            ++pos_;
        }
        if (pos_ == start)
            return false;
        if (negative)
            value = -value;
        if (value > INT_MAX || value < INT_MIN)
            return false;
        out = static_cast<int>(value);
        return true;
    }

    // The port after "host:": blanks and a '+' as %d allows them, then digits that must run up to
    // a '/' or the end. A value outside 1..65535 is no port; it must not wrap round or fall back.
    bool port(int& out) {
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == '+')
            ++pos_;
        const std::size_t start = pos_;
        long value = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            if (value <= 65535)
                value = value * 10 + (text_[pos_] - '0');
            ++pos_;
        }
        if (pos_ == start || value < 1 || value > 65535)
            return false;
        if (pos_ < text_.size() && text_[pos_] != '/')
            return false;
        out = static_cast<int>(value);
        return true;
    }

    // %s: blanks skipped, then one or more non-blank characters.
    bool word(std::string& out) {
        skipSpace();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !isSpace(text_[pos_]))
            ++pos_;
        if (pos_ == start)
            return false;
        out.assign(text_.substr(start, pos_ - start));
        return true;
    }

private:
    void skipSpace() {
        while (pos_ < text_.size() && isSpace(text_[pos_]))
            ++pos_;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

bool parseWebSocketUrl(std::string_view url, WebSocketUrl& out) {
    WebSocketUrl parsed;
    Scan scan(url);
    if (!scan.literal("ws://") || !scan.host(parsed.host))
        return false;
    // Once a ':' follows the host, a mistyped port is an error, not a quiet port 80.
    if (scan.literal(":") && !scan.port(parsed.port))
        return false;
    // "ws://host/" and "ws://host:5/" carry no path.
    if (scan.literal("/") && !scan.word(parsed.path))
        parsed.path.clear();
    out = parsed;
    return true;
}

std::string webSocketKey(const WebSocketNonce& nonce) {
    return base64Encode(nonce.data(), nonce.size());
}

std::string webSocketAccept(std::string_view key) {
    const Sha1Digest digest = sha1(std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    return base64Encode(digest.data(), digest.size());
}

std::vector<std::string> upgradeRequestLines(const WebSocketUrl& url, std::string_view origin,
                                             std::string_view key) {
    std::vector<std::string> lines;
    lines.push_back("GET /" + url.path + " HTTP/1.1\r\n");
    if (url.port == 80)
        lines.push_back("Host: " + url.host + "\r\n");
    else
        lines.push_back("Host: " + url.host + ":" + std::to_string(url.port) + "\r\n");
    lines.push_back("Upgrade: websocket\r\n");
    lines.push_back("Connection: Upgrade\r\n");
    if (!origin.empty())
        lines.push_back("Origin: " + std::string(origin) + "\r\n");
    lines.push_back("Sec-WebSocket-Key: " + std::string(key) + "\r\n");
    lines.push_back("Sec-WebSocket-Version: 13\r\n");
    lines.push_back("\r\n");
    return lines;
}

bool handshakeLineEnded(const char* line, std::size_t length) {
    return length >= 2 && (line[length - 2] == '\r' || line[length - 1] == '\n');
}

bool parseStatusCode(std::string_view line, int& code) {
    Scan scan(line);
    return scan.literal("HTTP/1.1") && scan.integer(code);
}

HandshakeReplyReader::Step HandshakeReplyReader::feed(char byte) {
    switch (phase_) {
    case Phase::status:
        status_.push_back(byte);
        if (handshakeLineEnded(status_.data(), status_.size())) {
            phase_ = Phase::headers;
            return Step::statusLine;
        }
        if (status_.size() >= kHandshakeLineLimit)
            return finish(Step::invalidStatusLine);
        return Step::needMore;
    case Phase::headers: {
        // The same line end as the status line's: at LF, or one byte after CR, but never at a
        // line's first byte. So a line that begins with CR LF is exactly "\r\n".
        const bool ended = lineLength_ >= 1 && (previous_ == '\r' || byte == '\n');
        if (ended && lineLength_ == 1 && lineFirst_ == '\r' && byte == '\n')
            return finish(Step::headersEnded);
        if (lineLength_ == 0)
            lineFirst_ = byte;
        previous_ = byte;
        lineLength_ = ended ? 0 : (lineLength_ < 2 ? lineLength_ + 1 : 2);
        if (line_.size() < kHandshakeLineLimit)
            line_.push_back(byte);
        if (ended)
            headerEnded();
        return Step::needMore;
    }
    case Phase::over:
        break;
    }
    return final_;
}

void HandshakeReplyReader::headerEnded() {
    static constexpr std::string_view kName = "sec-websocket-accept:";
    // Held to the line limit, so that a server repeating the header cannot make it grow; a value
    // that long matches no key's answer anyway.
    if (startsWithNoCase(line_, kName) && accept_.size() < kHandshakeLineLimit) {
        if (acceptSeen_)
            accept_ += ", ";
        accept_ += trimmed(std::string_view(line_).substr(kName.size()));
        acceptSeen_ = true;
    }
    line_.clear();
}

HandshakeReplyReader::Step HandshakeReplyReader::finish(Step step) {
    phase_ = Phase::over;
    final_ = step;
    return step;
}

} // namespace wsclient
