#pragma once
// The message log read as one text, the way a screen reader reads it: UTF-16 units with a
// line feed between lines. A reader's offsets are 32-bit, so a log longer than that is
// offered from a later first line on: the newest lines are the ones worth reading. Every
// answer costs time in proportion to the text it returns (and at most the length of the
// lines at its two ends), never to the length of the log.

#include "log/log_store.h"

#include <cstddef>
#include <string>

namespace quintrel {

class TLogText {
  public:
    // The text from line firstLine on, cut at limit units.
    TLogText(const TLogStore& store, std::size_t firstLine, std::size_t limit);

    // Where the text should start so that it fits in limit: current while it does, else a
    // later line chosen so that a quarter of the limit stays free (it moves seldom). The last
    // line always stays, even when it alone is longer.
    static std::size_t FirstLineWithin(const TLogStore& store, std::size_t current,
                                       std::size_t limit);

    std::size_t Size() const { return Length; }
    std::size_t FirstLine() const { return First; }
    // Units [start, end), both held to the text.
    std::u16string Range(std::size_t start, std::size_t end) const;

    // The store's line that holds offset (a line feed belongs to the line it ends; the end of
    // the text to the last line); FirstLine() for an empty text.
    std::size_t LineAt(std::size_t offset) const;
    // Where a store line starts and ends (before its line feed) in the text, held to it.
    std::size_t LineStart(std::size_t line) const;
    std::size_t LineEnd(std::size_t line) const;

    // Between offsets and positions in the store (line, byte in the line). A position before
    // the text maps to 0 and one after it to Size(); an offset past the end to the end of
    // the last line.
    std::size_t OffsetOf(TLogPosition position) const;
    TLogPosition PositionOf(std::size_t offset) const;

  private:
    const TLogStore& Store;
    std::size_t First;
    std::size_t Origin; // where line First starts in the whole log
    std::size_t Length;
};

} // namespace quintrel
