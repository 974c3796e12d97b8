#pragma once
// Card numbers read out of the common Wiegand layouts, and keypad codes as the keys people
// pressed. Only a layout whose bit count matches and whose every parity bit holds is read;
// anything else stays raw, so a damaged or unknown card is never given a wrong number.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quintrel {

// bytes hold bits card bits, the first bit in the top bit of bytes[0]; at least
// (bits + 7) / 8 bytes. "26-bit FC=18 CN=41388" and the like, or nothing.
std::optional<std::string> ReadCardFormat(const std::uint8_t* bytes, unsigned bits);

// Keypad codes as keys: digits, '*' (0x7F, or 0x2A), '#' (0x0D, or 0x23), F1..F4 (0x41..0x44),
// other printable characters (not the blank) as themselves, anything else as <XX>.
std::string KeypadKeys(const std::uint8_t* codes, std::size_t count);

} // namespace quintrel
