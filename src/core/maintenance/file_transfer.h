#pragma once
// The standard OSDP file transfer: the payload of one osdp_FILETRANSFER fragment and
// the device's osdp_FTSTAT answer.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quintrel {

constexpr std::uint8_t kFileTransferCommand = 0x7C;
constexpr std::uint8_t kFtStatReply = 0x7A;
constexpr std::size_t kFileFragmentSize = 64;

// File type 1, the total size, this fragment's offset and length (little-endian), then
// its bytes.
void BuildFileTransfer(std::uint8_t*& cursor, std::uint32_t totalSize, std::uint32_t offset,
                       const std::uint8_t* fragment, std::uint16_t length);

struct TFtStat {
    std::uint8_t Action = 0;
    std::uint16_t DelayMs = 0; // how long the device wants before the next fragment
    std::int16_t Status = 0;   // negative: the transfer has failed
    std::uint16_t MaxMessage = 0;
};
// Nothing for fewer than 7 data bytes.
std::optional<TFtStat> ParseFtStat(const std::uint8_t* data, std::size_t length);

} // namespace quintrel
