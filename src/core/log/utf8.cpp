#include "log/utf8.h"

namespace quintrel {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// The length of the well-formed sequence that starts at text[at] and the code point it
// holds; 0 when the byte there does not start one.
std::size_t Sequence(std::string_view text, std::size_t at, char32_t& code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (next & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Calls visit(bytes, code) for each character in order, a bad byte being U+FFFD of one byte,
// until visit returns false.
template <typename Visit> void ForEachCharacter(std::string_view text, Visit&& visit) {
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        std::size_t length = Sequence(text, at, code);
        if (length == 0) {
            length = 1;
            code = kReplacement;
        }
        if (!visit(length, code)) return;
        at += length;
    }
}

bool IsAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

} // namespace

std::size_t Utf16Length(std::string_view utf8) {
    if (IsAscii(utf8)) return utf8.size();
    std::size_t units = 0;
    ForEachCharacter(utf8, [&](std::size_t, char32_t code) {
        units += code >= 0x10000 ? 2 : 1;
        return true;
    });
    return units;
}

void AppendUtf16(std::string_view utf8, std::u16string& out) {
    out.reserve(out.size() + utf8.size());
    ForEachCharacter(utf8, [&](std::size_t, char32_t code) {
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        return true;
    });
}

std::size_t Utf8Prefix(std::string_view utf8, std::size_t units) {
    if (IsAscii(utf8)) return units < utf8.size() ? units : utf8.size();
    std::size_t bytes = 0, counted = 0;
    ForEachCharacter(utf8, [&](std::size_t length, char32_t code) {
        counted += code >= 0x10000 ? 2 : 1;
        if (counted > units) return false;
        bytes += length;
        return true;
    });
    return bytes;
}

} // namespace quintrel
