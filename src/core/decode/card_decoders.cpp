// Decoders of card data, formatted card data and keypad replies. Their payloads say how much
// data follows; a reader that cuts a reply short must not make us read past what arrived, and
// bytes beyond what the count (and the minimum length) accounts for are not taken as data.

#include "decode/decoders.h"

#include "decode/card_formats.h"

#include "log/hex.h"

#include <algorithm>
#include <cstdio>

namespace quintrel {

namespace {

constexpr std::size_t kMinimumLength = 5;
constexpr std::size_t kRawHeader = 4;    // reader, format, bit count (2)
constexpr std::size_t kFmtHeader = 3;    // reader, direction, character count
constexpr std::size_t kKeypadHeader = 2; // reader, key count
// Card data up to this size in the raw or Wiegand format is shown as one number.
constexpr unsigned kMaxNumberBits = 64;

std::string FormatName(std::uint8_t format) {
    switch (format) {
    case 0:
        return "RAW";
    case 1:
        return "WIEGAND";
    case 2:
        return "MAGSTRIPE";
    case 3:
        return "FASC-N";
    }
    char text[4];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(format));
    return text;
}

// The card bits as one number, first byte most significant, without the pad bits that fill
// out the last byte. count is at most 8, so the shift stays below 64.
std::string CardNumber(const std::uint8_t* bytes, std::size_t count, unsigned bits) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    value >>= (8 - bits % 8) % 8;
    char text[20];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string ShortNote(std::size_t present, std::size_t expected) {
    return " (short: " + std::to_string(present) + " of " + std::to_string(expected) + " bytes)";
}

// Bytes after the counted data that the minimum payload length does not explain.
std::size_t Surplus(std::size_t length, std::size_t header, std::size_t expected) {
    const std::size_t accounted = std::max(header + expected, kMinimumLength);
    return length > accounted ? length - accounted : 0;
}

std::string LongNote(std::size_t length, std::size_t header, std::size_t expected) {
    return " (long: " + std::to_string(length - header) + " of " + std::to_string(expected) +
           " bytes)";
}

// "DATA=" and the bytes one by one (last first when reversed), plus the note when short.
std::string ByteList(const std::uint8_t* bytes, std::size_t present, std::size_t expected,
                     bool reversed) {
    std::string text = "DATA=";
    for (std::size_t i = 0; i < present; ++i) {
        char item[4];
        std::snprintf(item, sizeof item, "%.2X", bytes[reversed ? present - 1 - i : i]);
        if (i > 0) text += ' ';
        text += item;
    }
    if (present < expected) text += ShortNote(present, expected);
    return text;
}

} // namespace

std::string DecodeRaw(const std::uint8_t* data, std::size_t length) {
    if (length < kMinimumLength) return BytesToHex(data, length, true);
    const std::uint8_t format = data[1];
    const unsigned bits = data[2] | static_cast<unsigned>(data[3]) << 8;
    const std::size_t expected = (bits + 7) / 8;
    const std::size_t present = std::min(expected, length - kRawHeader);
    const std::uint8_t* card = data + kRawHeader;

    std::string text = "FORMAT=" + FormatName(format) + ", BITLEN=" + std::to_string(bits) + ", ";
    // A payload at odds with its own bit count is shown by bytes, with the count's share:
    // part of a number, or a number cut from more bytes, would read as a different number.
    if (Surplus(length, kRawHeader, expected) > 0)
        return text + ByteList(card, present, expected, false) +
               LongNote(length, kRawHeader, expected);
    if (bits <= kMaxNumberBits && format <= 1 && present == expected) {
        text += "DATA=" + CardNumber(card, present, bits);
        // The raw number stays; a known layout whose parity holds is read beside it.
        if (const auto reading = ReadCardFormat(card, bits)) text += ", " + *reading;
        return text;
    }
    return text + ByteList(card, present, expected, false);
}

std::string DecodeFmt(const std::uint8_t* data, std::size_t length) {
    if (length < kMinimumLength) return BytesToHex(data, length, true);
    const bool reversed = data[1] != 0;
    const std::size_t expected = data[2];
    const std::size_t present = std::min(expected, length - kFmtHeader);
    std::string text = ByteList(data + kFmtHeader, present, expected, reversed);
    if (Surplus(length, kFmtHeader, expected) > 0) text += LongNote(length, kFmtHeader, expected);
    return text;
}

std::string DecodeKeypad(const std::uint8_t* data, std::size_t length) {
    if (length < kMinimumLength) return BytesToHex(data, length, true);
    const std::size_t expected = data[1];
    const std::size_t present = std::min(expected, length - kKeypadHeader);
    std::string text = ByteList(data + kKeypadHeader, present, expected, false);
    if (Surplus(length, kKeypadHeader, expected) > 0)
        text += LongNote(length, kKeypadHeader, expected);
    else if (present == expected)
        text += ", KEYS=" + KeypadKeys(data + kKeypadHeader, present);
    return text;
}

} // namespace quintrel
