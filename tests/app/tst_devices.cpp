// The Devices tab against the simulated reader: identity from its ID and CAP replies, the
// last command and its answer (also in the status bar for a while), counters that follow
// the line (polls, replies, time-outs, bad check bytes, repeats, NAKs, round trips) until
// "Reset counters", columns as wide as their texts, and repaints of the changed cells only.

#include "devices/device_table.h"
#include "devices/devices_view.h"
#include "support/engine_fixture.h"
#include "support/pd_window.h"

#include <QComboBox>
#include <QHeaderView>
#include <QPaintEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include <time.h>

using namespace quintrel;
using namespace quintrel::test;

class TestDevices : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void rowFillsFromIdAndCap();
    void lastCommandAndItsAnswer_data();
    void lastCommandAndItsAnswer();
    void columnsFitTheirTexts();
    void onlyChangedCellsAreRepainted();
    void sortsByNumber();
    void countersFollowTheLine_data();
    void countersFollowTheLine();
    void resetZeroesAndRepaintsAreThrottled();
};

namespace {

QString Cell(TDeviceTable& table, int address, int column) {
    table.Refresh();
    return table.data(table.index(table.RowOf(address), column), Qt::DisplayRole).toString();
}

QTableView* Grid(TFormMain& window) {
    return window.findChild<QTableView*>(QStringLiteral("GridDevices"));
}

// The width the column's texts need (QTableView keeps its override protected).
int ContentWidth(const QTableView* grid, int column) {
    const QAbstractItemView* view = grid;
    return view->sizeHintForColumn(column);
}

// Types a command into the hex line and sends it, as a person does.
void SendHex(TFormMain& window, const QString& hex) {
    window.findChild<QComboBox*>(QStringLiteral("EditCmd"))->setEditText(hex);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("btnSend")), Qt::LeftButton);
}

// Every cell's text and colour, by row and column.
std::map<std::pair<int, int>, QString> Snapshot(TDeviceTable& table) {
    std::map<std::pair<int, int>, QString> cells;
    for (int r = 0; r < table.rowCount(); ++r)
        for (int c = 0; c < TDeviceTable::ColumnCount; ++c)
            cells[{r, c}] = table.index(r, c).data().toString() + QLatin1Char('|') +
                            table.index(r, c).data(Qt::BackgroundRole).toString();
    return cells;
}

} // namespace

// A zone far from UTC, and with a part-hour offset: "Last seen" must be local time.
void TestDevices::initTestCase() {
    qputenv("TZ", "Asia/Kathmandu");
    tzset();
}

void TestDevices::rowFillsFromIdAndCap() {
    TPdWindowRig rig;
    QVERIFY(rig.Start({QStringLiteral("--serial-number"), QStringLiteral("0x1234ABCD")}));
    TDeviceTable& table = rig.Window->DeviceTable();
    QTRY_COMPARE(table.RowOf(0), 0); // selected: a row before it ever answered
    rig.Fixture.Action("mnuGetID")->trigger();
    rig.Fixture.Action("mnuGetCAP")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!table.Stats(0).Capabilities.isEmpty(), 3000);
    QCOMPARE(Cell(table, 0, TDeviceTable::colSerial), QStringLiteral("1234ABCD"));
    QCOMPARE(Cell(table, 0, TDeviceTable::colFirmware), QStringLiteral("1.2.3"));
    QCOMPARE(Cell(table, 0, TDeviceTable::colModel), QStringLiteral("09 (hw 01)"));
    QVERIFY(!Cell(table, 0, TDeviceTable::colVendor).isEmpty());
    // Absent functions (TEXT here) are left out of the summary.
    const QString caps = Cell(table, 0, TDeviceTable::colCapabilities);
    QVERIFY2(caps.contains(QStringLiteral("4xOUTPUT01")) && !caps.contains(QStringLiteral("TEXT")),
             qPrintable(caps));
    QCOMPARE(Cell(table, 0, TDeviceTable::colSession), QStringLiteral("none"));
    QCOMPARE(Cell(table, 0, TDeviceTable::colLastSeen),
             QDateTime::fromMSecsSinceEpoch(table.Stats(0).LastSeenMs)
                 .toLocalTime()
                 .toString(QStringLiteral("HH:mm:ss.zzz")));
    // The address cell carries the poll list's colour: green while it answers.
    QTRY_COMPARE(table.data(table.index(0, 0), Qt::BackgroundRole).value<QColor>(),
                 QColor(30, 174, 37));
}

