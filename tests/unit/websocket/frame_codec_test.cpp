#include "websocket/frame_codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using wsclient::consumeFrames;
using wsclient::encodeFrame;
using wsclient::kMaskingKey;
using wsclient::MaskingKey;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Records what a walk reports, as one line per event.
struct Recorder : wsclient::FrameSink {
    std::vector<std::string> events;
    std::vector<Bytes> messages;
    std::vector<wsclient::Opcode> types;

    void onMessage(wsclient::Opcode type, const Bytes& message) override {
        messages.push_back(message);
        types.push_back(type);
        events.push_back("message:" + std::string(message.begin(), message.end()));
    }
    void onPing(const std::uint8_t* payload, std::size_t size) override {
        events.push_back("ping:" + std::string(payload, payload + size));
    }
    void onPong(const std::uint8_t* payload, std::size_t size) override {
        events.push_back("pong:" + std::string(payload, payload + size));
    }
    void onClose() override { events.push_back("close"); }
    void onUnexpected(std::uint8_t opcode) override {
        events.push_back("unexpected:" + std::to_string(opcode));
    }
};

// A frame as a server writes it, with FIN and opcode given as the first byte.
Bytes serverFrame(std::uint8_t first, const Bytes& payload) {
    Bytes out;
    encodeFrame(out, first & 0x0f, payload.data(), payload.size(), false, MaskingKey{});
    out[0] = first;
    return out;
}

Bytes serverFrame(std::uint8_t first, const std::string& payload) {
    return serverFrame(first, bytesOf(payload));
}

void append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

TEST(FrameCodec, HeaderGrowsAtTheLengthCodeBoundaries) {
    struct Case {
        std::size_t payload;
        std::size_t header;
    };
    for (const Case c : {Case{0, 6}, Case{125, 6}, Case{126, 8}, Case{65535, 8}, Case{65536, 14}}) {
        const Bytes payload(c.payload, 0x41);
        Bytes out;
        encodeFrame(out, 2, payload.data(), payload.size(), true, kMaskingKey);
        EXPECT_EQ(out.size() - c.payload, c.header) << "payload " << c.payload;
        EXPECT_EQ(wsclient::frameHeaderLength(c.payload, true), c.header);
        EXPECT_EQ(wsclient::frameHeaderLength(c.payload, false), c.header - 4);
    }
}

TEST(FrameCodec, LengthFieldsAreBigEndianBehindTheFinAndOpcodeByte) {
    const Bytes mid(126, 0);
    Bytes out;
    encodeFrame(out, 1, mid.data(), mid.size(), false, kMaskingKey);
    EXPECT_THAT(Bytes(out.begin(), out.begin() + 4), testing::ElementsAre(0x81, 126, 0x00, 0x7e));

    const Bytes big(65536, 0);
    out.clear();
    encodeFrame(out, 2, big.data(), big.size(), true, kMaskingKey);
    EXPECT_THAT(Bytes(out.begin(), out.begin() + 14),
                testing::ElementsAre(0x82, 0x80 | 127, 0, 0, 0, 0, 0, 1, 0, 0, kMaskingKey[0],
                                     kMaskingKey[1], kMaskingKey[2], kMaskingKey[3]));
}

TEST(FrameCodec, MaskedPayloadIsXoredWithTheKeyInTheHeader) {
    const Bytes payload = bytesOf("hello, TCI");
    Bytes out;
    encodeFrame(out, 1, payload.data(), payload.size(), true, kMaskingKey);
    ASSERT_EQ(out.size(), 6 + payload.size());
    EXPECT_EQ(out[1], 0x80 | payload.size());
    const MaskingKey key = {out[2], out[3], out[4], out[5]};
    EXPECT_EQ(key, kMaskingKey);
    for (std::size_t i = 0; i < payload.size(); ++i)
        EXPECT_EQ(out[6 + i], payload[i] ^ key[i % 4]) << "byte " << i;

    // The same frame read back comes out in clear.
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(out, message, sink);
    EXPECT_THAT(sink.events, testing::ElementsAre("message:hello, TCI"));
}

