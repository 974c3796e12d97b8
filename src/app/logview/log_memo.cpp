#include "logview/log_memo.h"

#include "log/log_text.h"
#include "logview/log_memo_accessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace quintrel {

namespace {

constexpr int kMargin = 4;
// The most text one event carries to a screen reader; more goes in several.
constexpr std::size_t kMaxEventUnits = std::size_t{1} << 20;

QString Text(std::string_view line) {
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}

// Characters (UTF-16 units) in the first bytes of a line.
int Columns(std::string_view line, std::size_t bytes) {
    return static_cast<int>(Text(line.substr(0, std::min(bytes, line.size()))).size());
}

} // namespace

TLogMemo::TLogMemo(const TLogStore& store, QWidget* parent)
    : QAbstractScrollArea(parent), Store(store) {
    // Before anything asks for the box's accessible interface (naming it does), which Qt
    // keeps for the box's lifetime.
    InstallLogMemoAccessibility();
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setAccessibleName(QStringLiteral("Message log"));
    Told.Generation = Store.Generation();
    UpdateRanges();
}

int TLogMemo::LineHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

int TLogMemo::CharWidth() const {
    return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
}

int TLogMemo::VisibleLineCount() const {
    return std::max(1, viewport()->height() / LineHeight());
}

int TLogMemo::FirstVisibleLine() const {
    return verticalScrollBar()->value();
}

void TLogMemo::UpdateRanges() {
    const auto count = static_cast<long long>(Store.Count());
    const int visible = VisibleLineCount();
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, static_cast<int>(std::clamp<long long>(count - visible, 0, INT_MAX)));
    v->setPageStep(visible);
    v->setSingleStep(1);
    QScrollBar* h = horizontalScrollBar();
    const long long width = static_cast<long long>(Store.LongestLine()) * CharWidth() + 2 * kMargin;
    h->setRange(0,
                static_cast<int>(std::clamp<long long>(width - viewport()->width(), 0, INT_MAX)));
    h->setPageStep(viewport()->width());
    h->setSingleStep(CharWidth());
}

void TLogMemo::LinesChanged() {
    QScrollBar* v = verticalScrollBar();
    const bool atEnd = v->value() >= v->maximum();
    if (Store.Count() == 0) {
        Anchor = Cursor = {};
        Painted.clear();
    }
    UpdateRanges();
    if (atEnd) v->setValue(v->maximum());
    viewport()->update();
    AnnounceLines();
}

std::size_t TLogMemo::AccessibleFirstLine() const {
    return Store.Generation() == Told.Generation ? Told.FirstLine : 0;
}

void TLogMemo::AnnounceLines() {
    // Without a screen reader only the counts are kept, so that one that starts later is
    // told the right offsets.
    const bool active = QAccessible::isActive();
    const auto removeFront = [&](std::size_t units) {
        // Only the number of characters matters to a reader; the text itself is gone.
        const QString blanks(static_cast<qsizetype>(std::min(units, kMaxEventUnits)), u' ');
        for (std::size_t left = units; active && left > 0;) {
            const std::size_t n = std::min(left, kMaxEventUnits);
            QAccessibleTextRemoveEvent event(this, 0, blanks.left(static_cast<qsizetype>(n)));
            QAccessible::updateAccessibility(&event);
            left -= n;
        }
    };
    if (Store.Generation() != Told.Generation) {
        removeFront(Told.Units);
        Told = {Store.Generation(), 0, 0};
    }
    const std::size_t first = TLogText::FirstLineWithin(Store, Told.FirstLine, TextLimit);
    if (first != Told.FirstLine) {
        const std::size_t gone =
            std::min(Told.Units, Store.LineStart(first) - Store.LineStart(Told.FirstLine));
        removeFront(gone);
        Told.Units -= gone;
        Told.FirstLine = first;
    }
    const TLogText text(Store, Told.FirstLine, TextLimit);
    for (std::size_t at = Told.Units; active && at < text.Size();) {
        std::u16string part = text.Range(at, std::min(text.Size(), at + kMaxEventUnits));
        // Never split a pair of surrogates between two events.
        if (at + part.size() < text.Size() && part.size() > 1 && (part.back() & 0xFC00) == 0xD800)
            part.pop_back();
        QAccessibleTextInsertEvent event(this, static_cast<int>(at),
                                         QString::fromStdU16String(part));
        QAccessible::updateAccessibility(&event);
        at += part.size();
    }
    Told.Units = text.Size();
}

void TLogMemo::AnnounceSelection() {
    if (!QAccessible::isActive()) return;
    const TLogText text(Store, AccessibleFirstLine(), TextLimit);
    const int cursor = static_cast<int>(text.OffsetOf(Cursor));
    if (Anchor == Cursor) {
        QAccessibleTextCursorEvent event(this, cursor);
        QAccessible::updateAccessibility(&event);
        return;
    }
    const int anchor = static_cast<int>(text.OffsetOf(Anchor));
    QAccessibleTextSelectionEvent event(this, std::min(anchor, cursor), std::max(anchor, cursor));
    event.setCursorPosition(cursor);
    QAccessible::updateAccessibility(&event);
}