void TestDevices::sortsByNumber() {
    TPdWindowRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("9"),
                       QStringLiteral("--address"), QStringLiteral("10")}));
    rig.Window->Engine().SetSelected(9, true);
    rig.Window->Engine().SetSelected(10, true);
    rig.Window->DeviceTable().Refresh();
    auto* grid = rig.Window->findChild<QTableView*>(QStringLiteral("GridDevices"));
    QVERIFY(grid && grid->isSortingEnabled());
    const auto column = [&](int c) {
        QStringList cells;
        for (int r = 0; r < grid->model()->rowCount(); ++r)
            cells << grid->model()->index(r, c).data().toString();
        return cells;
    };
    // By number, not by text: "10" sorts after "9".
    QCOMPARE(column(TDeviceTable::colAddress),
             (QStringList{QStringLiteral("0"), QStringLiteral("9"), QStringLiteral("10")}));
    grid->sortByColumn(TDeviceTable::colAddress, Qt::DescendingOrder);
    QCOMPARE(column(TDeviceTable::colAddress),
             (QStringList{QStringLiteral("10"), QStringLiteral("9"), QStringLiteral("0")}));
}

void TestDevices::countersFollowTheLine_data() {
    QTest::addColumn<QStringList>("pdArgs");
    QTest::addColumn<int>("column");
    QTest::newRow("polls answered") << QStringList{} << int(TDeviceTable::colReplies);
    QTest::newRow("silent reader")
        << QStringList{QStringLiteral("--silent")} << int(TDeviceTable::colTimeouts);
    QTest::newRow("bad check bytes")
        << QStringList{QStringLiteral("--bad-crc-every"), QStringLiteral("2")}
        << int(TDeviceTable::colCheckErrors);
}

void TestDevices::countersFollowTheLine() {
    QFETCH(QStringList, pdArgs);
    QFETCH(int, column);
    TPdWindowRig rig;
    QVERIFY(rig.Start(pdArgs));
    TDeviceTable& table = rig.Window->DeviceTable();
    const TDeviceStats& d = table.Stats(0);
    const auto counter = [&]() -> qint64 {
        switch (column) {
        case TDeviceTable::colReplies:
            return d.Replies;
        case TDeviceTable::colTimeouts:
            return d.Timeouts;
        default:
            return d.CheckErrors;
        }
    };
    QTRY_VERIFY_WITH_TIMEOUT(counter() >= 3, 5000);
    QVERIFY(d.Polls >= 3);
    QCOMPARE(Cell(table, 0, column), QString::number(counter()));
    if (column == TDeviceTable::colCheckErrors) {
        // A damaged reply is answered by the same frame again.
        QVERIFY(d.Repeats >= 1);
    }
    if (column == TDeviceTable::colReplies) {
        QVERIFY(d.RttCount >= 3);
        QVERIFY(d.RttMinUs > 0 && d.RttMinUs <= d.RttSumUs / d.RttCount &&
                d.RttSumUs / d.RttCount <= d.RttMaxUs);
    }
    if (column == TDeviceTable::colTimeouts) {
        QCOMPARE(d.Replies, 0);
        QCOMPARE(Cell(table, 0, TDeviceTable::colRttMean), QString());
    }
}

void TestDevices::resetZeroesAndRepaintsAreThrottled() {
    TPdWindowRig rig;
    QVERIFY(rig.Start());
    TDeviceTable& table = rig.Window->DeviceTable();
    const TDeviceStats& d = table.Stats(0);
    // Output 9 is one the reader does not have: NAK 09.
    TOsdpRequest out;
    out.Command = 0x68;
    out.Address = 0;
    out.Payload = {0x09, 0x01, 0x00, 0x00};
    out.PayloadLength = 4;
    QVERIFY(rig.Window->Engine().QueueRequest(out));
    QTRY_VERIFY_WITH_TIMEOUT(d.NakCount() == 1, 3000);
    QCOMPARE(Cell(table, 0, TDeviceTable::colNaks), QStringLiteral("1 (09\u00D71)"));

    // However fast the line runs, the views hear of it a few times a second at most.
    const qint64 before = table.Repaints();
    QElapsedTimer t;
    t.start();
    QTest::qWait(1500);
    QVERIFY(d.Polls > 20);
    QVERIFY2(table.Repaints() - before <= t.elapsed() / 200 + 2,
             qPrintable(QString::number(table.Repaints() - before)));

    rig.Window->Engine().StopPolling();
    rig.Window->Engine().WaitExchangeDone();
    rig.Window->findChild<QPushButton*>(QStringLiteral("btnResetCounters"))->click();
    for (const int column :
         {TDeviceTable::colPolls, TDeviceTable::colReplies, TDeviceTable::colTimeouts,
          TDeviceTable::colNaks, TDeviceTable::colRepeats})
        QCOMPARE(Cell(table, 0, column), QStringLiteral("0"));
    QCOMPARE(Cell(table, 0, TDeviceTable::colRttMax), QString());
    QCOMPARE(Cell(table, 0, TDeviceTable::colSerial).isEmpty(), true); // never asked
}

