#include "maintenance/file_transfer.h"

#include "osdp/bytes.h"

namespace quintrel {

void BuildFileTransfer(std::uint8_t*& cursor, std::uint32_t totalSize, std::uint32_t offset,
                       const std::uint8_t* fragment, std::uint16_t length) {
    PutByte(cursor, 1);
    PutLong(cursor, totalSize, false);
    PutLong(cursor, offset, false);
    PutWord(cursor, length, false);
    PutBytes(cursor, length, fragment);
}

std::optional<TFtStat> ParseFtStat(const std::uint8_t* data, std::size_t length) {
    if (length < 7) return std::nullopt;
    const auto word = [data](int i) {
        return static_cast<std::uint16_t>(data[i] | data[i + 1] << 8);
    };
    return TFtStat{data[0], word(1), static_cast<std::int16_t>(word(3)), word(5)};
}

} // namespace quintrel
