#include "log/log_text.h"

#include "log/utf8.h"

#include <algorithm>

namespace quintrel {

TLogText::TLogText(const TLogStore& store, std::size_t firstLine, std::size_t limit)
    : Store(store), First(firstLine), Origin(store.LineStart(firstLine)),
      Length(std::min(store.CharacterCount() - Origin, limit)) {}

std::size_t TLogText::FirstLineWithin(const TLogStore& store, std::size_t current,
                                      std::size_t limit) {
    if (store.Count() == 0) return 0;
    const std::size_t last = store.Count() - 1;
    current = std::min(current, last);
    const std::size_t total = store.CharacterCount();
    if (total - store.LineStart(current) <= limit) return current;
    const std::size_t cut = total - (limit - limit / 4);
    std::size_t line = store.LineAtCharacter(cut);
    if (store.LineStart(line) < cut) ++line;
    return std::clamp(line, current, last);
}

std::size_t TLogText::LineAt(std::size_t offset) const {
    if (Length == 0) return First;
    return Store.LineAtCharacter(Origin + std::min(offset, Length));
}

std::size_t TLogText::LineStart(std::size_t line) const {
    if (line <= First) return 0;
    return std::min(Store.LineStart(line) - Origin, Length);
}

std::size_t TLogText::LineEnd(std::size_t line) const {
    if (line < First) return 0;
    return std::min(Store.LineStart(line) + Store.LineLength(line) - Origin, Length);
}

std::u16string TLogText::Range(std::size_t start, std::size_t end) const {
    end = std::min(end, Length);
    std::u16string out;
    if (start >= end) return out;
    out.reserve(end - start);
    for (std::size_t line = LineAt(start); start < end && line < Store.Count(); ++line) {
        const std::size_t lineStart = LineStart(line);
        const std::size_t lineEnd = LineEnd(line);
        if (start < lineEnd) {
            const std::string_view bytes = Store.Line(line);
            const std::size_t from = start - lineStart;
            const std::size_t to = std::min(end, lineEnd) - lineStart;
            if (Store.LineLength(line) == bytes.size()) {
                // One unit per byte: read just the bytes asked for.
                AppendUtf16(bytes.substr(from, to - from), out);
            } else {
                std::u16string whole;
                AppendUtf16(bytes, whole);
                out.append(whole, from, to - from);
            }
            start = lineStart + to;
        }
        if (start < end) {
            out += u'\n';
            ++start;
        }
    }
    return out;
}

std::size_t TLogText::OffsetOf(TLogPosition position) const {
    if (position.Line < First) return 0;
    if (position.Line >= Store.Count()) return Length;
    const std::string_view bytes = Store.Line(position.Line);
    const std::size_t within =
        Utf16Length(bytes.substr(0, std::min(position.Offset, bytes.size())));
    return std::min(LineStart(position.Line) + within, Length);
}

TLogPosition TLogText::PositionOf(std::size_t offset) const {
    offset = std::min(offset, Length);
    const std::size_t line = LineAt(offset);
    if (line >= Store.Count()) return {line, 0};
    const std::size_t units = std::min(offset, LineEnd(line)) - LineStart(line);
    return {line, Utf8Prefix(Store.Line(line), units)};
}

} // namespace quintrel
