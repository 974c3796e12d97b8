// The log box as assistive technology reads it, through Qt's accessibility API: its text
// by range, line, word and character, the box's selection, where characters are on the
// screen, and the events that tell a screen reader of new lines and of a clear. The events
// flow only while Qt's bridge to assistive technology is up: under_atspi.sh runs this test
// with it; on the offscreen platform those checks are skipped.

#include "logview/log_memo.h"
#include "support/window_fixture.h"

#include <QAccessible>
#include <QDeadlineTimer>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TestLogAccess : public QObject {
    Q_OBJECT

  private slots:
    void readsRangesOfTheLog();
    void findsLinesWordsAndCharacters();
    void followsTheBoxSelectionBothWays();
    void mapsCharactersToTheScreen();
    void tellsAReaderOfLinesAndOfAClear();
    void startsLaterPastItsLimit();
};

namespace {

// Lines with characters of one, two and three bytes, a surrogate pair and runs of blanks.
const QString kLines[] = {
    QStringLiteral("> addr=3: POLL"),
    QStringLiteral("caf\u00E9 \u00FCber \u20AC"),
    QStringLiteral("clef \U0001D11E end"),
    QStringLiteral("a  b"),
};

struct TEvent {
    QAccessible::Event Type;
    int Position;
    QString Text;
    int SelectionStart = -1;
    int SelectionEnd = -1;
};

QList<TEvent> Events;
QObject* Watched = nullptr;

void RecordEvent(QAccessibleEvent* event) {
    if (event->object() != Watched) return;
    switch (event->type()) {
    case QAccessible::TextInserted: {
        auto* e = static_cast<QAccessibleTextInsertEvent*>(event);
        Events.append({e->type(), e->changePosition(), e->textInserted()});
        break;
    }
    case QAccessible::TextRemoved: {
        auto* e = static_cast<QAccessibleTextRemoveEvent*>(event);
        Events.append({e->type(), e->changePosition(), e->textRemoved()});
        break;
    }
    case QAccessible::TextSelectionChanged: {
        auto* e = static_cast<QAccessibleTextSelectionEvent*>(event);
        Events.append({e->type(), e->cursorPosition(), {}, e->selectionStart(), e->selectionEnd()});
        break;
    }
    default:
        break;
    }
}

struct TLogFixture {
    TWindowFixture Window;
    TFormMain* Main = nullptr;
    TLogMemo* Memo = nullptr;
    QAccessibleTextInterface* Text = nullptr;

    explicit TLogFixture(bool withLines = true) {
        Main = &Window.Start();
        Memo = Main->findChild<TLogMemo*>(QStringLiteral("MemoComm"));
        Watched = Memo;
        Window.Action("mnuViewClear")->trigger(); // whatever the start wrote
        Events.clear();
        if (withLines)
            for (const QString& line : kLines)
                emit Main->Engine().LogLine(line);
        Main->FlushLog();
        QAccessibleInterface* box = QAccessible::queryAccessibleInterface(Memo);
        Text = box ? box->textInterface() : nullptr;
    }
    ~TLogFixture() { Watched = nullptr; }
    void Log(const QString& line) { emit Main->Engine().LogLine(line); }
    // The log as the box itself shows it, read by another path than the reader's.
    QString Plain() const { return Memo->toPlainText(); }
    int LineStart(int line) const {
        int at = 0;
        const QStringList lines = Plain().split(QLatin1Char('\n'));
        for (int i = 0; i < line; ++i)
            at += static_cast<int>(lines[i].size()) + 1;
        return at;
    }
};

// Whether Qt's accessibility bridge is up (a desktop with a screen reader, or under_atspi.sh,
// which sets QUINTREL_ATSPI). From here on the events are recorded instead of sent.
bool BridgeUp() {
    QAccessible::installUpdateHandler(&RecordEvent);
    // The bridge comes up once the event loop has talked to the accessibility bus.
    QDeadlineTimer deadline(qEnvironmentVariableIsSet("QUINTREL_ATSPI") ? 5000 : 0);
    while (!QAccessible::isActive() && !deadline.hasExpired())
        QTest::qWait(20);
    Events.clear();
    return QAccessible::isActive();
}

#define REQUIRE_BRIDGE(up)                                                                         \
    do {                                                                                           \
        if (!(up)) {                                                                               \
            QVERIFY2(!qEnvironmentVariableIsSet("QUINTREL_ATSPI"), "the bridge did not come up");  \
            QSKIP("Qt's accessibility bridge is not up; under_atspi.sh runs this");                \
        }                                                                                          \
    } while (false)

} // namespace

