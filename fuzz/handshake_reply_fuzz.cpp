// Handshake reply fuzz target: the input is what a server answers to the upgrade request. The
// reader takes it one byte at a time, as the client receives it; it must report the status line
// and the end of the headers exactly where a scan of the whole input finds them, however long
// the lines are and wherever a line end falls, and keep the Sec-WebSocket-Accept value that the
// scan finds.

#include "fuzz_check.h"
#include "websocket/handshake.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Step = wsclient::HandshakeReplyReader::Step;
using Events = std::vector<std::pair<std::size_t, Step>>;

// The length of the line that starts at `text`: the shortest run of 2 bytes or more that
// handshakeLineEnded accepts, looking no further than `limit` bytes; 0 when there is none.
std::size_t lineLength(std::string_view text, std::size_t limit) {
    for (std::size_t n = 2; n <= std::min(text.size(), limit); ++n)
        if (wsclient::handshakeLineEnded(text.data(), n))
            return n;
    return 0;
}

// The accept value of one header line as the reader keeps it: the line's first 255 bytes, the
// name in any case, blanks around the value dropped.
bool acceptOf(std::string_view line, std::string& value) {
    static constexpr std::string_view kName = "sec-websocket-accept:";
    line = line.substr(0, wsclient::kHandshakeLineLimit);
    if (line.size() < kName.size())
        return false;
    for (std::size_t i = 0; i < kName.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i])
            return false;
    line.remove_prefix(kName.size());
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!line.empty() && blank(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && blank(line.back()))
        line.remove_suffix(1);
    value = line;
    return true;
}

// What the whole input holds: the status line, then header lines one after another up to the
// first that is exactly CR LF, and the accept values among them, joined.
Events scanWhole(std::string_view reply, bool& acceptSeen, std::string& accept) {
    Events expected;
    const std::size_t status = lineLength(reply, wsclient::kHandshakeLineLimit);
    if (status == 0) {
        if (reply.size() >= wsclient::kHandshakeLineLimit)
            expected.emplace_back(wsclient::kHandshakeLineLimit, Step::invalidStatusLine);
        return expected;
    }
    expected.emplace_back(status, Step::statusLine);
    for (std::size_t start = status;;) {
        const std::size_t length = lineLength(reply.substr(start), reply.size());
        if (length == 0)
            break;
        if (reply.substr(start, length) == "\r\n") {
            expected.emplace_back(start + length, Step::headersEnded);
            break;
        }
        std::string value;
        if (acceptOf(reply.substr(start, length), value) &&
            accept.size() < wsclient::kHandshakeLineLimit) {
            accept += (acceptSeen ? ", " : "") + value;
            acceptSeen = true;
        }
        start += length;
    }
    return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);

    wsclient::HandshakeReplyReader reader;
    Events seen;
    std::size_t fed = 0;
    Step last = Step::needMore;
    while (fed < size && last != Step::invalidStatusLine && last != Step::headersEnded) {
        last = reader.feed(reply[fed++]);
        if (last != Step::needMore)
            seen.push_back({fed, last});
    }
    bool acceptSeen = false;
    std::string accept;
    FUZZ_CHECK(seen == scanWhole(reply, acceptSeen, accept));
    FUZZ_CHECK(reader.acceptSeen() == acceptSeen && reader.accept() == accept);

    if (!seen.empty() && seen.front().second == Step::statusLine) {
        FUZZ_CHECK(reader.statusLine() == reply.substr(0, seen.front().first));
        FUZZ_CHECK(reader.statusLine().size() <= wsclient::kHandshakeLineLimit);
    }
    // Once the reply is over, the bytes behind it (the first frames) change nothing.
    while (fed < size)
        FUZZ_CHECK(reader.feed(reply[fed++]) == last);
    return 0;
}