void TestDevices::lastCommandAndItsAnswer_data() {
    QTest::addColumn<QString>("pdCommand");
    QTest::addColumn<QString>("input"); // typed hex, or a menu item
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("message");
    QTest::newRow("ACK") << QString()
                         << QStringLiteral("69 00 00 00 00 00 00 00 00 00 01 01 00 01 00")
                         << QStringLiteral("SET_LED: ACK") << QStringLiteral("SET_LED to 0: ACK");
    QTest::newRow("NAK") << QString() << QStringLiteral("68 09 01 00 00")
                         << QStringLiteral("SET_OUT: NAK(09)")
                         << QStringLiteral("SET_OUT to 0: NAK(09)");
    QTest::newRow("silent") << QStringLiteral("silent") << QStringLiteral("64")
                            << QStringLiteral("GET_STAT: no reply")
                            << QStringLiteral("GET_STAT to 0: no reply");
    // The handshake's second step is the engine's own: in the table, not in the bar.
    QTest::newRow("handshake") << QString() << QStringLiteral("mnuSetChlng")
                               << QStringLiteral("SET_SCRYPT: RES_RMACI")
                               << QStringLiteral("SET_CHLNG to 0: RES_CCRYPT");
}

// The answer shows once in the bar and stays in the table while polls go on, which the log
// (its filter as it was) does not show.
void TestDevices::lastCommandAndItsAnswer() {
    QFETCH(QString, pdCommand);
    QFETCH(QString, input);
    QFETCH(QString, cell);
    QFETCH(QString, message);
    TPdWindowRig rig;
    QVERIFY(rig.Start());
    TFormMain& window = *rig.Window;
    window.show();
    QStringList messages;
    connect(window.statusBar(), &QStatusBar::messageChanged, this, [&](const QString& text) {
        if (!text.isEmpty()) messages << text;
    });
    TDeviceTable& table = window.DeviceTable();
    QTRY_VERIFY_WITH_TIMEOUT(table.Stats(0).Polls >= 3, 3000);
    // Between polls, so the command is the first frame the reader's new state meets.
    window.Engine().StopPolling();
    window.Engine().WaitExchangeDone();
    if (!pdCommand.isEmpty()) QVERIFY(rig.Pd.Ask(pdCommand));
    if (input.startsWith(QLatin1String("mnu")))
        rig.Fixture.Action(qPrintable(input))->trigger();
    else
        SendHex(window, input);
    window.Engine().StartPolling();
    QTRY_COMPARE_WITH_TIMEOUT(Cell(table, 0, TDeviceTable::colLastCommand), cell, 3000);
    // (A silent reader is asked its unanswered frame again at its turns, not polled.)
    const auto sends = [&] { return table.Stats(0).Polls + table.Stats(0).Repeats; };
    const qint64 before = sends();
    QTRY_VERIFY_WITH_TIMEOUT(sends() >= before + 3, 3000);
    QCOMPARE(Cell(table, 0, TDeviceTable::colLastCommand), cell);
    QCOMPARE(messages, QStringList{message});
    QCOMPARE(window.statusBar()->currentMessage(), message);
    QVERIFY(!rig.Fixture.LogText().contains(QStringLiteral("POLL")));
    QTableView* grid = Grid(window); // the column grew to the answer
    QVERIFY(grid->columnWidth(TDeviceTable::colLastCommand) >=
            ContentWidth(grid, TDeviceTable::colLastCommand));
}

