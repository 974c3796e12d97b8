#pragma once
// Log lines are kept as UTF-8; screen readers count and address text in UTF-16 units. One
// reading of the bytes serves the count, the conversion and the way back, so an offset always
// lands on the text it was counted over. A byte that does not begin a well-formed sequence (a
// stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, a sequence
// cut short) reads as one U+FFFD and reading goes on at the next byte, which is also how Qt
// reads such bytes for the screen.

#include <cstddef>
#include <string>
#include <string_view>

namespace quintrel {

std::size_t Utf16Length(std::string_view utf8);
void AppendUtf16(std::string_view utf8, std::u16string& out);
// How many bytes of utf8 hold its first `units` UTF-16 units. A count that ends between the
// two halves of a pair stops before that character; a count past the end gives every byte.
std::size_t Utf8Prefix(std::string_view utf8, std::size_t units);

} // namespace quintrel
