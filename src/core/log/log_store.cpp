#include "log/log_store.h"

#include "log/utf8.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quintrel {

namespace {

unsigned char Fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Boyer-Moore-Horspool over [first, last), exact or with A-Z folded to a-z.
class TSearcher {
  public:
    TSearcher(std::string_view needle, bool matchCase) : Needle(needle), MatchCase(matchCase) {
        Shift.fill(needle.size());
        if (!MatchCase)
            for (char& c : Needle)
                c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
        for (std::size_t i = 0; i + 1 < Needle.size(); ++i)
            Shift[static_cast<unsigned char>(Needle[i])] = Needle.size() - 1 - i;
    }

    const char* Next(const char* first, const char* last) const {
        const std::size_t n = Needle.size();
        if (n == 0 || static_cast<std::size_t>(last - first) < n) return nullptr;
        if (MatchCase)
            return static_cast<const char*>(
                memmem(first, static_cast<std::size_t>(last - first), Needle.data(), n));
        const auto* at = reinterpret_cast<const unsigned char*>(first);
        const auto* end = reinterpret_cast<const unsigned char*>(last) - n;
        const auto* want = reinterpret_cast<const unsigned char*>(Needle.data());
        while (at <= end) {
            const unsigned char tail = Fold(at[n - 1]);
            if (tail == want[n - 1]) {
                std::size_t i = 0;
                while (i + 1 < n && Fold(at[i]) == want[i])
                    ++i;
                if (i + 1 == n) return reinterpret_cast<const char*>(at);
            }
            at += Shift[tail];
        }
        return nullptr;
    }

  private:
    std::string Needle;
    bool MatchCase;
    std::array<std::size_t, 256> Shift{};
};

} // namespace

TLogStore::TLogStore() = default;
TLogStore::~TLogStore() = default;

void TLogStore::Append(std::string_view line) {
    const std::size_t length = std::min(line.size(), MaxLineBytes);
    if (Blocks.empty() || BlockBytes.back() + length + 1 > BlockSize) {
        Blocks.push_back(std::make_unique_for_overwrite<char[]>(BlockSize));
        BlockFirstLine.push_back(Lines);
        BlockBytes.push_back(0);
    }
    std::size_t& used = BlockBytes.back();
    if (Lines % IndexPage == 0) {
        Index.push_back(std::make_unique_for_overwrite<TEntry[]>(IndexPage));
        PageStart.push_back(Units);
    }
    char* at = Blocks.back().get() + used;
    std::memcpy(at, line.data(), length);
    std::replace(at, at + length, '\n', ' ');
    at[length] = '\n';
    Index.back()[Lines % IndexPage] = {
        static_cast<std::uint32_t>(Blocks.size() - 1), static_cast<std::uint32_t>(used),
        static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(Units - PageStart.back())};
    used += length + 1;
    Units += Utf16Length({at, length}) + 1;
    ++Lines;
    Longest = std::max(Longest, length);
}

void TLogStore::Clear() {
    Blocks.clear();
    Blocks.shrink_to_fit();
    BlockFirstLine.clear();
    BlockFirstLine.shrink_to_fit();
    BlockBytes.clear();
    BlockBytes.shrink_to_fit();
    Index.clear();
    Index.shrink_to_fit();
    PageStart.clear();
    PageStart.shrink_to_fit();
    Units = 0;
    Lines = 0;
    Longest = 0;
    ++Clears;
}

std::string_view TLogStore::Line(std::size_t index) const {
    if (index >= Lines) return {};
    const TEntry& e = Entry(index);
    return {Blocks[e.Block].get() + e.Offset, e.Length};
}

std::size_t TLogStore::MemoryBytes() const {
    return Blocks.size() * BlockSize + Index.size() * IndexPage * sizeof(TEntry) +
           (BlockFirstLine.capacity() + BlockBytes.capacity() + PageStart.capacity()) *
               sizeof(std::size_t);
}

std::size_t TLogStore::LineStart(std::size_t index) const {
    if (index >= Lines) return CharacterCount();
    return PageStart[index / IndexPage] + Entry(index).Start;
}

