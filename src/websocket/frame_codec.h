// WebSocket frames as the TCI client reads and writes them: pure byte work, no sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace wsclient {

enum class Opcode : std::uint8_t {
    continuation = 0,
    text = 1,
    binary = 2,
    close = 8,
    ping = 9,
    pong = 10,
};

using MaskingKey = std::array<std::uint8_t, 4>;

// One fixed key for every outgoing frame; masking only has to defeat proxy cache poisoning,
// which does not arise on the LAN link to the SDR.
inline constexpr MaskingKey kMaskingKey = {0x37, 0xa2, 0x5e, 0xc9};

// TCI frames are a few kilobytes; anything claiming more than this is not a TCI server.
inline constexpr std::uint64_t kMaxMessageBytes = 16u * 1024u * 1024u;

// Ping, pong and close carry at most this much; a longer one is a protocol error.
inline constexpr std::uint64_t kMaxControlPayload = 125;

// FIN + close, MASK set with a zero key, no payload and no status code.
inline constexpr std::array<std::uint8_t, 6> kCloseFrame = {0x88, 0x80, 0x00, 0x00, 0x00, 0x00};

// Header bytes (including the key when masked) for a payload of the given size.
std::size_t frameHeaderLength(std::size_t payloadSize, bool mask);

// XORs data[i] with key[i % 4].
void applyMask(std::uint8_t* data, std::size_t size, const MaskingKey& key);

// Appends one unfragmented (FIN) frame to `out`.
void encodeFrame(std::vector<std::uint8_t>& out, std::uint8_t opcode, const std::uint8_t* payload,
                 std::size_t size, bool mask, const MaskingKey& key);

struct FrameHeader {
    bool fin = false;
    std::uint8_t opcode = 0;
    bool masked = false;
    MaskingKey key{}; // zero when not masked
    std::size_t headerLength = 0;
    std::uint64_t payloadLength = 0;
};

// Reads the header at the front of data[0..size). False while the header is not all there.
bool parseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader& header);

// A data message being gathered from its frames.
struct PartialMessage {
    std::vector<std::uint8_t> bytes;
    Opcode type = Opcode::continuation; // the opcode of its first frame
    bool begun = false;                 // a frame of it has come
};

// What a walk over received frames hands out.
class FrameSink {
public:
    // A complete data message (fragments joined) and the opcode of its first frame: text or
    // binary, or continuation from a server that sent no first frame.
    virtual void onMessage(Opcode type, const std::vector<std::uint8_t>& message) = 0;
    // A ping, payload unmasked; the client answers it with a pong.
    virtual void onPing(const std::uint8_t* payload, std::size_t size) = 0;
    virtual void onPong(const std::uint8_t* /*payload*/, std::size_t /*size*/) {}
    virtual void onClose() = 0;
    // A frame with an opcode the protocol does not define.
    virtual void onUnexpected(std::uint8_t opcode) = 0;
    // Asked before each frame: true ends the walk there, as when the connection was dropped.
    virtual bool halted() const { return false; }

protected:
    ~FrameSink() = default;
};

struct ConsumeResult {
    std::size_t frames = 0;         // frames consumed by this walk
    bool tooLarge = false;          // stopped at a frame or message over kMaxMessageBytes
    bool controlTooLong = false;    // stopped at a control frame over kMaxControlPayload
    std::uint64_t claimedBytes = 0; // with either: the size the frame or message claimed
};

// Walks the complete frames at the front of `buffer`: unmasks payloads in place, gathers data
// fragments in `message`, reports each complete message and control frame to `sink` in order,
// and erases the consumed bytes once at the end, so a burst costs time linear in its size.
// A partial frame stays in `buffer` for a later call. The sink must not erase from `buffer`.
ConsumeResult consumeFrames(std::vector<std::uint8_t>& buffer, PartialMessage& message,
                            FrameSink& sink);

// Records that `sent` more bytes of `buffer`, from `offset` on, went out. The sent front is cut
// away only once it is at least half the buffer, or all of it, so draining a backlog in many
// partial sends moves each byte at most once.
void markSent(std::vector<std::uint8_t>& buffer, std::size_t& offset, std::size_t sent);

} // namespace wsclient