void TestLogAccess::readsRangesOfTheLog() {
    TLogFixture f;
    QVERIFY(f.Text);
    QAccessibleInterface* box = QAccessible::queryAccessibleInterface(f.Memo);
    QCOMPARE(box->role(), QAccessible::EditableText);
    QVERIFY(box->state().readOnly && box->state().multiLine);
    QCOMPARE(box->text(QAccessible::Name), QStringLiteral("Message log"));
    const QString plain = f.Plain();
    const int n = static_cast<int>(plain.size());
    QCOMPARE(f.Text->characterCount(), n);

    const int third = f.LineStart(2); // "clef ..." after the stamp
    struct TCase {
        const char* Name;
        int Start;
        int End;
        int WantStart;
        int WantEnd;
    };
    const TCase cases[] = {
        {"in one line", third + 13, third + 20, third + 13, third + 20},
        {"across lines, pair and line feeds", f.LineStart(1) + 5, f.LineStart(3) + 15,
         f.LineStart(1) + 5, f.LineStart(3) + 15},
        {"everything", 0, n, 0, n},
        {"-1 is the end", third, -1, third, n},
        {"before the start is held", -20, 5, 0, 5},
        {"past the end is held", n - 4, n + 50, n - 4, n},
        {"reversed is empty", 30, 10, 30, 30},
    };
    for (const TCase& c : cases)
        QVERIFY2(f.Text->text(c.Start, c.End) == plain.mid(c.WantStart, c.WantEnd - c.WantStart),
                 c.Name);

    f.Window.Action("mnuViewClear")->trigger();
    QCOMPARE(f.Text->characterCount(), 0);
    QCOMPARE(f.Text->text(0, 10), QString());
    f.Log(QStringLiteral("after"));
    f.Main->FlushLog();
    QCOMPARE(f.Text->text(0, -1), f.Plain());
}

void TestLogAccess::findsLinesWordsAndCharacters() {
    TLogFixture f;
    const QString plain = f.Plain();
    const int n = static_cast<int>(plain.size());
    const int last = f.LineStart(3);
    const int pair = f.LineStart(2) + 13 + 5; // the clef sign, two units
    const int word = f.LineStart(1) + 13;     // "café"
    enum TWhich { At, Before, After };
    struct TCase {
        const char* Name;
        TWhich Which;
        QAccessible::TextBoundaryType Type;
        int Offset;
        int Start; // -1: none
        int End;
    };
    const TCase cases[] = {
        {"a line with its line feed", At, QAccessible::LineBoundary, f.LineStart(1) + 3,
         f.LineStart(1), f.LineStart(2)},
        {"the line feed is its line's", At, QAccessible::LineBoundary, f.LineStart(2) - 1,
         f.LineStart(1), f.LineStart(2)},
        {"the end is in the last line", At, QAccessible::LineBoundary, n, last, n},
        {"-1 is the end", At, QAccessible::LineBoundary, -1, last, n},
        {"past the end: none", At, QAccessible::LineBoundary, n + 1, -1, -1},
        {"negative: none", At, QAccessible::LineBoundary, -5, -1, -1},
        {"line before", Before, QAccessible::LineBoundary, f.LineStart(2), f.LineStart(1),
         f.LineStart(2)},
        {"nothing before the first line", Before, QAccessible::LineBoundary, 4, -1, -1},
        {"line after", After, QAccessible::LineBoundary, 0, f.LineStart(1), f.LineStart(2)},
        {"nothing after the last line", After, QAccessible::LineBoundary, last + 2, -1, -1},
        {"a surrogate pair is one character", At, QAccessible::CharBoundary, pair, pair, pair + 2},
        {"from its second half too", At, QAccessible::CharBoundary, pair + 1, pair, pair + 2},
        {"the character before a pair's end", Before, QAccessible::CharBoundary, pair + 2, pair,
         pair + 2},
        {"the character after a pair", After, QAccessible::CharBoundary, pair, pair + 2, pair + 3},
        {"no character at the end", At, QAccessible::CharBoundary, n, -1, -1},
        {"but one before it", Before, QAccessible::CharBoundary, n, n - 1, n},
        {"a word with a two-byte letter", At, QAccessible::WordBoundary, word + 3, word, word + 4},
        {"the blank after it", After, QAccessible::WordBoundary, word, word + 4, word + 5},
        {"a run of blanks", At, QAccessible::WordBoundary, last + 14, last + 14, last + 16},
        {"the word before the end", Before, QAccessible::WordBoundary, n, n - 1, n},
        {"everything", At, QAccessible::NoBoundary, 7, 0, n},
    };
    for (const TCase& c : cases) {
        int start = 0, end = 0;
        const QString got = c.Which == At ? f.Text->textAtOffset(c.Offset, c.Type, &start, &end)
                            : c.Which == Before
                                ? f.Text->textBeforeOffset(c.Offset, c.Type, &start, &end)
                                : f.Text->textAfterOffset(c.Offset, c.Type, &start, &end);
        const QString want = c.Start < 0 ? QString() : plain.mid(c.Start, c.End - c.Start);
        QVERIFY2(start == c.Start && end == c.End && got == want,
                 qPrintable(QStringLiteral("%1: %2..%3 \"%4\"")
                                .arg(QLatin1String(c.Name))
                                .arg(start)
                                .arg(end)
                                .arg(got)));
    }
}

