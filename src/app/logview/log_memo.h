#pragma once
// The box that shows the message log: one line per log line, monospaced, both scroll bars,
// select with the mouse or the keyboard and copy. It paints only the lines in sight
// straight from the log's store, so ten million lines scroll, jump to the end and clear
// as fast as ten. The system only ever appends; the box is read-only. Screen readers read
// it through its accessible text (log_memo_accessible.h), told of lines as they come.

#include "log/log_store.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QStaticText>

#include <climits>

namespace quintrel {

class TLogMemo : public QAbstractScrollArea {
    Q_OBJECT

  public:
    // A selection larger than this is not put on the clipboard (save the log instead).
    static constexpr std::size_t MaxCopyBytes = std::size_t{64} << 20;
    // A screen reader's offsets are int: a longer log is offered from a later line on.
    static constexpr std::size_t MaxAccessibleText = INT_MAX;

    explicit TLogMemo(const TLogStore& store, QWidget* parent = nullptr);

    // The store grew or was emptied: new scroll ranges, and a view that was at the end
    // follows it.
    void LinesChanged();

    QString toPlainText() const;
    bool HasSelection() const { return Anchor != Cursor; }
    QString SelectedText() const;
    void SelectAll();
    void Copy();
    // Selects bytes [at, at + length) of a line and scrolls them into sight.
    void ShowRange(TLogPosition at, std::size_t length);
    // Where a search starts: the selection's start, or the first line in sight.
    TLogPosition SearchStart() const;
    int FirstVisibleLine() const;
    int VisibleLineCount() const;
    void AddContextAction(QAction* action) { ExtraActions << action; }

    // The line that a screen reader's text starts with; the longest text it is given (smaller
    // in tests, so that the start moves on without gigabytes of log).
    std::size_t AccessibleFirstLine() const;
    std::size_t AccessibleLimit() const { return TextLimit; }
    void SetAccessibleLimit(std::size_t units) { TextLimit = std::max<std::size_t>(units, 1); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    friend class TLogMemoAccessible;

    void UpdateRanges();
    void Select(TLogPosition anchor, TLogPosition cursor);
    void ScrollTo(TLogPosition at, std::size_t length);
    // Where a line's column lies in the viewport, one character wide.
    QRect CellRect(std::size_t line, int column) const;
    // Tell a screen reader of new lines, a clear, or the start of its text moving on.
    void AnnounceLines();
    void AnnounceSelection();
    TLogPosition PositionAt(const QPoint& point) const;
    std::pair<TLogPosition, TLogPosition> Selection() const;
    int LineHeight() const;
    int CharWidth() const;

    const TLogStore& Store;
    // The lines last painted, laid out once: following the end, a repaint lays out only the
    // lines that are new in sight.
    QHash<qulonglong, QStaticText> Painted;
    TLogPosition Anchor;
    TLogPosition Cursor;
    QList<QAction*> ExtraActions;
    // What a screen reader has been told: the log's generation, the line its text starts
    // with, and the length of that text.
    struct TTold {
        std::size_t Generation = 0;
        std::size_t FirstLine = 0;
        std::size_t Units = 0;
    } Told;
    std::size_t TextLimit = MaxAccessibleText;
};

} // namespace quintrel
