#pragma once
// The records the engine and every command builder share.

#include "crypto/secure_session.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quintrel {

constexpr std::size_t kFrameBufferSize = 2080; // transmit and receive buffers
constexpr std::size_t kPayloadCapacity = 2082;
constexpr std::size_t kScbDataSize = 32;
constexpr std::size_t kScbAreaSize = 34; // length byte, type byte, up to 32 data bytes
constexpr std::uint8_t kBroadcastAddress = 0x7F;
constexpr int kDeviceCount = 127; // addresses 0..126; the broadcast address has no record

enum : std::uint8_t { dsOk = 0, dsTimeout = 1, dsError = 2 };

struct TDeviceState {
    bool Selected = false;
    std::uint8_t Status = dsOk;
    std::uint8_t Sequence = 0;
    TSecureSession Session;
    // The device has answered a command sent with CRC with a CRC. Until a command goes to
    // it with a checksum, a reply from it that carries a checksum is taken as damaged: one
    // flipped control bit would otherwise trade the 16-bit check for an 8-bit one.
    bool RepliesWithCrc = false;
};

// One outgoing command, copied whole into the request ring and into the sender.
struct TOsdpRequest {
    std::uint8_t Command = 0;
    std::uint8_t Address = 0;
    std::uint8_t ScbLength = 0; // including its length and type bytes; 0 = no block
    std::uint8_t ScbType = 0;
    std::array<std::uint8_t, kScbDataSize> ScbData{};
    std::array<std::uint8_t, kPayloadCapacity> Payload{};
    std::uint16_t PayloadLength = 0;
    // Sent once and never repeated: a device that acts on it may not answer as OSDP at all
    // (it jumps to its bootloader).
    bool SendOnce = false;

    std::uint8_t* PayloadStart() { return Payload.data(); }
    // Sets PayloadLength from a write cursor that started at PayloadStart().
    void SetPayloadEnd(const std::uint8_t* cursor) {
        PayloadLength = static_cast<std::uint16_t>(cursor - Payload.data());
    }
};

} // namespace quintrel