void TestLogAccess::followsTheBoxSelectionBothWays() {
    TLogFixture f;
    const QString plain = f.Plain();
    const int n = static_cast<int>(plain.size());
    int start = 0, end = 0;
    QCOMPARE(f.Text->selectionCount(), 0);
    f.Memo->SelectAll();
    QCOMPARE(f.Text->selectionCount(), 1);
    f.Text->selection(0, &start, &end);
    QCOMPARE(std::pair(start, end), std::pair(0, n));
    QCOMPARE(f.Text->cursorPosition(), n);
    f.Text->selection(1, &start, &end); // the box has one selection only
    QCOMPARE(std::pair(start, end), std::pair(0, 0));

    // A reader selects across lines and characters of every width: the box copies that text.
    const int from = f.LineStart(1) + 14, to = f.LineStart(2) + 20;
    f.Text->setSelection(0, from, to);
    QCOMPARE(f.Memo->SelectedText(), plain.mid(from, to - from));
    f.Text->selection(0, &start, &end);
    QCOMPARE(std::pair(start, end), std::pair(from, to));
    f.Text->removeSelection(0);
    QCOMPARE(f.Text->selectionCount(), 0);
    QCOMPARE(f.Text->cursorPosition(), to);

    // The caret lands on whole characters: inside a pair it stays before it.
    const int pair = f.LineStart(2) + 13 + 5;
    for (const auto& [put, got] : {std::pair(pair, pair), std::pair(pair + 1, pair),
                                   std::pair(pair + 2, pair + 2), std::pair(n + 9, n)}) {
        f.Text->setCursorPosition(put);
        QCOMPARE(f.Text->cursorPosition(), got);
    }
}

void TestLogAccess::mapsCharactersToTheScreen() {
    TLogFixture f;
    f.Main->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.Main));
    const int second = f.LineStart(1);
    QRect previous;
    for (int offset = second; offset < second + 14; ++offset) {
        const QRect cell = f.Text->characterRect(offset);
        QVERIFY(cell.isValid());
        QCOMPARE(f.Text->offsetAtPoint(cell.center()), offset);
        if (previous.isValid()) { // on along one row
            QCOMPARE(cell.top(), previous.top());
            QVERIFY(cell.left() > previous.left());
        }
        previous = cell;
    }
    const QRect next = f.Text->characterRect(f.LineStart(2));
    QVERIFY(next.top() > previous.top());
    QCOMPARE(f.Text->offsetAtPoint(f.Memo->viewport()->mapToGlobal(QPoint(-5, 5))), -1);
    QCOMPARE(f.Text->characterRect(-3), QRect());
}

