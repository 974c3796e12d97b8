#pragma once
// The small INI dialect of the settings file, read and written by hand so that what we
// write is exactly what a person sees: booleans as 1 and 0, keys in our order, values
// verbatim (no escaping, no list syntax, no folding of section names).
//
// Reading follows the classic profile-file rules: section and key names match without
// regard to letter case, blanks around names and values are ignored, the first of two
// equal sections or keys wins, and lines that are neither a section header nor a
// "key=value" entry are kept but ignored. Writing changes an existing entry in place and
// keeps everything else of the text (comments, foreign keys, their order).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quintrel {

// A present value that is not a 32-bit decimal number (or 0x / $ hexadecimal) reads as 0,
// like the platform's own profile reader; only a missing key gives the caller's default.
int IniTextToInteger(std::string_view text);

class TIniDocument {
  public:
    static TIniDocument Parse(std::string_view text);
    std::string Format() const;

    std::optional<std::string> Read(std::string_view section, std::string_view key) const;
    // A value ends at its first LF: what follows could not be read back as part of it. (CR and
    // blanks at either end are not kept by a read either.)
    void Write(std::string_view section, std::string_view key, std::string_view value);

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view fallback) const;
    int ReadInteger(std::string_view section, std::string_view key, int fallback) const;
    // Only a value that reads as the number 0 is false: "2", "yes" and even an empty value
    // are true.
    bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;
    void WriteInteger(std::string_view section, std::string_view key, int value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // Moves the entries with the given keys to the top of the section, in the given order;
    // everything else of the section follows as it was.
    void Order(std::string_view section, const std::vector<std::string>& keys);

  private:
    struct TLine {
        std::string Text; // the line as read, for lines we do not own
        std::string Key;  // empty for anything but an entry
        std::string Value;
    };
    struct TSection {
        std::string Name;
        std::string Header; // as read; empty for the lines before the first header
        bool Nameless = false;
        std::vector<TLine> Lines;
    };

    static bool IsBlankLine(const TLine& line);
    const TLine* Find(std::string_view section, std::string_view key) const;
    TSection* FindSection(std::string_view section);
    const TSection* FindSection(std::string_view section) const;

    std::vector<TSection> Sections;
    // The text began with a UTF-8 byte-order mark. It is written back, so that whatever
    // followed it (even a second mark) reads back as the same line.
    bool ByteOrderMark = false;
};

} // namespace quintrel
