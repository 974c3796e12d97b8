#include "osdp/bytes.h"

#include <cstring>

namespace quintrel {

void PutByte(std::uint8_t*& cursor, std::uint8_t value) {
    *cursor++ = value;
}

void PutWord(std::uint8_t*& cursor, std::uint16_t value, bool bigEndian) {
    const auto lo = static_cast<std::uint8_t>(value & 0xFF);
    const auto hi = static_cast<std::uint8_t>(value >> 8);
    PutByte(cursor, bigEndian ? hi : lo);
    PutByte(cursor, bigEndian ? lo : hi);
}

void PutLong(std::uint8_t*& cursor, std::uint32_t value, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? (3 - i) * 8 : i * 8;
        PutByte(cursor, static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

void PutBytes(std::uint8_t*& cursor, int count, const std::uint8_t* source) {
    if (count <= 0) return;
    std::memmove(cursor, source, static_cast<std::size_t>(count));
    cursor += count;
}

void InvertBytes(std::uint8_t* buffer, int count) {
    for (int i = 0; i < count; ++i)
        buffer[i] = static_cast<std::uint8_t>(~buffer[i]);
}

std::uint16_t CalcCrc16(const std::uint8_t* bytes, std::size_t count) {
    std::uint16_t crc = 0x1D0F;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= static_cast<std::uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::uint8_t CalcChecksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return static_cast<std::uint8_t>(0x100 - sum);
}

} // namespace quintrel
