// Frame parser fuzz target. The first input byte picks how the rest is cut into arrivals; the
// rest is the byte stream from the server. Whatever the cut, the walk must report the same
// events (each message with its kind) as when everything arrives at once, stay in bounds, keep
// messages under the limit and control frames within 125 bytes.

#include "websocket/frame_codec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Log : wsclient::FrameSink {
    std::vector<std::string> events;

    void onMessage(wsclient::Opcode type, const Bytes& message) override {
        if (message.size() > wsclient::kMaxMessageBytes || static_cast<int>(type) > 2)
            std::abort();
        events.push_back("m" + std::to_string(static_cast<int>(type)) +
                         std::string(message.begin(), message.end()));
    }
    void onPing(const std::uint8_t* payload, std::size_t size) override {
        if (size > wsclient::kMaxControlPayload)
            std::abort();
        events.push_back("p" + std::string(payload, payload + size));
    }
    void onPong(const std::uint8_t* payload, std::size_t size) override {
        if (size > wsclient::kMaxControlPayload)
            std::abort();
        events.push_back("q" + std::string(payload, payload + size));
    }
    void onClose() override { events.push_back("c"); }
    void onUnexpected(std::uint8_t opcode) override {
        if (opcode < 3 || (opcode > 7 && opcode < 11) || opcode > 15)
            std::abort();
        events.push_back("u" + std::to_string(opcode));
    }
};

struct Outcome {
    Log log;
    Bytes rest;
    wsclient::PartialMessage message;
    bool tooLarge = false;
    bool controlTooLong = false;
};

Outcome walk(const std::uint8_t* data, std::size_t size, std::size_t step) {
    Outcome out;
    std::size_t fed = 0;
    while (fed < size && !out.tooLarge && !out.controlTooLong) {
        const std::size_t n = step == 0 ? size - fed : std::min(step, size - fed);
        out.rest.insert(out.rest.end(), data + fed, data + fed + n);
        fed += n;
        const wsclient::ConsumeResult result =
            wsclient::consumeFrames(out.rest, out.message, out.log);
        out.tooLarge = result.tooLarge;
        out.controlTooLong = result.controlTooLong;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t step = 1 + data[0] % 17;
    ++data;
    --size;

    const Outcome whole = walk(data, size, 0);
    const Outcome pieces = walk(data, size, step);
    if (whole.log.events != pieces.log.events || whole.tooLarge != pieces.tooLarge ||
        whole.controlTooLong != pieces.controlTooLong)
        std::abort();
    if (!whole.tooLarge && !whole.controlTooLong &&
        (whole.rest != pieces.rest || whole.message.bytes != pieces.message.bytes ||
         whole.message.begun != pieces.message.begun || whole.message.type != pieces.message.type))
        std::abort();
    if (whole.rest.size() > size)
        std::abort();

    // What the client sends, the parser reads back unchanged.
    Bytes frame;
    wsclient::encodeFrame(frame, 2, data, size, true, wsclient::kMaskingKey);
    Outcome echo = walk(frame.data(), frame.size(), 0);
    if (size <= wsclient::kMaxMessageBytes &&
        (echo.log.events.size() != 1 ||
         echo.log.events[0] != "m2" + std::string(data, data + size)))
        std::abort();
    return 0;
}
