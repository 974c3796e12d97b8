#pragma once
// What screen readers and other assistive technology see of the log box: a read-only,
// multi-line text, served range by range straight from the log's store, so a reader at the
// end of ten million lines waits no longer than at the end of ten. The box tells the reader
// of lines as they come and of a clear (TLogMemo::AnnounceLines).

#include "log/log_text.h"

#include <QAccessibleWidget>

namespace quintrel {

class TLogMemo;

class TLogMemoAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    // The longest text one call returns (a reader asks again for more), well inside what
    // one message of the desktop's accessibility bus may carry.
    static constexpr int MaxRange = 1 << 24;

    explicit TLogMemoAccessible(TLogMemo* memo);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    using QAccessibleWidget::text;

    // The box's own selection, at most one; the cursor is its moving end.
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;

    // Offsets in UTF-16 units over the lines joined by line feeds; out-of-range offsets are
    // held to the text, -1 as an end means the end.
    QString text(int startOffset, int endOffset) const override;
    // Characters (a surrogate pair is one), words and sentences within a line, lines with
    // their line feed, or everything; none: an empty text and offsets of -1.
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int* startOffset, int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int* startOffset, int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;

    // Screen coordinates, one monospaced cell per UTF-16 unit.
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    // One font and colour throughout: no attributes, one run over the whole text.
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

  private:
    struct TSpan {
        std::size_t Start = 0;
        std::size_t End = 0;
    };

    TLogMemo* Memo() const;
    TLogText Text() const;
    static bool ItemAt(const TLogText& text, std::size_t offset, QAccessible::TextBoundaryType type,
                       TSpan& item);
    static QString Answer(const TLogText& text, TSpan item, int* startOffset, int* endOffset);
};

// Makes QAccessible build a TLogMemoAccessible for every log box; once is enough.
void InstallLogMemoAccessibility();

} // namespace quintrel
