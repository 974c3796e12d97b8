#pragma once
// Byte writers and check values shared by every frame and payload builder.
// The writers take a cursor by reference, write at it and advance it; they do not
// check bounds, so the caller sizes the buffer.

#include <cstddef>
#include <cstdint>

namespace quintrel {

void PutByte(std::uint8_t*& cursor, std::uint8_t value);
void PutWord(std::uint8_t*& cursor, std::uint16_t value, bool bigEndian);
void PutLong(std::uint8_t*& cursor, std::uint32_t value, bool bigEndian);
// Copies count bytes; a count of 0 or less writes nothing.
void PutBytes(std::uint8_t*& cursor, int count, const std::uint8_t* source);
// Ones' complement of count bytes in place (used to form initialisation vectors).
void InvertBytes(std::uint8_t* buffer, int count);

// CRC-16/AUG-CCITT: polynomial 0x1021, initial 0x1D0F, MSB first, no reflection, no final XOR.
std::uint16_t CalcCrc16(const std::uint8_t* bytes, std::size_t count);
// Two's complement of the 8-bit sum.
std::uint8_t CalcChecksum(const std::uint8_t* bytes, std::size_t count);

} // namespace quintrel
