#include "decode/vendor_list.h"

#include <algorithm>
#include <cstdio>

namespace quintrel {

namespace {

constexpr std::string_view kMakerPrefix = "TORVA | ";

// Lower-case digits never form a key, since keys are written in upper case.
int UpperHexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool EndsLine(char c) {
    return c == '\r' || c == '\n';
}

bool EndsField(char c) {
    return c == ',' || EndsLine(c);
}

// The third non-empty field of a registry line, or an empty view when there are fewer.
std::string_view ThirdField(std::string_view line) {
    int found = 0;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i <= line.size()) {
        if (i == line.size() || EndsField(line[i])) {
            if (i > start && ++found == 3) return line.substr(start, i - start);
            start = ++i;
            continue;
        }
        const char c = line[i];
        if (c == '"' || c == '\'') {
            std::size_t j = i + 1;
            while (j < line.size() && line[j] != c && !EndsLine(line[j]))
                ++j;
            if (j < line.size() && line[j] == c) i = j; // commas up to the partner stay
        }
        ++i;
    }
    return {};
}

} // namespace

void TVendorList::Clear() {
    Text.clear();
    Index.clear();
    LineCount = 0;
}

void TVendorList::LoadFromText(std::string_view text) {
    Clear();
    Text.assign(text);
    std::size_t lineStart = 0;
    std::uint32_t window = 0;
    int run = 0;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        const int digit = UpperHexDigit(Text[i]);
        if (digit < 0) {
            run = 0;
            if (Text[i] == '\n') {
                ++LineCount;
                lineStart = i + 1;
            }
            continue;
        }
        window = ((window << 4) | static_cast<std::uint32_t>(digit)) & 0xFFFFFF;
        if (++run >= 6) Index.push_back({window, lineStart});
    }
    if (!Text.empty() && Text.back() != '\n') ++LineCount;

    // Entries were added in text order; a stable sort keeps each key's earliest line first.
    const auto byKey = [](const TKeyLine& a, const TKeyLine& b) { return a.Key < b.Key; };
    std::stable_sort(Index.begin(), Index.end(), byKey);
    const auto sameKey = [](const TKeyLine& a, const TKeyLine& b) { return a.Key == b.Key; };
    Index.erase(std::unique(Index.begin(), Index.end(), sameKey), Index.end());
}

std::string TVendorList::VendorName(std::uint32_t code) const {
    code &= 0xFFFFFF;
    char key[8];
    std::snprintf(key, sizeof key, "%.6X", static_cast<unsigned>(code));
    const auto hit = std::lower_bound(Index.begin(), Index.end(), code,
                                      [](const TKeyLine& e, std::uint32_t k) { return e.Key < k; });
    if (hit == Index.end() || hit->Key != code) return key;

    const std::string_view text = Text;
    const std::size_t end = std::min(text.find('\n', hit->LineStart), text.size());
    const std::string_view organization =
        ThirdField(text.substr(hit->LineStart, end - hit->LineStart));
    if (organization.empty()) return key;

    std::string name = key;
    name += '=';
    if (code == kMakerVendorCode) name += kMakerPrefix;
    name += organization;
    return name;
}

} // namespace quintrel