// Every column is as wide as its widest text, the capabilities aside: cut to a few dozen
// characters, whole in the cell's tool tip. The capture count has room for ten digits, may
// grow beyond, and stays in sight under a message.
void TestDevices::columnsFitTheirTexts() {
    TPdWindowRig rig;
    QVERIFY(rig.Start());
    TFormMain& window = *rig.Window;
    window.show();
    TDeviceTable& table = window.DeviceTable();
    rig.Fixture.Action("mnuGetID")->trigger();
    rig.Fixture.Action("mnuGetCAP")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!table.Stats(0).Capabilities.isEmpty(), 3000);
    const QString caps = Cell(table, 0, TDeviceTable::colCapabilities);
    QTableView* grid = Grid(window);
    const int capsWidth = window.findChild<TDevicesView*>()->CapabilitiesWidth();
    for (int c = 0; c < TDeviceTable::ColumnCount; ++c) {
        const int wanted =
            std::max(ContentWidth(grid, c), grid->horizontalHeader()->sectionSizeHint(c));
        const bool capped = c == TDeviceTable::colCapabilities;
        QVERIFY2(capped ? wanted > capsWidth && grid->columnWidth(c) == capsWidth
                        : grid->columnWidth(c) >= wanted,
                 qPrintable(QStringLiteral("column %1: %2, wants %3")
                                .arg(c)
                                .arg(grid->columnWidth(c))
                                .arg(wanted)));
    }
    const QModelIndex capsCell = table.index(0, TDeviceTable::colCapabilities);
    QCOMPARE(capsCell.data(Qt::ToolTipRole).toString().split(QLatin1Char('\n')),
             caps.split(QStringLiteral(", ")));

    auto* capture = window.findChild<QLabel*>(QStringLiteral("StatusPanel3"));
    QVERIFY(capture->minimumWidth() >=
            capture->fontMetrics().horizontalAdvance(QStringLiteral("Capture: 9999999999 frames")));
    QVERIFY(capture->maximumWidth() > capture->minimumWidth());
    window.statusBar()->showMessage(QStringLiteral("SET_LED to 0: ACK"), 1000);
    QVERIFY(capture->isVisible());
}

// With the tab in front, an exchange with one of two devices repaints cells of its row only,
// those whose text changed; a refresh with nothing new tells the views nothing.
void TestDevices::onlyChangedCellsAreRepainted() {
    TPdWindowRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("0"),
                       QStringLiteral("--address"), QStringLiteral("9")}));
    TFormMain& window = *rig.Window;
    TEngine& engine = window.Engine();
    engine.SetSelected(9, true);
    window.findChild<QTabWidget*>(QStringLiteral("PageControl1"))->setCurrentIndex(1);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TDeviceTable& table = window.DeviceTable();
    QTRY_VERIFY_WITH_TIMEOUT(table.Stats(0).Replies >= 3 && table.Stats(9).Replies >= 3, 3000);
    engine.StopPolling();
    // A first command widens "Last command", which moves the columns after it.
    QVERIFY(engine.QueueRequest(MakeRequest(0x64, 0)));
    engine.WaitExchangeDone();
    table.Refresh();
    QTableView* grid = Grid(window);
    grid->scrollTo(grid->model()->index(0, TDeviceTable::colReplies)); // counters in sight
    QTest::qWait(50);

    QRegion painted;
    struct TPaintSpy : QObject {
        QRegion* Region = nullptr;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                *Region += static_cast<QPaintEvent*>(event)->region();
            return false;
        }
    } spy;
    spy.Region = &painted;
    grid->viewport()->installEventFilter(&spy);
    std::set<std::pair<int, int>> told;
    connect(&table, &QAbstractItemModel::dataChanged, this,
            [&](const QModelIndex& from, const QModelIndex& to) {
                for (int r = from.row(); r <= to.row(); ++r)
                    for (int c = from.column(); c <= to.column(); ++c)
                        told.insert({r, c});
            });
    const qint64 repaints = table.Repaints();
    table.Refresh();
    QVERIFY(told.empty());
    QCOMPARE(table.Repaints(), repaints);

    const auto before = Snapshot(table);
    QVERIFY(engine.QueueRequest(MakeRequest(0x64, 0)));
    engine.WaitExchangeDone();
    table.Refresh();
    std::set<std::pair<int, int>> changed;
    for (const auto& [cell, text] : Snapshot(table))
        if (text != before.at(cell)) changed.insert(cell);
    QCOMPARE(told, changed);
    const int row = table.RowOf(0);
    QVERIFY(changed.count({row, TDeviceTable::colReplies}) == 1);
    QVERIFY(std::all_of(changed.begin(), changed.end(), [&](auto& c) { return c.first == row; }));
    QTest::qWait(50);
    const int shown = grid->model()->index(0, 0).data().toInt() == 0 ? 0 : 1;
    const QRect rowRect(0, grid->rowViewportPosition(shown), grid->viewport()->width(),
                        grid->rowHeight(shown));
    QVERIFY(!painted.isEmpty());
    QVERIFY(rowRect.contains(painted.boundingRect()));
    grid->viewport()->removeEventFilter(&spy);
}

QTEST_MAIN(TestDevices)
#include "tst_devices.moc"
