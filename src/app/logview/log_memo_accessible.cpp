#include "logview/log_memo_accessible.h"

#include "logview/log_memo.h"

#include <QScrollBar>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <mutex>

namespace quintrel {

namespace {

bool IsHigh(char16_t unit) {
    return (unit & 0xFC00) == 0xD800;
}

bool IsLow(char16_t unit) {
    return (unit & 0xFC00) == 0xDC00;
}

// An offset from a reader: -1 is the end; false when it lies outside the text.
bool Offset(const TLogText& text, int offset, std::size_t& at) {
    if (offset == -1) {
        at = text.Size();
        return true;
    }
    if (offset < 0 || static_cast<std::size_t>(offset) > text.Size()) return false;
    at = static_cast<std::size_t>(offset);
    return true;
}

std::size_t Held(const TLogText& text, int offset) {
    return std::min(static_cast<std::size_t>(std::max(offset, 0)), text.Size());
}

QAccessibleInterface* CreateLogMemoAccessible(const QString&, QObject* object) {
    if (auto* memo = qobject_cast<TLogMemo*>(object)) return new TLogMemoAccessible(memo);
    return nullptr;
}

} // namespace

void InstallLogMemoAccessibility() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(&CreateLogMemoAccessible); });
}

TLogMemoAccessible::TLogMemoAccessible(TLogMemo* memo)
    : QAccessibleWidget(memo, QAccessible::EditableText) {}

TLogMemo* TLogMemoAccessible::Memo() const {
    return static_cast<TLogMemo*>(widget());
}

TLogText TLogMemoAccessible::Text() const {
    const TLogMemo* memo = Memo();
    return TLogText(memo->Store, memo->AccessibleFirstLine(), memo->TextLimit);
}

void* TLogMemoAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TLogMemoAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
}

void TLogMemoAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = 0;
    const TLogMemo* memo = Memo();
    if (selectionIndex != 0 || !memo->HasSelection()) return;
    const TLogText text = Text();
    const auto [from, to] = memo->Selection();
    *startOffset = static_cast<int>(text.OffsetOf(from));
    *endOffset = static_cast<int>(text.OffsetOf(to));
}

int TLogMemoAccessible::selectionCount() const {
    return Memo()->HasSelection() ? 1 : 0;
}

void TLogMemoAccessible::addSelection(int startOffset, int endOffset) {
    setSelection(0, startOffset, endOffset);
}

void TLogMemoAccessible::removeSelection(int selectionIndex) {
    TLogMemo* memo = Memo();
    if (selectionIndex == 0 && memo->HasSelection()) memo->Select(memo->Cursor, memo->Cursor);
}

void TLogMemoAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
    if (selectionIndex != 0) return;
    const TLogText text = Text();
    Memo()->Select(text.PositionOf(Held(text, startOffset)),
                   text.PositionOf(Held(text, endOffset)));
}

int TLogMemoAccessible::cursorPosition() const {
    return static_cast<int>(Text().OffsetOf(Memo()->Cursor));
}

void TLogMemoAccessible::setCursorPosition(int position) {
    const TLogText text = Text();
    const TLogPosition at = text.PositionOf(Held(text, position));
    Memo()->Select(at, at);
    Memo()->ScrollTo(at, 0);
}

QString TLogMemoAccessible::text(int startOffset, int endOffset) const {
    const TLogText text = Text();
    const std::size_t start = Held(text, startOffset);
    std::size_t end = endOffset == -1 ? text.Size() : Held(text, endOffset);
    end = std::min(end, start + MaxRange);
    return QString::fromStdU16String(text.Range(start, end));
}

bool TLogMemoAccessible::ItemAt(const TLogText& text, std::size_t at,
                                QAccessible::TextBoundaryType type, TSpan& item) {
    const std::size_t size = text.Size();
    if (size == 0 || at > size) return false;
    switch (type) {
    case QAccessible::CharBoundary: {
        if (at == size) return false;
        item = {at, at + 1};
        const std::size_t from = at == 0 ? 0 : at - 1;
        const std::u16string around = text.Range(from, at + 2);
        const std::size_t i = at - from;
        if (IsHigh(around[i]) && i + 1 < around.size() && IsLow(around[i + 1])) item.End = at + 2;
        if (IsLow(around[i]) && i > 0 && IsHigh(around[i - 1])) item.Start = at - 1;
        return true;
    }
    case QAccessible::LineBoundary:
    case QAccessible::ParagraphBoundary: {
        const std::size_t line = text.LineAt(at);
        item = {text.LineStart(line), std::min(text.LineEnd(line) + 1, size)};
        return true;
    }
    case QAccessible::WordBoundary:
    case QAccessible::SentenceBoundary: {
        const std::size_t line = text.LineAt(at);
        const std::size_t lineStart = text.LineStart(line);
        const std::size_t lineEnd = text.LineEnd(line);
        if (at == lineEnd && at < size) { // the line feed, an item of its own
            item = {at, at + 1};
            return true;
        }
        const QString words = QString::fromStdU16String(text.Range(lineStart, lineEnd));
        QTextBoundaryFinder finder(type == QAccessible::WordBoundary
                                       ? QTextBoundaryFinder::Word
                                       : QTextBoundaryFinder::Sentence,
                                   words);
        const auto edge = [&] {
            return finder.boundaryReasons() &
                   (QTextBoundaryFinder::StartOfItem | QTextBoundaryFinder::EndOfItem);
        };
        // Back to where a word (or the blanks between words) starts, on to where it ends.
        qsizetype from = static_cast<qsizetype>(at - lineStart);
        finder.setPosition(from);
        while (from > 0 && !edge())
            from = finder.toPreviousBoundary();
        from = std::max<qsizetype>(from, 0);
        finder.setPosition(from);
        qsizetype to = from;
        do
            to = finder.toNextBoundary();
        while (to > 0 && to < words.size() && !edge());
        if (to < 0) to = words.size();
        item = {lineStart + static_cast<std::size_t>(from),
                lineStart + static_cast<std::size_t>(to)};
        return item.Start < item.End;
    }
    case QAccessible::NoBoundary:
        item = {0, size};
        return true;
    }
    return false;
}

