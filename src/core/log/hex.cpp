#include "log/hex.h"

#include "log/utf8.h"

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
// Calls visit(offset, character) for each character of text that is not part of a "0x"
// (found in one left-to-right pass, not scanned again) and not a blank.
template <typename TVisit> void ForEachDigit(std::string_view text, TVisit visit) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '0' && i + 1 < text.size() && text[i + 1] == 'x') {
            ++i;
            continue;
        }
        if (text[i] != ' ') visit(i, text[i]);
    }
}

std::string Digits(std::string_view text) {
    std::string digits;
    digits.reserve(text.size());
    ForEachDigit(text, [&](std::size_t, char c) { digits.push_back(c); });
    return digits;
}
} // namespace

bool IsStrictHex(std::string_view text) {
    return ScanHex(text).FirstBad == std::string_view::npos;
}

THexScan ScanHex(std::string_view text) {
    THexScan scan;
    ForEachDigit(text, [&](std::size_t i, char c) {
        if (HexDigit(c) < 0 && scan.FirstBad == std::string_view::npos) scan.FirstBad = i;
        ++scan.Count;
    });
    return scan;
}

std::string CharacterAt(std::string_view text, std::size_t offset) {
    if (offset >= text.size()) return {};
    const std::string_view rest = text.substr(offset);
    // One UTF-16 unit, or two when the character needs a pair; a broken byte stands alone.
    std::size_t length = Utf8Prefix(rest, 1);
    if (length == 0) length = Utf8Prefix(rest, 2);
    return std::string(rest.substr(0, length));
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