std::pair<TLogPosition, TLogPosition> TLogMemo::Selection() const {
    return std::minmax(Anchor, Cursor);
}

void TLogMemo::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int lh = LineHeight();
    const int ascent = fontMetrics().ascent();
    const int x0 = kMargin - horizontalScrollBar()->value();
    const auto [from, to] = Selection();
    const QPalette& pal = palette();
    const std::size_t first = static_cast<std::size_t>(FirstVisibleLine());
    const std::size_t last = std::min(Store.Count(), first + VisibleLineCount() + 1);
    QHash<qulonglong, QStaticText> painted;
    painted.reserve(static_cast<qsizetype>(last - first));
    painter.setPen(pal.color(QPalette::Text));
    for (std::size_t i = first; i < last; ++i) {
        const int y = static_cast<int>(i - first) * lh;
        QStaticText text = Painted.value(i);
        if (text.text().isEmpty()) {
            text.setText(Text(Store.Line(i)));
            text.setTextFormat(Qt::PlainText);
            text.setPerformanceHint(QStaticText::AggressiveCaching);
            text.prepare(painter.transform(), font());
        }
        painter.drawStaticText(x0, y, text);
        painted.insert(i, text);
    }
    Painted.swap(painted);
    if (from == to) return;
    for (std::size_t i = std::max(first, from.Line); i < last && i <= to.Line; ++i) {
        const std::string_view bytes = Store.Line(i);
        const QString line = Text(bytes);
        const int y = static_cast<int>(i - first) * lh;
        const int a = i == from.Line ? Columns(bytes, from.Offset) : 0;
        const int b = i == to.Line ? Columns(bytes, to.Offset) : static_cast<int>(line.size());
        const QString left = line.left(a);
        const QString part = line.mid(a, b - a);
        const int xa = x0 + fontMetrics().horizontalAdvance(left);
        // The line break of a line selected past its end shows as one character's width.
        const int w = fontMetrics().horizontalAdvance(part) + (i < to.Line ? CharWidth() / 2 : 0);
        painter.fillRect(QRect(xa, y, w, lh), pal.color(QPalette::Highlight));
        painter.setPen(pal.color(QPalette::HighlightedText));
        painter.drawText(xa, y + ascent, part);
    }
}

void TLogMemo::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    const bool atEnd = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    UpdateRanges();
    if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TLogMemo::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        Painted.clear();
        UpdateRanges();
    }
}

TLogPosition TLogMemo::PositionAt(const QPoint& point) const {
    if (Store.Count() == 0) return {};
    const long long row =
        FirstVisibleLine() +
        static_cast<long long>(std::floor(static_cast<double>(point.y()) / LineHeight()));
    if (row < 0) return {0, 0};
    if (row >= static_cast<long long>(Store.Count()))
        return {Store.Count() - 1, Store.Line(Store.Count() - 1).size()};
    const auto line = static_cast<std::size_t>(row);
    const QString text = Text(Store.Line(line));
    const double x = point.x() - kMargin + horizontalScrollBar()->value();
    const int column = std::clamp(static_cast<int>(std::lround(x / CharWidth())), 0,
                                  static_cast<int>(text.size()));
    return {line, static_cast<std::size_t>(text.left(column).toUtf8().size())};
}

void TLogMemo::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    Cursor = PositionAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier)) Anchor = Cursor;
    viewport()->update();
    AnnounceSelection();
}

void TLogMemo::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return;
    const QPoint p = event->position().toPoint();
    QScrollBar* v = verticalScrollBar();
    if (p.y() < 0) v->setValue(v->value() - 1);
    if (p.y() > viewport()->height()) v->setValue(v->value() + 1);
    const TLogPosition at = PositionAt(p);
    if (at == Cursor) return;
    Cursor = at;
    viewport()->update();
    AnnounceSelection();
}

void TLogMemo::mouseDoubleClickEvent(QMouseEvent* event) {
    // A word: the run of non-blank characters under the pointer.
    const TLogPosition at = PositionAt(event->position().toPoint());
    const std::string_view line = Store.Line(at.Line);
    std::size_t start = std::min(at.Offset, line.size());
    std::size_t end = start;
    while (start > 0 && line[start - 1] != ' ')
        --start;
    while (end < line.size() && line[end] != ' ')
        ++end;
    Select({at.Line, start}, {at.Line, end});
}

