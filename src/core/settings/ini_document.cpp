#include "settings/ini_document.h"

#include <cstdint>
#include <limits>
#include <utility>

namespace quintrel {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF"; // an editor's UTF-8 mark

// A CR counts as a blank: the text may have come with CR LF line ends, or stray CRs, and a
// value read must be one the writer can give back unchanged.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 99;
}

} // namespace

namespace {

// Nothing unless the whole text is one number that fits 32 bits.
std::optional<int> ParseInteger(std::string_view text) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // One past the largest magnitude, so that the most negative value still fits.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<int>::max()} + 1;
    std::int64_t magnitude = 0;
    for (char c : text) {
        const int digit = DigitValue(c);
        if (digit >= base) return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > kLimit) return std::nullopt;
    }
    if (!negative && magnitude == kLimit) return std::nullopt;
    return static_cast<int>(negative ? -magnitude : magnitude);
}

} // namespace

int IniTextToInteger(std::string_view text) {
    return ParseInteger(text).value_or(0);
}

TIniDocument TIniDocument::Parse(std::string_view text) {
    TIniDocument doc;
    doc.ByteOrderMark = text.starts_with(kByteOrderMark);
    if (doc.ByteOrderMark) text.remove_prefix(kByteOrderMark.size());
    doc.Sections.push_back(TSection{.Name = {}, .Header = {}, .Nameless = true, .Lines = {}});
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        const std::string_view trimmed = Trim(line);
        if (!trimmed.empty() && trimmed.front() == '[') {
            const std::size_t close = trimmed.find(']');
            if (close != std::string_view::npos) {
                doc.Sections.push_back(
                    TSection{.Name = std::string(Trim(trimmed.substr(1, close - 1))),
                             .Header = std::string(line),
                             .Nameless = false,
                             .Lines = {}});
                continue;
            }
        }
        TLine entry{.Text = std::string(line), .Key = {}, .Value = {}};
        const std::size_t equals = trimmed.find('=');
        const bool comment = !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
        if (!comment && equals != std::string_view::npos) {
            entry.Key = std::string(Trim(trimmed.substr(0, equals)));
            if (!entry.Key.empty()) entry.Value = std::string(Trim(trimmed.substr(equals + 1)));
        }
        doc.Sections.back().Lines.push_back(std::move(entry));
    }
    return doc;
}

std::string TIniDocument::Format() const {
    std::string out(ByteOrderMark ? kByteOrderMark : std::string_view{});
    for (const TSection& section : Sections) {
        if (!section.Nameless) out += section.Header + '\n';
        for (const TLine& line : section.Lines) {
            if (line.Key.empty() || !line.Text.empty())
                out += line.Text;
            else
                out += line.Key + '=' + line.Value;
            out += '\n';
        }
    }
    return out;
}

bool TIniDocument::IsBlankLine(const TLine& line) {
    return line.Key.empty() && Trim(line.Text).empty();
}

const TIniDocument::TSection* TIniDocument::FindSection(std::string_view section) const {
    for (const TSection& s : Sections)
        if (!s.Nameless && SameName(s.Name, section)) return &s;
    return nullptr;
}

TIniDocument::TSection* TIniDocument::FindSection(std::string_view section) {
    return const_cast<TSection*>(std::as_const(*this).FindSection(section));
}

const TIniDocument::TLine* TIniDocument::Find(std::string_view section,
                                              std::string_view key) const {
    const TSection* s = FindSection(section);
    if (!s) return nullptr;
    for (const TLine& line : s->Lines)
        if (!line.Key.empty() && SameName(line.Key, key)) return &line;
    return nullptr;
}

std::optional<std::string> TIniDocument::Read(std::string_view section,
                                              std::string_view key) const {
    const TLine* line = Find(section, key);
    if (!line) return std::nullopt;
    return line->Value;
}

void TIniDocument::Write(std::string_view section, std::string_view key, std::string_view value) {
    value = value.substr(0, value.find('\n')); // one entry, one line
    if (TLine* line = const_cast<TLine*>(Find(section, key))) {
        line->Text.clear(); // formatted from Key and Value from now on
        line->Value = std::string(value);
        return;
    }
    TSection* s = FindSection(section);
    if (!s) {
        // A blank line between sections, as a person would write it.
        const TSection& last = Sections.back();
        const bool hasContent = Sections.size() > 1 || !last.Lines.empty();
        if (hasContent && (last.Lines.empty() || !IsBlankLine(last.Lines.back())))
            Sections.back().Lines.push_back(TLine{});
        Sections.push_back(TSection{.Name = std::string(section),
                                    .Header = '[' + std::string(section) + ']',
                                    .Nameless = false,
                                    .Lines = {}});
        s = &Sections.back();
    }
    // New keys go after the last non-blank line, so a blank line before the next section
    // stays where it is.
    std::size_t at = s->Lines.size();
    while (at > 0 && IsBlankLine(s->Lines[at - 1]))
        --at;
    s->Lines.insert(s->Lines.begin() + static_cast<std::ptrdiff_t>(at),
                    TLine{.Text = {}, .Key = std::string(key), .Value = std::string(value)});
}

std::string TIniDocument::ReadString(std::string_view section, std::string_view key,
                                     std::string_view fallback) const {
    const TLine* line = Find(section, key);
    return line ? line->Value : std::string(fallback);
}

int TIniDocument::ReadInteger(std::string_view section, std::string_view key, int fallback) const {
    const TLine* line = Find(section, key);
    return line ? IniTextToInteger(line->Value) : fallback;
}

bool TIniDocument::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
    const TLine* line = Find(section, key);
    if (!line) return fallback;
    const std::optional<int> number = ParseInteger(line->Value);
    return !number || *number != 0;
}

void TIniDocument::WriteInteger(std::string_view section, std::string_view key, int value) {
    Write(section, key, std::to_string(value));
}

void TIniDocument::WriteBool(std::string_view section, std::string_view key, bool value) {
    Write(section, key, value ? "1" : "0");
}

void TIniDocument::Order(std::string_view section, const std::vector<std::string>& keys) {
    TSection* s = FindSection(section);
    if (!s) return;
    std::vector<TLine> ordered;
    std::vector<bool> taken(s->Lines.size(), false);
    for (const std::string& key : keys) {
        for (std::size_t i = 0; i < s->Lines.size(); ++i) {
            if (!taken[i] && !s->Lines[i].Key.empty() && SameName(s->Lines[i].Key, key)) {
                taken[i] = true;
                ordered.push_back(std::move(s->Lines[i]));
                break;
            }
        }
    }
    for (std::size_t i = 0; i < s->Lines.size(); ++i)
        if (!taken[i]) ordered.push_back(std::move(s->Lines[i]));
    s->Lines = std::move(ordered);
}

} // namespace quintrel