TEST(FrameCodec, UnmaskedFrameCarriesThePayloadAsIs) {
    const Bytes payload = bytesOf("abc");
    Bytes out;
    encodeFrame(out, 9, payload.data(), payload.size(), false, kMaskingKey);
    EXPECT_THAT(out, testing::ElementsAre(0x89, 3, 'a', 'b', 'c'));
}

TEST(FrameCodec, FrameSplitAtEveryByteIsDeliveredOnceWhole) {
    Bytes payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7);
    for (const bool masked : {false, true}) {
        Bytes frame;
        encodeFrame(frame, 2, payload.data(), payload.size(), masked, kMaskingKey);
        for (std::size_t split = 0; split <= frame.size(); ++split) {
            Recorder sink;
            Bytes buffer(frame.begin(), frame.begin() + split);
            wsclient::PartialMessage message;
            consumeFrames(buffer, message, sink);
            if (split < frame.size()) {
                EXPECT_TRUE(sink.messages.empty()) << "split " << split;
                EXPECT_EQ(buffer.size(), split) << "a partial frame stays buffered";
            }
            buffer.insert(buffer.end(), frame.begin() + split, frame.end());
            consumeFrames(buffer, message, sink);
            ASSERT_EQ(sink.messages.size(), 1u) << "split " << split << " masked " << masked;
            EXPECT_EQ(sink.messages[0], payload);
            EXPECT_TRUE(buffer.empty());
        }
    }
}

TEST(FrameCodec, ByteByByteArrivalDeliversEachFrameOnce) {
    Bytes stream;
    append(stream, serverFrame(0x81, "one"));
    append(stream, serverFrame(0x89, "p"));
    append(stream, serverFrame(0x82, Bytes(70000, 0x5a)));
    Recorder sink;
    Bytes buffer;
    wsclient::PartialMessage message;
    for (const std::uint8_t b : stream) {
        buffer.push_back(b);
        consumeFrames(buffer, message, sink);
    }
    ASSERT_EQ(sink.events.size(), 3u);
    EXPECT_EQ(sink.events[0], "message:one");
    EXPECT_EQ(sink.events[1], "ping:p");
    EXPECT_EQ(sink.messages[1], Bytes(70000, 0x5a));
    EXPECT_TRUE(buffer.empty());
}

TEST(FrameCodec, FramesInOneBufferComeOutInOrderAndThePartialRestStays) {
    Bytes buffer;
    append(buffer, serverFrame(0x81, "first"));
    append(buffer, serverFrame(0x82, "second"));
    const Bytes third = serverFrame(0x81, "third");
    buffer.insert(buffer.end(), third.begin(), third.begin() + 4);

    Recorder sink;
    wsclient::PartialMessage message;
    const auto result = consumeFrames(buffer, message, sink);
    EXPECT_EQ(result.frames, 2u);
    EXPECT_FALSE(result.tooLarge);
    EXPECT_THAT(sink.events, testing::ElementsAre("message:first", "message:second"));
    EXPECT_EQ(buffer, Bytes(third.begin(), third.begin() + 4));
}

TEST(FrameCodec, FragmentsJoinIntoOneMessageAndAPingBetweenIsReportedAtOnce) {
    Bytes buffer;
    append(buffer, serverFrame(0x01, "Hel")); // text, no FIN
    append(buffer, serverFrame(0x89, "are you there"));
    append(buffer, serverFrame(0x00, "lo, "));  // continuation, no FIN
    append(buffer, serverFrame(0x80, "world")); // continuation, FIN
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(buffer, message, sink);
    EXPECT_THAT(sink.events, testing::ElementsAre("ping:are you there", "message:Hello, world"));
    EXPECT_THAT(sink.types, testing::ElementsAre(wsclient::Opcode::text));
    EXPECT_TRUE(message.bytes.empty());
    EXPECT_EQ(message.bytes.capacity(), 0u) << "gathered storage is handed over, not kept";
}