QString TLogMemoAccessible::Answer(const TLogText& text, TSpan item, int* startOffset,
                                   int* endOffset) {
    item.End = std::min(item.End, item.Start + MaxRange);
    *startOffset = static_cast<int>(item.Start);
    *endOffset = static_cast<int>(item.End);
    return QString::fromStdU16String(text.Range(item.Start, item.End));
}

QString TLogMemoAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = -1;
    const TLogText text = Text();
    std::size_t at = 0;
    TSpan item;
    if (!Offset(text, offset, at) || !ItemAt(text, at, boundaryType, item)) return {};
    return Answer(text, item, startOffset, endOffset);
}

QString TLogMemoAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = -1;
    const TLogText text = Text();
    std::size_t at = 0;
    if (!Offset(text, offset, at)) return {};
    // At the very end there is no item, but the one before it is the last.
    TSpan item;
    const std::size_t start = ItemAt(text, at, boundaryType, item) ? item.Start : at;
    if (start == 0 || !ItemAt(text, start - 1, boundaryType, item)) return {};
    return Answer(text, item, startOffset, endOffset);
}

QString TLogMemoAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = -1;
    const TLogText text = Text();
    std::size_t at = 0;
    TSpan item;
    if (!Offset(text, offset, at) || !ItemAt(text, at, boundaryType, item)) return {};
    const std::size_t end = item.End;
    if (!ItemAt(text, end, boundaryType, item) || item.Start < end) return {};
    return Answer(text, item, startOffset, endOffset);
}

int TLogMemoAccessible::characterCount() const {
    return static_cast<int>(Text().Size());
}

QRect TLogMemoAccessible::characterRect(int offset) const {
    const TLogText text = Text();
    std::size_t at = 0;
    if (!Offset(text, offset, at) || text.Size() == 0) return {};
    const std::size_t line = text.LineAt(at);
    const auto column =
        static_cast<int>(std::min<std::size_t>(at - text.LineStart(line), TLogStore::MaxLineBytes));
    const TLogMemo* memo = Memo();
    const QRect cell = memo->CellRect(line, column);
    return {memo->viewport()->mapToGlobal(cell.topLeft()), cell.size()};
}

int TLogMemoAccessible::offsetAtPoint(const QPoint& point) const {
    const TLogMemo* memo = Memo();
    const QPoint local = memo->viewport()->mapFromGlobal(point);
    if (!memo->viewport()->rect().contains(local)) return -1;
    const TLogText text = Text();
    // The top left cell in sight; the viewport starts at its row.
    const auto first = static_cast<std::size_t>(memo->FirstVisibleLine());
    const QRect origin = memo->CellRect(first, 0);
    const long long dx = local.x() - origin.left();
    if (dx < 0) return -1;
    const std::size_t line = first + static_cast<std::size_t>(local.y() / origin.height());
    if (line < text.FirstLine() || line >= memo->Store.Count()) return -1;
    const std::size_t start = text.LineStart(line);
    const std::size_t column = static_cast<std::size_t>(dx / origin.width());
    if (start + column >= text.LineEnd(line)) return -1;
    return static_cast<int>(start + column);
}

void TLogMemoAccessible::scrollToSubstring(int startIndex, int endIndex) {
    const TLogText text = Text();
    const TLogPosition from = text.PositionOf(Held(text, startIndex));
    const TLogPosition to = text.PositionOf(Held(text, endIndex));
    Memo()->ScrollTo(from,
                     to.Line == from.Line && to.Offset > from.Offset ? to.Offset - from.Offset : 0);
}

QString TLogMemoAccessible::attributes(int offset, int* startOffset, int* endOffset) const {
    const TLogText text = Text();
    std::size_t at = 0;
    if (!Offset(text, offset, at)) {
        *startOffset = *endOffset = -1;
        return {};
    }
    *startOffset = 0;
    *endOffset = static_cast<int>(text.Size());
    return {};
}

} // namespace quintrel