void TLogMemo::keyPressEvent(QKeyEvent* event) {
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    if (event->matches(QKeySequence::Copy)) return Copy();
    if (event->matches(QKeySequence::SelectAll)) return SelectAll();
    switch (event->key()) {
    case Qt::Key_Up:
        v->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Down:
        v->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    case Qt::Key_PageUp:
        v->triggerAction(QAbstractSlider::SliderPageStepSub);
        break;
    case Qt::Key_PageDown:
        v->triggerAction(QAbstractSlider::SliderPageStepAdd);
        break;
    case Qt::Key_Left:
        h->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Right:
        h->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    case Qt::Key_Home:
        (ctrl ? v : h)->setValue(0);
        break;
    case Qt::Key_End:
        ctrl ? v->setValue(v->maximum()) : h->setValue(h->maximum());
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TLogMemo::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(QStringLiteral("Copy"), this, &TLogMemo::Copy);
    copy->setEnabled(HasSelection());
    menu.addAction(QStringLiteral("Select all"), this, &TLogMemo::SelectAll);
    if (!ExtraActions.isEmpty()) {
        menu.addSeparator();
        menu.addActions(ExtraActions);
    }
    menu.exec(event->globalPos());
}

QString TLogMemo::SelectedText() const {
    const auto [from, to] = Selection();
    if (from == to) return {};
    QByteArray bytes;
    for (std::size_t i = from.Line; i <= to.Line && i < Store.Count(); ++i) {
        const std::string_view line = Store.Line(i);
        const std::size_t a = i == from.Line ? std::min(from.Offset, line.size()) : 0;
        const std::size_t b = i == to.Line ? std::min(to.Offset, line.size()) : line.size();
        if (i > from.Line) bytes += '\n';
        bytes.append(line.data() + a, static_cast<qsizetype>(b - a));
    }
    return QString::fromUtf8(bytes);
}

QString TLogMemo::toPlainText() const {
    QByteArray bytes;
    for (std::size_t i = 0; i < Store.Count(); ++i) {
        if (i > 0) bytes += '\n';
        const std::string_view line = Store.Line(i);
        bytes.append(line.data(), static_cast<qsizetype>(line.size()));
    }
    return QString::fromUtf8(bytes);
}

void TLogMemo::SelectAll() {
    if (Store.Count() == 0) return;
    Select({}, {Store.Count() - 1, Store.Line(Store.Count() - 1).size()});
}

void TLogMemo::Select(TLogPosition anchor, TLogPosition cursor) {
    Anchor = anchor;
    Cursor = cursor;
    viewport()->update();
    AnnounceSelection();
}

void TLogMemo::Copy() {
    const auto [from, to] = Selection();
    if (from == to) return;
    std::size_t bytes = 0;
    for (std::size_t i = from.Line; i <= to.Line && bytes <= MaxCopyBytes; ++i)
        bytes += Store.Line(i).size() + 1;
    if (bytes > MaxCopyBytes) {
        QMessageBox::warning(this, QApplication::applicationName(),
                             QStringLiteral("The selection (%1 lines) is too large to copy; save "
                                            "the log instead.")
                                 .arg(to.Line - from.Line + 1));
        return;
    }
    QApplication::clipboard()->setText(SelectedText());
}

void TLogMemo::ShowRange(TLogPosition at, std::size_t length) {
    if (at.Line >= Store.Count()) return;
    Select(at, {at.Line, at.Offset + length});
    ScrollTo(at, length);
}

void TLogMemo::ScrollTo(TLogPosition at, std::size_t length) {
    if (at.Line >= Store.Count()) return;
    QScrollBar* v = verticalScrollBar();
    const int line = static_cast<int>(std::min<std::size_t>(at.Line, INT_MAX));
    if (line < v->value() || line >= v->value() + VisibleLineCount())
        v->setValue(line - VisibleLineCount() / 2);
    const std::string_view text = Store.Line(at.Line);
    const int xa = Columns(text, at.Offset) * CharWidth();
    const int xb = Columns(text, at.Offset + length) * CharWidth() + 2 * kMargin;
    QScrollBar* h = horizontalScrollBar();
    if (xa < h->value() || xb > h->value() + viewport()->width())
        h->setValue(std::max(0, xa - viewport()->width() / 3));
    viewport()->update();
}

QRect TLogMemo::CellRect(std::size_t line, int column) const {
    const long long row = static_cast<long long>(line) - static_cast<long long>(FirstVisibleLine());
    const long long x =
        kMargin - horizontalScrollBar()->value() + static_cast<long long>(column) * CharWidth();
    const auto held = [](long long n) {
        return static_cast<int>(std::clamp<long long>(n, INT_MIN / 2, INT_MAX / 2));
    };
    return {held(x), held(row * LineHeight()), CharWidth(), LineHeight()};
}

TLogPosition TLogMemo::SearchStart() const {
    if (HasSelection()) return Selection().first;
    return {static_cast<std::size_t>(FirstVisibleLine()), 0};
}

} // namespace quintrel
