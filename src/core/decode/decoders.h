#pragma once
// The payload decoders behind the log's reply descriptions. Each takes the data after the
// reply code (check bytes, MAC and padding already removed) and returns the text that goes
// between the parentheses. A payload shorter than the decoder's minimum is shown as plain
// hex; bytes beyond what a decoder needs are ignored.
//
// Card data, formatted card data and keypad replies carry their own count (bits, characters,
// keys). When fewer bytes arrived than that count says, the decoder reads only what arrived,
// shows those bytes one by one and ends with " (short: N of M bytes)", N being the bytes
// present and M the bytes the count calls for:
//     FORMAT=WIEGAND, BITLEN=26, DATA=48 D1 (short: 2 of 4 bytes)

#include "decode/vendor_list.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quintrel {

// The fields of an identification (12 bytes); nothing when it is shorter.
struct TPdid {
    std::uint32_t Vendor = 0;
    std::uint8_t Model = 0;
    std::uint8_t Version = 0;
    std::uint32_t Serial = 0;
    std::uint8_t Firmware[3] = {};
};
std::optional<TPdid> ParsePdid(const std::uint8_t* data, std::size_t length);

// Identification, 12 bytes. A maker's own vendor code is stored into mfgId so that the
// manufacturer commands follow the last of the maker's readers identified; any other vendor
// leaves it as it is.
std::string DecodePdid(const std::uint8_t* data, std::size_t length, const TVendorList& vendors,
                       std::uint32_t& mfgId);
// Capabilities, entries of 3 bytes (at least one).
std::string DecodePdcap(const std::uint8_t* data, std::size_t length);
// Local status (tamper, power), 2 bytes.
std::string DecodeLstat(const std::uint8_t* data, std::size_t length);
// Input and output status, one byte per input or output (at least one).
std::string DecodeIstat(const std::uint8_t* data, std::size_t length);
std::string DecodeOstat(const std::uint8_t* data, std::size_t length);
// Card data, 5 bytes: reader, format, bit count (2), data.
std::string DecodeRaw(const std::uint8_t* data, std::size_t length);
// Formatted card data, 5 bytes: reader, direction, character count, characters.
std::string DecodeFmt(const std::uint8_t* data, std::size_t length);
// Keypad data, 5 bytes: reader, key count, keys.
std::string DecodeKeypad(const std::uint8_t* data, std::size_t length);
// New communication settings, 5 bytes: address, baud rate (4).
std::string DecodeCom(const std::uint8_t* data, std::size_t length);

} // namespace quintrel
