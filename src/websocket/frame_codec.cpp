#include "websocket/frame_codec.h"

#include <algorithm>

namespace wsclient {

std::size_t frameHeaderLength(std::size_t payloadSize, bool mask) {
    std::size_t length = 2;
    if (payloadSize >= 126)
        length += 2;
    if (payloadSize >= 65536)
        length += 6;
    if (mask)
        length += 4;
    return length;
}

void applyMask(std::uint8_t* data, std::size_t size, const MaskingKey& key) {
    for (std::size_t i = 0; i < size; ++i)
        data[i] ^= key[i & 3];
}

void encodeFrame(std::vector<std::uint8_t>& out, std::uint8_t opcode, const std::uint8_t* payload,
                 std::size_t size, bool mask, const MaskingKey& key) {
    const std::size_t start = out.size();
    // Grown geometrically: an exact reserve per frame would copy a long queue on every append.
    const std::size_t needed = start + frameHeaderLength(size, mask) + size;
    if (out.capacity() < needed)
        out.reserve(std::max(needed, 2 * out.capacity()));

    out.push_back(static_cast<std::uint8_t>(0x80 | (opcode & 0x0f)));
    const std::uint8_t maskBit = mask ? 0x80 : 0x00;
    if (size < 126) {
        out.push_back(static_cast<std::uint8_t>(maskBit | size));
    } else if (size < 65536) {
        out.push_back(static_cast<std::uint8_t>(maskBit | 126));
        out.push_back(static_cast<std::uint8_t>(size >> 8));
        out.push_back(static_cast<std::uint8_t>(size));
    } else {
        out.push_back(static_cast<std::uint8_t>(maskBit | 127));
        const auto length = static_cast<std::uint64_t>(size);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    if (mask)
        out.insert(out.end(), key.begin(), key.end());

    const std::size_t payloadStart = out.size();
    if (size > 0)
        out.insert(out.end(), payload, payload + size);
    if (mask)
        applyMask(out.data() + payloadStart, size, key);
}

bool parseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader& header) {
    if (size < 2)
        return false;
    header.fin = (data[0] & 0x80) != 0;
    header.opcode = data[0] & 0x0f;
    header.masked = (data[1] & 0x80) != 0;
    const std::uint8_t code = data[1] & 0x7f;

    std::size_t length = 2;
    if (code == 126)
        length = 4;
    else if (code == 127)
        length = 10;
    const std::size_t keyOffset = length;
    if (header.masked)
        length += 4;
    if (size < length)
        return false;

    header.headerLength = length;
    if (code < 126) {
        header.payloadLength = code;
    } else if (code == 126) {
        header.payloadLength = (std::uint64_t{data[2]} << 8) | data[3];
    } else {
        std::uint64_t value = 0;
        for (int i = 2; i < 10; ++i)
            value = (value << 8) | data[i];
        header.payloadLength = value;
    }
    header.key = MaskingKey{};
    if (header.masked) {
        for (int i = 0; i < 4; ++i)
            header.key[i] = data[keyOffset + i];
    }
    return true;
}

ConsumeResult consumeFrames(std::vector<std::uint8_t>& buffer, PartialMessage& message,
                            FrameSink& sink) {
    ConsumeResult result;
    std::size_t offset = 0;
    for (;;) {
        if (sink.halted())
            break;
        // The sink may queue frames or close, never touch `buffer`; still, re-read its extent
        // on every round rather than holding pointers across callbacks.
        const std::size_t available = buffer.size() - offset;
        FrameHeader header;
        if (!parseFrameHeader(buffer.data() + offset, available, header))
            break;

        const auto op = static_cast<Opcode>(header.opcode);
        const bool data = op == Opcode::continuation || op == Opcode::text || op == Opcode::binary;
        const bool control = op == Opcode::close || op == Opcode::ping || op == Opcode::pong;
        // Every ping would otherwise queue a pong of its own size, up to the message limit.
        if (control && header.payloadLength > kMaxControlPayload) {
            result.controlTooLong = true;
            result.claimedBytes = header.payloadLength;
            break;
        }
        // Refuse before waiting for the bytes: an absurd length would otherwise make the
        // connection buffer without end while the frame never completes.
        const std::uint64_t claimed =
            data ? std::uint64_t{message.bytes.size()} + header.payloadLength
                 : header.payloadLength;
        if (header.payloadLength > kMaxMessageBytes || claimed > kMaxMessageBytes) {
            result.tooLarge = true;
            result.claimedBytes =
                header.payloadLength > kMaxMessageBytes ? header.payloadLength : claimed;
            break;
        }
        const auto payloadLength = static_cast<std::size_t>(header.payloadLength);
        if (available - header.headerLength < payloadLength)
            break;

        std::uint8_t* payload = buffer.data() + offset + header.headerLength;
        if (header.masked)
            applyMask(payload, payloadLength, header.key);

        switch (op) {
        case Opcode::continuation:
        case Opcode::text:
        case Opcode::binary:
            // A message is of the kind its first frame says; the frames after it are its
            // continuations, whatever opcode they carry.
            if (!message.begun) {
                message.type = op;
                message.begun = true;
            }
            message.bytes.insert(message.bytes.end(), payload, payload + payloadLength);
            if (header.fin) {
                // Hand the gathered bytes over and leave `message` empty without storage.
                std::vector<std::uint8_t> complete;
                complete.swap(message.bytes);
                message.begun = false;
                sink.onMessage(message.type, complete);
            }
            break;
        case Opcode::ping:
            sink.onPing(payload, payloadLength);
            break;
        case Opcode::pong:
            sink.onPong(payload, payloadLength);
            break;
        case Opcode::close:
            sink.onClose();
            break;
        default:
            sink.onUnexpected(header.opcode);
            break;
        }
        offset += header.headerLength + payloadLength;
        ++result.frames;
    }
    if (offset > 0)
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    return result;
}

void markSent(std::vector<std::uint8_t>& buffer, std::size_t& offset, std::size_t sent) {
    offset += sent;
    if (offset >= buffer.size()) {
        buffer.clear();
        offset = 0;
    } else if (offset >= buffer.size() - offset) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
        offset = 0;
    }
}

} // namespace wsclient
