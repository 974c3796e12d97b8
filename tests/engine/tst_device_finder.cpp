// Finding the readers on a line: every address and speed asked, against the simulated
// readers over TCP and on a pseudo-terminal whose speed the simulator holds to.

#include "discovery/device_finder.h"
#include "support/engine_fixture.h"
#include "support/pd_process.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace quintrel;
using namespace quintrel::test;

class TstDeviceFinder : public QObject {
    Q_OBJECT

  private slots:
    void FindsEveryReaderAndNothingElse_data();
    void FindsEveryReaderAndNothingElse();
    void SingleReaderAnswersTheBroadcast();
    void FindsTheSpeedOnASerialLine();
    void CancelRestoresPortAndPolling();
};

namespace {

struct TFinderRig : TEngineRig {
    TPdProcess Pd;
    QTemporaryDir Dir;
    TDeviceFinder Finder{Engine};
    bool Start(QStringList args) {
        QString error;
        if (!Pd.Start(args, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        Engine.View.Poll = true;
        Engine.View.Raw = true;
        return Open(Pd.PortName());
    }
    QString Pty() const { return Dir.filePath(QStringLiteral("line")); }
};

QStringList Listed(const QList<TFoundDevice>& found) {
    QStringList out;
    for (const TFoundDevice& d : found)
        out << QStringLiteral("%1@%2 %3 %4 %5 %6")
                   .arg(d.Address)
                   .arg(d.Baud)
                   .arg(d.Serial, d.Firmware, d.Model, d.Note);
    return out;
}

} // namespace

void TstDeviceFinder::FindsEveryReaderAndNothingElse_data() {
    QTest::addColumn<QStringList>("readers");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<bool>("everyAddress");
    const auto at = [](int a) {
        return QStringList{QStringLiteral("--address"), QString::number(a)};
    };
    // Readers that answer the broadcast at once collide; readers that answer it apart, or a
    // single standard reader that answers from the broadcast address, are told apart only
    // address by address, where each answers alone with its identification.
    QTest::newRow("three at once") << (at(3) + at(17) + at(20)) << 20
                                   << QStringList{QStringLiteral("3@0 1234567B 1.2.3 09 "),
                                                  QStringLiteral("17@0 12345689 1.2.3 09 "),
                                                  QStringLiteral("20@0 1234568C 1.2.3 09 ")}
                                   << QStringLiteral("3 found (3, 17, 20), 18 addresses silent") << false;
    QTest::newRow("two, 40 ms apart")
        << (at(3) + at(17) + QStringList{QStringLiteral("--answer-delay"), QStringLiteral("40")})
        << 100
        << QStringList{QStringLiteral("3@0 1234567B 1.2.3 09 "),
                       QStringLiteral("17@0 12345689 1.2.3 09 ")}
        << QStringLiteral("2 found (3, 17), 19 addresses silent") << false;
    QTest::newRow("one, answering from 0x7F")
        << at(9) << 20 << QStringList{QStringLiteral("9@0 12345681 1.2.3 09 ")}
        << QStringLiteral("1 found (9), 20 addresses silent") << false;
    // A reader that takes no notice of broadcasts is found only when every address is asked.
    const QStringList oneDeaf = at(4) + QStringList{QStringLiteral("--broadcast-own-address")} +
                                at(12) + QStringList{QStringLiteral("--no-broadcast")};
    QTest::newRow("one deaf to broadcasts, quick")
        << oneDeaf << 20 << QStringList{QStringLiteral("4@0 1234567C 1.2.3 09 ")}
        << QStringLiteral("1 found (4), 0 addresses silent") << false;
    QTest::newRow("one deaf to broadcasts, every address")
        << oneDeaf << 20
        << QStringList{QStringLiteral("4@0 1234567C 1.2.3 09 "),
                       QStringLiteral("12@0 12345684 1.2.3 09 ")}
        << QStringLiteral("2 found (4, 12), 19 addresses silent") << true;
}

void TstDeviceFinder::FindsEveryReaderAndNothingElse() {
    QFETCH(QStringList, readers);
    QFETCH(int, waitMs);
    QFETCH(QStringList, found);
    QFETCH(QString, summary);
    QFETCH(bool, everyAddress);
    TFinderRig rig;
    QVERIFY(rig.Start(readers));
    TFinderOptions options;
    options.WaitMs = waitMs;
    options.EveryAddress = everyAddress;
    options.LastAddress = 20;
    const qsizetype logged = rig.Log.size();
    const QList<TFoundDevice> results = rig.Finder.Run(options);
    QCOMPARE(Listed(results), found);
    // One line sums the search up; the silent addresses get no line each.
    const QStringList lines = rig.Log.mid(logged);
    QCOMPARE(lines.filter(QStringLiteral("TIMEOUT")), QStringList{});
    QCOMPARE(lines.filter(QStringLiteral("Find devices")),
             QStringList{QStringLiteral("Find devices: ") + summary +
                         (everyAddress ? QStringLiteral("; every address asked")
                                       : QStringLiteral("; quick search (broadcast first)"))});
    QCOMPARE(Listed(rig.Finder.Run(options)), found); // a new search starts afresh
    QCOMPARE(results[0].Vendor, QStringLiteral("7C4E15")); // no vendor list loaded: the bare key
    QVERIFY(rig.Engine.Polling());                         // it ran before, so it runs again
    QCOMPARE(rig.Engine.ReplyTimeout(), TEngine::ReplyTimeoutMs);
}

void TstDeviceFinder::SingleReaderAnswersTheBroadcast() {
    // A reader that answers a broadcast from its own address names it at once.
    TFinderRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("42"),
                       QStringLiteral("--broadcast-own-address")}));
    const int before = static_cast<int>(rig.SentFrames().size());
    const QList<TFoundDevice> found = rig.Finder.Run(TFinderOptions{});
    QCOMPARE(Listed(found), QStringList{QStringLiteral("42@0 123456A2 1.2.3 09 ")});
    // One question was enough: no address was asked on its own.
    const QList<QByteArray> sent = rig.SentFrames().mid(before);
    QCOMPARE(std::count_if(sent.begin(), sent.end(),
                           [](const QByteArray& f) { return f.size() > 5 && f[5] == '\x61'; }),
             1);
}