std::size_t TLogStore::LineLength(std::size_t index) const {
    if (index >= Lines) return 0;
    const std::size_t next = index + 1 < Lines ? LineStart(index + 1) : Units;
    return next - LineStart(index) - 1;
}

std::size_t TLogStore::LineAtCharacter(std::size_t offset) const {
    if (Lines == 0) return 0;
    // The last page, then the last line in it, that starts at or before offset.
    const auto page = static_cast<std::size_t>(
        std::upper_bound(PageStart.begin() + 1, PageStart.end(), offset) - PageStart.begin() - 1);
    const std::size_t within = offset - PageStart[page];
    std::size_t lo = page * IndexPage;
    std::size_t hi = std::min(Lines, lo + IndexPage);
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (Entry(mid).Start <= within)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

std::size_t TLogStore::LineAt(std::uint32_t block, std::size_t offset, std::size_t lo,
                              std::size_t hi) const {
    // The last line of the block that starts at or before offset.
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const TEntry& e = Entry(mid);
        if (e.Block < block || (e.Block == block && e.Offset <= offset))
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

template <typename Visit>
void TLogStore::ForEachMatch(std::string_view needle, bool matchCase, std::size_t firstLine,
                             Visit&& visit) const {
    if (needle.empty() || needle.find('\n') != std::string_view::npos || firstLine >= Lines) return;
    const TSearcher searcher(needle, matchCase);
    const TEntry& start = Entry(firstLine);
    for (std::size_t b = start.Block; b < Blocks.size(); ++b) {
        const char* base = Blocks[b].get();
        const std::size_t lineEnd = b + 1 < Blocks.size() ? BlockFirstLine[b + 1] : Lines;
        std::size_t lineLo = b == start.Block ? firstLine : BlockFirstLine[b];
        const char* at = base + (b == start.Block ? start.Offset : 0);
        const char* last = base + BlockBytes[b];
        while (const char* found = searcher.Next(at, last)) {
            const std::size_t offset = static_cast<std::size_t>(found - base);
            const std::size_t line = LineAt(static_cast<std::uint32_t>(b), offset, lineLo, lineEnd);
            if (!visit(TLogPosition{line, offset - Entry(line).Offset})) return;
            lineLo = line;
            at = found + needle.size();
        }
    }
}

bool TLogStore::Find(std::string_view needle, bool matchCase, TLogPosition from, bool forward,
                     bool wrap, TLogPosition& hit) const {
    bool found = false;
    if (forward) {
        const auto first = [&](TLogPosition p) {
            if (p < from) return true;
            hit = p;
            found = true;
            return false;
        };
        ForEachMatch(needle, matchCase, std::min(from.Line, Lines), first);
        if (!found && wrap)
            ForEachMatch(needle, matchCase, 0, [&](TLogPosition p) {
                hit = p;
                found = true;
                return false;
            });
        return found;
    }
    return LastBefore(needle, matchCase, from, hit) ||
           (wrap && LastBefore(needle, matchCase, TLogPosition{Lines, 0}, hit));
}

// The last match before from, looking one block further back each time.
bool TLogStore::LastBefore(std::string_view needle, bool matchCase, TLogPosition from,
                           TLogPosition& hit) const {
    if (Lines == 0) return false;
    bool found = false;
    const std::size_t last = std::min(from.Line, Lines - 1);
    for (std::size_t b = Entry(last).Block + 1; b-- > 0 && !found;) {
        ForEachMatch(needle, matchCase, BlockFirstLine[b], [&](TLogPosition p) {
            if (!(p < from) || Entry(p.Line).Block != b) return false;
            hit = p;
            found = true;
            return true;
        });
    }
    return found;
}

std::size_t TLogStore::CountMatches(std::string_view needle, bool matchCase, TLogPosition before,
                                    std::size_t* countBefore, std::size_t firstLine) const {
    std::size_t all = 0, earlier = 0;
    ForEachMatch(needle, matchCase, firstLine, [&](TLogPosition p) {
        ++all;
        if (p < before) ++earlier;
        return true;
    });
    if (countBefore) *countBefore = earlier;
    return all;
}

} // namespace quintrel