TEST(FrameCodec, FragmentsSpreadOverCallsAreKeptUntilTheFinalOne) {
    Bytes buffer = serverFrame(0x02, "ab");
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(buffer, message, sink);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(message.bytes, bytesOf("ab"));
    buffer = serverFrame(0x80, "cd");
    consumeFrames(buffer, message, sink);
    EXPECT_THAT(sink.events, testing::ElementsAre("message:abcd"));
    EXPECT_THAT(sink.types, testing::ElementsAre(wsclient::Opcode::binary));
}

// A message is of its first frame's kind, whatever the frames after it say; one that starts with
// a continuation is of no kind.
TEST(FrameCodec, EachMessageIsOfItsFirstFramesKind) {
    using wsclient::Opcode;
    Bytes buffer;
    for (const std::uint8_t first : {0x81, 0x82, 0x01, 0x82, 0x02, 0x81, 0x80})
        append(buffer, serverFrame(first, "x"));
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(buffer, message, sink);
    EXPECT_THAT(sink.types, testing::ElementsAre(Opcode::text, Opcode::binary, Opcode::text,
                                                 Opcode::binary, Opcode::continuation));
}

TEST(FrameCodec, EmptyMessageIsDeliveredAsAnEmptyVector) {
    Bytes buffer = serverFrame(0x81, "");
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(buffer, message, sink);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_TRUE(sink.messages[0].empty());
}