void TstDeviceFinder::FindsTheSpeedOnASerialLine() {
    TFinderRig rig;
    QVERIFY(rig.Start({QStringLiteral("--pty"), rig.Pty(), QStringLiteral("--baud"),
                       QStringLiteral("19200"), QStringLiteral("--address"), QStringLiteral("2")}));
    QCOMPARE(rig.Engine.Port().Baud(), 9600);
    TFinderOptions options;
    options.Speeds = {9600, 19200, 38400};
    options.LastAddress = 5;
    options.WaitMs = 30;
    const QList<TFoundDevice> found = rig.Finder.Run(options);
    QCOMPARE(Listed(found), QStringList{QStringLiteral("2@19200 1234567A 1.2.3 09 ")});
    QCOMPARE(rig.Engine.Port().Baud(), 9600); // back where it was
}

void TstDeviceFinder::CancelRestoresPortAndPolling() {
    TFinderRig rig;
    QVERIFY(rig.Start({QStringLiteral("--pty"), rig.Pty(), QStringLiteral("--silent")}));
    TFinderOptions options;
    options.Speeds = {19200, 38400};
    options.WaitMs = 50;
    int progress = 0;
    QObject::connect(&rig.Finder, &TDeviceFinder::Progress, [&](int done, int) {
        progress = done;
        if (done == 5) rig.Finder.Cancel();
    });
    QElapsedTimer t;
    t.start();
    QVERIFY(rig.Finder.Run(options).isEmpty());
    QCOMPARE(progress, 5); // stopped within one wait
    QCOMPARE(rig.Log.filter(QStringLiteral("Find devices")),
             QStringList{QStringLiteral(
                 "Find devices: 0 found, 5 addresses silent; cancelled after 5 of 254 addresses; "
                 "quick search (broadcast first)")});
    // Time-outs are the engine's to log again.
    QVERIFY(!rig.Engine.QuietTimeouts);
    QCOMPARE(rig.Engine.Port().Baud(), 9600);
    QVERIFY(rig.Engine.Polling());
    QCOMPARE(rig.Engine.ReplyTimeout(), TEngine::ReplyTimeoutMs);
}

QTEST_GUILESS_MAIN(TstDeviceFinder)
#include "tst_device_finder.moc"
