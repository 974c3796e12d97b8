#pragma once
// The lines of the message log, kept compactly enough for ten million of them: the text
// in large blocks (UTF-8, each line followed by a line feed), an index of where each line
// starts, and a search that runs over the blocks rather than line by line. Nothing is
// ever moved once stored, so appending costs the same at the ten-millionth line as at
// the first. Beside the bytes it counts the text as a screen reader does (UTF-16 units, a
// line feed between lines), so a character offset finds its line by binary search.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quintrel {

struct TLogPosition {
    std::size_t Line = 0;
    std::size_t Offset = 0; // bytes into the line

    friend bool operator==(const TLogPosition&, const TLogPosition&) = default;
    friend auto operator<=>(const TLogPosition&, const TLogPosition&) = default;
};

class TLogStore {
  public:
    static constexpr std::size_t BlockSize = std::size_t{1} << 20;
    // A longer line is cut here (its end is dropped); far longer than any
    // line the program writes (a frame of 2080 bytes in hex is 6240 characters).
    static constexpr std::size_t MaxLineBytes = 64 * 1024;

    TLogStore();
    ~TLogStore();
    TLogStore(const TLogStore&) = delete;
    TLogStore& operator=(const TLogStore&) = delete;

    // A line feed inside the text would split the line; it is shown as a blank.
    void Append(std::string_view line);
    void Clear();

    std::size_t Count() const { return Lines; }
    // Goes up at every Clear, so positions taken before it can be told stale.
    std::size_t Generation() const { return Clears; }
    std::string_view Line(std::size_t index) const;
    // The longest line so far, in bytes (for the width of the view).
    std::size_t LongestLine() const { return Longest; }
    // Bytes held, blocks and index together.
    std::size_t MemoryBytes() const;

    // The whole log as one text in UTF-16 units, each line followed by a line feed but the
    // last: its length, where a line starts in it (past the last line: the end), a line's
    // length without its line feed, and the line that holds an offset (a line feed belongs
    // to the line it ends; past the end: the last line). Each costs the same at the
    // ten-millionth line as at the first.
    std::size_t CharacterCount() const { return Lines == 0 ? 0 : Units - 1; }
    std::size_t LineStart(std::size_t index) const;
    std::size_t LineLength(std::size_t index) const;
    std::size_t LineAtCharacter(std::size_t offset) const;

    // The first match at or after from (forward) or before it (backward), wrapping round
    // the ends when wrap is set. Letter case of A-Z is ignored unless matchCase is set;
    // other characters always match exactly. A needle never matches across lines.
    bool Find(std::string_view needle, bool matchCase, TLogPosition from, bool forward, bool wrap,
              TLogPosition& hit) const;
    // The matches (not overlapping) from firstLine on, and how many of them lie before the
    // position.
    std::size_t CountMatches(std::string_view needle, bool matchCase, TLogPosition before,
                             std::size_t* countBefore, std::size_t firstLine = 0) const;

  private:
    struct TEntry {
        std::uint32_t Block;
        std::uint32_t Offset;
        std::uint32_t Length;
        std::uint32_t Start; // UTF-16 units from the start of the line's index page
    };
    static constexpr std::size_t IndexPage = 65536;
    // A page of longest lines still counts its last start in 32 bits (UTF-16 never takes
    // more units than UTF-8 takes bytes).
    static_assert((IndexPage - 1) * (MaxLineBytes + 1) <= UINT32_MAX);

    const TEntry& Entry(std::size_t index) const {
        return Index[index / IndexPage][index % IndexPage];
    }
    // Calls visit(line, offset) for every match in order until it returns false.
    template <typename Visit>
    void ForEachMatch(std::string_view needle, bool matchCase, std::size_t firstLine,
                      Visit&& visit) const;
    bool LastBefore(std::string_view needle, bool matchCase, TLogPosition from,
                    TLogPosition& hit) const;
    std::size_t LineAt(std::uint32_t block, std::size_t offset, std::size_t lo,
                       std::size_t hi) const;

    std::vector<std::unique_ptr<char[]>> Blocks;
    std::vector<std::size_t> BlockFirstLine; // the first line of each block
    std::vector<std::size_t> BlockBytes;     // bytes used in each block
    std::vector<std::unique_ptr<TEntry[]>> Index;
    std::vector<std::size_t> PageStart; // UTF-16 offset of each index page's first line
    std::size_t Units = 0;              // UTF-16 units of every line and its line feed
    std::size_t Lines = 0;
    std::size_t Longest = 0;
    std::size_t Clears = 0;
};

} // namespace quintrel
