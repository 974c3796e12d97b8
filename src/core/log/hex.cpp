#include "log/hex.h"

#include <string>

namespace quintrel {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
} // namespace

std::string BytesToHex(const std::uint8_t* bytes, std::size_t count, bool blanks) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    if (count == 0) return text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (blanks && i > 0) text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

namespace {
// One left-to-right pass removing "0x" (the result is not scanned again), then blanks.
std::string Digits(std::string_view text) {
    std::string digits;
    digits.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '0' && i + 1 < text.size() && text[i + 1] == 'x') {
            ++i;
            continue;
        }
        digits.push_back(text[i]);
    }
    std::erase(digits, ' ');
    return digits;
}
} // namespace

bool IsStrictHex(std::string_view text) {
    return ScanHex(text).FirstBad == std::string_view::npos;
}

THexScan ScanHex(std::string_view text) {
    THexScan scan;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '0' && i + 1 < text.size() && text[i + 1] == 'x') {
            ++i;
            continue;
        }
        if (text[i] == ' ') continue;
        if (HexDigit(text[i]) < 0 && scan.FirstBad == std::string_view::npos) scan.FirstBad = i;
        ++scan.Count;
    }
    return scan;
}

std::string CharacterAt(std::string_view text, std::size_t offset) {
    if (offset >= text.size()) return {};
    const auto lead = static_cast<unsigned char>(text[offset]);
    std::size_t length = 1;
    if (lead >= 0xF0)
        length = 4;
    else if (lead >= 0xE0)
        length = 3;
    else if (lead >= 0xC0)
        length = 2;
    std::size_t end = offset + 1;
    // Only continuation bytes belong to the character; a cut or broken sequence ends early.
    while (end < text.size() && end < offset + length &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        ++end;
    return std::string(text.substr(offset, end - offset));
}

std::size_t HexToBytes(std::string_view text, std::uint8_t* out, std::size_t capacity) {
    const std::string digits = Digits(text);

    std::size_t count = 0;
    for (std::size_t i = 0; i < digits.size() && count < capacity; i += 2) {
        const int hi = HexDigit(digits[i]);
        if (i + 1 == digits.size()) {
            out[count++] = static_cast<std::uint8_t>(hi < 0 ? 0 : hi);
            break;
        }
        const int lo = HexDigit(digits[i + 1]);
        out[count++] = (hi < 0 || lo < 0) ? 0 : static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return count;
}

} // namespace quintrel