TEST(FrameCodec, UndefinedOpcodeIsReportedAndFramesBehindItStillCome) {
    for (const std::uint8_t opcode : {3, 7, 11, 15}) {
        Bytes buffer = serverFrame(static_cast<std::uint8_t>(0x80 | opcode), "junk");
        append(buffer, serverFrame(0x81, "after"));
        Recorder sink;
        wsclient::PartialMessage message;
        const auto result = consumeFrames(buffer, message, sink);
        EXPECT_EQ(result.frames, 2u);
        EXPECT_THAT(sink.events,
                    testing::ElementsAre("unexpected:" + std::to_string(opcode), "message:after"));
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(FrameCodec, CloseAndPongFramesAreReportedWithoutTouchingTheMessage) {
    Bytes buffer = serverFrame(0x02, "part");
    append(buffer, serverFrame(0x8a, "pong"));
    append(buffer, serverFrame(0x88, Bytes{0x03, 0xe8})); // status 1000, ignored
    append(buffer, serverFrame(0x80, "-rest"));
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(buffer, message, sink);
    EXPECT_THAT(sink.events, testing::ElementsAre("pong:pong", "close", "message:part-rest"));
}

TEST(FrameCodec, MaskedFramesFromThePeerAreUnmasked) {
    const Bytes payload = bytesOf("masked ping");
    Bytes buffer;
    const MaskingKey key = {1, 2, 3, 4};
    encodeFrame(buffer, 9, payload.data(), payload.size(), true, key);
    Recorder sink;
    wsclient::PartialMessage message;
    consumeFrames(buffer, message, sink);
    EXPECT_THAT(sink.events, testing::ElementsAre("ping:masked ping"));
}

TEST(FrameCodec, OversizedClaimsStopTheWalkBeforeThePayloadArrives) {
    // An 8-byte length with a non-zero upper half, header only.
    Bytes huge = {0x82, 127, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    Bytes buffer = serverFrame(0x81, "before");
    append(buffer, huge);
    Recorder sink;
    wsclient::PartialMessage message;
    auto result = consumeFrames(buffer, message, sink);
    EXPECT_TRUE(result.tooLarge);
    EXPECT_EQ(result.claimedBytes, 0x100000000ull);
    EXPECT_THAT(sink.events, testing::ElementsAre("message:before"));
    EXPECT_EQ(buffer, huge) << "frames before the oversized one are consumed";

    // The top bit of the length is not a way round the limit.
    buffer = {0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 0x10};
    result = consumeFrames(buffer, message, sink);
    EXPECT_TRUE(result.tooLarge);

    // One byte over 16 MiB.
    buffer = {0x82, 127, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x01};
    EXPECT_TRUE(consumeFrames(buffer, message, sink).tooLarge);

    // Exactly 16 MiB is allowed and simply waits for its bytes.
    buffer = {0x82, 127, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00};
    result = consumeFrames(buffer, message, sink);
    EXPECT_FALSE(result.tooLarge);
    EXPECT_EQ(buffer.size(), 10u);
}

TEST(FrameCodec, MessageGrowingPastTheLimitIsRefused) {
    Bytes buffer = serverFrame(0x02, Bytes(100, 1));
    // A continuation that would bring the message to 16 MiB + 1.
    const std::uint64_t rest = wsclient::kMaxMessageBytes - 99;
    Bytes header = {0x80, 127};
    for (int shift = 56; shift >= 0; shift -= 8)
        header.push_back(static_cast<std::uint8_t>(rest >> shift));
    append(buffer, header);
    Recorder sink;
    wsclient::PartialMessage message;
    const auto result = consumeFrames(buffer, message, sink);
    EXPECT_TRUE(result.tooLarge);
    EXPECT_EQ(result.claimedBytes, wsclient::kMaxMessageBytes + 1);
    EXPECT_TRUE(sink.messages.empty());
}

TEST(FrameCodec, ControlFrameOver125BytesStopsTheWalk) {
    for (const std::uint8_t first : {0x88, 0x89, 0x8a}) {
        Bytes buffer = serverFrame(first, Bytes(125, 'c'));
        const Bytes over = serverFrame(first, Bytes(126, 'c'));
        append(buffer, over);
        Recorder sink;
        wsclient::PartialMessage message;
        auto result = consumeFrames(buffer, message, sink);
        EXPECT_TRUE(result.controlTooLong) << int{first};
        EXPECT_FALSE(result.tooLarge);
        EXPECT_EQ(result.claimedBytes, 126u);
        EXPECT_EQ(result.frames, 1u) << "125 bytes is still a control frame";
        EXPECT_EQ(sink.events.size(), 1u);
        EXPECT_EQ(buffer, over);

        // Refused on its header alone, however much it claims.
        buffer = {first, 127, 0, 0, 0, 1, 0, 0, 0, 0};
        result = consumeFrames(buffer, message, sink);
        EXPECT_TRUE(result.controlTooLong);
        EXPECT_EQ(result.claimedBytes, 0x100000000ull);
    }
}

TEST(FrameCodec, SentBytesLeaveTheQueueInOrderAndTheSentFrontNeverOutgrowsTheRest) {
    Bytes queue;
    std::size_t offset = 0;
    Bytes queued;
    Bytes sent;
    std::uint8_t next = 0;
    for (std::size_t round = 0; round < 2000; ++round) {
        const std::size_t add = round % 7 == 0 ? 0 : (round * 37) % 300;
        for (std::size_t i = 0; i < add; ++i) {
            queue.push_back(next);
            queued.push_back(next++);
        }
        const std::size_t part = std::min((round * 53) % 400, queue.size() - offset);
        sent.insert(sent.end(), queue.begin() + static_cast<std::ptrdiff_t>(offset),
                    queue.begin() + static_cast<std::ptrdiff_t>(offset + part));
        wsclient::markSent(queue, offset, part);
        // The sent front is cut away before it is as large as what is still to send.
        ASSERT_TRUE(offset == 0 || offset < queue.size() - offset) << "round " << round;
    }
    sent.insert(sent.end(), queue.begin() + static_cast<std::ptrdiff_t>(offset), queue.end());
    EXPECT_EQ(sent, queued);
}

TEST(FrameCodec, HeaderParserWaitsForTheExtendedLengthAndKey) {
    wsclient::FrameHeader header;
    const Bytes masked16 = {0x81, 0x80 | 126, 0x01, 0x00, 9, 9, 9, 9};
    for (std::size_t n = 0; n < masked16.size(); ++n)
        EXPECT_FALSE(wsclient::parseFrameHeader(masked16.data(), n, header)) << n;
    ASSERT_TRUE(wsclient::parseFrameHeader(masked16.data(), masked16.size(), header));
    EXPECT_TRUE(header.fin);
    EXPECT_EQ(header.opcode, 1);
    EXPECT_TRUE(header.masked);
    EXPECT_EQ(header.headerLength, 8u);
    EXPECT_EQ(header.payloadLength, 256u);
    EXPECT_EQ(header.key, (MaskingKey{9, 9, 9, 9}));
}

} // namespace