void TestLogAccess::tellsAReaderOfLinesAndOfAClear() {
    TLogFixture f(false);
    REQUIRE_BRIDGE(BridgeUp());
    f.Log(QStringLiteral("zero"));
    f.Main->FlushLog();
    QCOMPARE(Events.size(), 1);
    QCOMPARE(Events[0].Position, 0);
    QCOMPARE(Events[0].Text, f.Plain()); // the first line of a text has no line feed before it
    Events.clear();
    const int before = f.Text->characterCount();
    f.Log(QStringLiteral("one"));
    f.Log(QStringLiteral("tw\u00F6"));
    QVERIFY(Events.isEmpty()); // told in batches, as the box repaints
    f.Main->FlushLog();
    QCOMPARE(Events.size(), 1);
    QCOMPARE(Events[0].Type, QAccessible::TextInserted);
    QCOMPARE(Events[0].Position, before);
    const QString plain = f.Plain();
    QCOMPARE(Events[0].Text, plain.mid(before));
    QVERIFY(Events[0].Text.startsWith(QLatin1Char('\n')));
    QVERIFY(Events[0].Text.endsWith(QStringLiteral(" tw\u00F6")));

    f.Memo->SelectAll();
    QCOMPARE(Events.size(), 2);
    QCOMPARE(Events[1].Type, QAccessible::TextSelectionChanged);
    QCOMPARE(std::pair(Events[1].SelectionStart, Events[1].SelectionEnd),
             std::pair(0, static_cast<int>(plain.size())));

    Events.clear();
    f.Window.Action("mnuViewClear")->trigger();
    QCOMPARE(Events.size(), 1);
    QCOMPARE(Events[0].Type, QAccessible::TextRemoved);
    QCOMPARE(Events[0].Position, 0);
    QCOMPARE(Events[0].Text.size(), plain.size());
    QCOMPARE(f.Text->characterCount(), 0);
    f.Log(QStringLiteral("again"));
    f.Main->FlushLog();
    QCOMPARE(Events.size(), 2);
    QCOMPARE(Events[1].Type, QAccessible::TextInserted);
    QCOMPARE(std::pair(Events[1].Position, Events[1].Text), std::pair(0, f.Plain()));
}

void TestLogAccess::startsLaterPastItsLimit() {
    TLogFixture f(false);
    const bool told = BridgeUp();
    f.Window.Action("mnuViewClear")->trigger();
    Events.clear();
    // Lines of 20 units ("hh:nn:ss:zzz " and 7), 21 with the line feed: four lines are 83.
    for (int i = 0; i < 4; ++i)
        f.Log(QStringLiteral("line %1.").arg(i));
    f.Memo->SetAccessibleLimit(83);
    f.Main->FlushLog();
    QCOMPARE(f.Text->characterCount(), 83); // at the limit: all of it
    QCOMPARE(f.Memo->AccessibleFirstLine(), 0u);
    f.Log(QStringLiteral("line 4."));
    f.Main->FlushLog();
    // One past: the oldest lines go, so that a quarter of the limit is free (at most 63 left).
    QCOMPARE(f.Memo->AccessibleFirstLine(), 2u);
    const QString plain = f.Plain();
    QCOMPARE(f.Text->characterCount(), 62);
    QCOMPARE(f.Text->text(0, -1), plain.mid(f.LineStart(2)));
    int start = 0, end = 0;
    QCOMPARE(f.Text->textAtOffset(0, QAccessible::LineBoundary, &start, &end),
             plain.mid(f.LineStart(2), 21));
    REQUIRE_BRIDGE(told);
    QCOMPARE(Events.size(), 3);
    QCOMPARE(Events[0].Type, QAccessible::TextInserted);
    QCOMPARE(Events[0].Text.size(), 83);
    QCOMPARE(Events[1].Type, QAccessible::TextRemoved); // the two oldest lines
    QCOMPARE(std::pair(Events[1].Position, static_cast<int>(Events[1].Text.size())),
             std::pair(0, 42));
    QCOMPARE(Events[2].Type, QAccessible::TextInserted); // the newest, after the rest
    QCOMPARE(Events[2].Position, 41);
    QCOMPARE(Events[2].Text, QLatin1Char('\n') + plain.mid(f.LineStart(4)));
}

QTEST_MAIN(TestLogAccess)
#include "tst_log_access.moc"
