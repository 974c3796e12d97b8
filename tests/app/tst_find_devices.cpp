// "Find devices" through the window against the simulated readers over TCP.

#include "support/modal_answerer.h"
#include "support/pd_window.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

using namespace quintrel;
using namespace quintrel::test;

class TestFindDevices : public QObject {
    Q_OBJECT

  private slots:
    void useTicksExactlyTheFoundAddresses();
    void cancelRestoresPolling();
};

namespace {

template <typename T> T* Child(QWidget* dialog, const char* name) {
    return dialog->findChild<T*>(QLatin1String(name));
}

QList<int> Ticked(TFormMain& w) {
    QList<int> ticked;
    for (int a = 0; a < kDeviceCount; ++a)
        if (w.Engine().Devices()[a].Selected) ticked << a;
    return ticked;
}

} // namespace

void TestFindDevices::useTicksExactlyTheFoundAddresses() {
    TPdWindowRig rig;
    QVERIFY(
        rig.Start({QStringLiteral("--address"), QStringLiteral("3"), QStringLiteral("--address"),
                   QStringLiteral("17"), QStringLiteral("--address"), QStringLiteral("126")}));
    QStringList rows;
    bool speedsAsked = true;
    TModalAnswerer answer({[&](QWidget* d) {
        QTimer::singleShot(0, [&, d] {
            speedsAsked = Child<QWidget>(d, "ListSpeeds")->isVisibleTo(d);
            Child<QLineEdit>(d, "EditWait")->setText(QStringLiteral("20"));
            Child<QPushButton>(d, "btnStart")->click(); // returns when the search is done
            auto* results = Child<QTableWidget>(d, "ListResults");
            for (int r = 0; r < results->rowCount(); ++r)
                rows << results->item(r, 1)->text() + QLatin1Char(' ') +
                            results->item(r, 4)->text();
            Child<QPushButton>(d, "btnUse")->click();
        });
    }});
    rig.Fixture.Action("mnuFindDevices")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QVERIFY(!speedsAsked); // a TCP line has no speed to try
    QCOMPARE(rows, (QStringList{QStringLiteral("3 1234567B"), QStringLiteral("17 12345689"),
                                QStringLiteral("126 123456F6")}));
    QCOMPARE(Ticked(*rig.Window), (QList<int>{3, 17, 126}));
    QCOMPARE(rig.Window->SelectedAddress(), 3); // the first found goes into the Address box
    QVERIFY(rig.Window->Engine().Polling());
}

void TestFindDevices::cancelRestoresPolling() {
    TPdWindowRig rig;
    QVERIFY(rig.Start({QStringLiteral("--silent")}));
    int progress = -1;
    TModalAnswerer answer({[&](QWidget* d) {
        QTimer::singleShot(0, [&, d] {
            Child<QLineEdit>(d, "EditWait")->setText(QStringLiteral("50"));
            // Cancel as the search reaches its fourth address.
            auto* bar = Child<QProgressBar>(d, "ProgressFind");
            QObject::connect(bar, &QProgressBar::valueChanged, d, [d](int value) {
                if (value == 3) Child<QPushButton>(d, "btnCancel")->click();
            });
            Child<QPushButton>(d, "btnStart")->click();
            progress = Child<QProgressBar>(d, "ProgressFind")->value();
            Child<QPushButton>(d, "btnClose")->click();
        });
    }});
    rig.Fixture.Action("mnuFindDevices")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(progress, 3); // stopped within one wait
    QVERIFY(rig.Window->Engine().Polling());
    QCOMPARE(Ticked(*rig.Window), QList<int>{0}); // nothing was used
}

QTEST_MAIN(TestFindDevices)
#include "tst_find_devices.moc"
