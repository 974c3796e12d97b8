// The Devices tab against the simulated reader: identity from its ID and CAP replies, and
// counters that follow the line (polls, replies, time-outs, bad check bytes, repeats,
// NAKs, round trips) until "Reset counters".

#include "devices/device_table.h"
#include "support/pd_window.h"

#include <QPushButton>
#include <QTableView>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TestDevices : public QObject {
    Q_OBJECT

  private slots:
    void rowFillsFromIdAndCap();
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

} // namespace

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
    QVERIFY(!Cell(table, 0, TDeviceTable::colLastSeen).isEmpty());
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

QTEST_MAIN(TestDevices)
#include "tst_devices.moc"
