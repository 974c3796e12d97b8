#pragma once
// Hex text to bytes and back, as shown in the log and typed by the user.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quintrel {

// Each byte as two upper-case hex digits, one blank between bytes when blanks is
// set; never a trailing blank.
std::string BytesToHex(const std::uint8_t* bytes, std::size_t count, bool blanks = true);

// Every "0x" (lower-case x only) is removed, then every blank; the rest is read two
// characters at a time as one hex byte. An invalid pair gives 0x00, an odd last
// character is read as one digit. Writes at most capacity bytes; returns the count.
std::size_t HexToBytes(std::string_view text, std::uint8_t* out, std::size_t capacity);

// Whether HexToBytes reads text without guessing: after the same removal of "0x" and
// blanks, every character left is a hex digit.
bool IsStrictHex(std::string_view text);

// What is left of text after the removal of "0x" and blanks: how many characters (the
// digits HexToBytes reads, when all are hex), and where in text the first one that is
// not a hex digit stands (npos when every one is).
struct THexScan {
    std::size_t Count = 0;
    std::size_t FirstBad = std::string_view::npos;
};
THexScan ScanHex(std::string_view text);

// The character of text that starts at offset, whole when it is UTF-8 of several bytes,
// so that a message can quote it.
std::string CharacterAt(std::string_view text, std::size_t offset);

} // namespace quintrel
