#pragma once
// The IEEE vendor registry (the public oui.csv export), kept as its text and searched for a
// vendor code when an identification reply arrives.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quintrel {

// The maker's own vendor codes. An identification from either one points the manufacturer
// commands at that code; the first is also the built-in default.
constexpr std::uint32_t kMakerVendorCode = 0x7C4E15;
constexpr std::uint32_t kMakerSecondVendorCode = 0x7C4E51;

class TVendorList {
  public:
    void Clear();
    // Keeps the text as it is; lines end at LF (a CR before it belongs to the line end).
    void LoadFromText(std::string_view text);
    std::size_t Size() const { return LineCount; }

    // "KEY=Organization", KEY being the code as six upper-case hex digits; the bare key when
    // no line holds it or its line has fewer than three fields.
    //
    // The first line that contains the key anywhere (letter case significant) decides, not
    // just a line whose assignment column equals it. Fields are split at commas, except
    // between a quote character (double or single) and the next one of the same kind on the
    // line; the quotes stay in the field. A quote without a partner on the line is an ordinary
    // character, so names such as O'Neil do not swallow the rest of the line. Empty fields
    // do not count, and CR or LF also ends a field.
    std::string VendorName(std::uint32_t code) const;

  private:
    // Where each six-hex-digit run first occurs. A key consists of upper-case hex digits
    // only, so a line contains it exactly when one of the line's six-character windows of
    // such digits equals it: the index answers "first line containing the key" precisely,
    // without scanning the whole registry (tens of thousands of lines) on every lookup.
    struct TKeyLine {
        std::uint32_t Key;
        std::size_t LineStart; // offset in Text
    };

    std::string Text;
    std::vector<TKeyLine> Index; // sorted by Key, one entry per key
    std::size_t LineCount = 0;
};

} // namespace quintrel
