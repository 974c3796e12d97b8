// The engine against the simulated reader program, over TCP on loopback and over a
// pseudo-terminal pair, as it would talk to a real line.

#include "support/engine_fixture.h"
#include "support/pd_process.h"
#include "support/pty_pair.h"

#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstEnginePd : public QObject {
    Q_OBJECT

  private slots:
    void PollsAlternate_data();
    void PollsAlternate();
    void SilentReaderTimesOutOnce();
    void BadCrcRepliesGiveOneError();
    void ComSetMovesAddressAndBaudOnSerial();
    void DecodedRepliesAndCardRead();
    void DroppedConnectionIsReportedOnce();
};

namespace {

struct TLine {
    TPdProcess Pd;
    TPtyPair Pty;
    QString PortName;
    bool Start(bool serial, QStringList args, QString* error) {
        if (!serial) {
            if (!Pd.Start(args, error)) return false;
            PortName = Pd.PortName();
            return true;
        }
        if (!Pty.Start(error)) return false;
        args << QStringLiteral("--serial") << Pty.PathB();
        if (!Pd.Start(args, error)) return false;
        PortName = Pty.PathA();
        return true;
    }
};

// The simulated line and an engine connected to it, with all traffic in the log.
struct TPdRig : TEngineRig {
    TLine Line;
    bool Start(bool serial, const QStringList& args, std::initializer_list<int> selection = {0}) {
        QString error;
        if (!Line.Start(serial, args, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        Engine.View.Raw = true;
        Engine.View.Poll = true;
        Select(selection);
        return Open(Line.PortName);
    }
};

// Address and sequence of each frame sent, from the raw log lines.
QList<QPair<int, int>> AddressesAndSequences(const TEngineRig& rig) {
    QList<QPair<int, int>> out;
    for (const QByteArray& f : rig.SentFrames())
        out << qMakePair(f[1] & 0x7F, f[4] & 0x03);
    return out;
}

} // namespace

void TstEnginePd::PollsAlternate_data() {
    QTest::addColumn<bool>("serial");
    QTest::newRow("tcp") << false;
    if (TPtyPair::SocatInstalled()) QTest::newRow("pseudo-terminal") << true;
}

void TstEnginePd::PollsAlternate() {
    QFETCH(bool, serial);
    TPdRig rig;
    QVERIFY(rig.Start(serial,
                      {QStringLiteral("--address"), QStringLiteral("3"),
                       QStringLiteral("--address"), QStringLiteral("10")},
                      {3, 10}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 10, 5000);
    rig.Engine.StopPolling();
    const auto sent = AddressesAndSequences(rig).mid(0, 10);
    QList<QPair<int, int>> expected;
    for (int seq : {0, 1, 2, 3, 1})
        expected << qMakePair(3, seq) << qMakePair(10, seq);
    QCOMPARE(sent, expected);
    QCOMPARE(rig.Log.filter(QStringLiteral("TIMEOUT")).size(), 0);
    QCOMPARE(rig.Engine.Devices()[3].Status, dsOk);
}

void TstEnginePd::SilentReaderTimesOutOnce() {
    TPdRig rig;
    QVERIFY(rig.Start(false,
                      {QStringLiteral("--address"), QStringLiteral("3"),
                       QStringLiteral("--address"), QStringLiteral("10")},
                      {3, 10}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 4, 3000);
    rig.Line.Pd.Command(QStringLiteral("silent 10"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.Devices()[10].Status == dsTimeout, 3000);
    const int quiet = static_cast<int>(rig.SentFrames().size());
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= quiet + 6, 5000);
    QCOMPARE(rig.Count(QStringLiteral("TIMEOUT (no reply from 10)")), 1);
    // While silent, 10 is asked its unanswered frame again, with its number; 3 goes on
    // stepping.
    int kept = -1;
    for (const auto& [address, seq] : AddressesAndSequences(rig).mid(quiet))
        if (address == 10) {
            if (kept < 0) kept = seq;
            QCOMPARE(seq, kept);
        }
    QVERIFY(kept > 0);
    rig.Line.Pd.Command(QStringLiteral("answer 10"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.Devices()[10].Status == dsOk, 3000);
    QCOMPARE(rig.Engine.Devices()[3].Status, dsOk);
}

void TstEnginePd::BadCrcRepliesGiveOneError() {
    TPdRig rig;
    QVERIFY(rig.Start(false, {QStringLiteral("--bad-crc-every"), QStringLiteral("1")}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 4, 3000);
    rig.Line.Pd.Command(QStringLiteral("bad-crc-every 0"));
    const int healthyFrom = static_cast<int>(rig.SentFrames().size()) + 1;
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= healthyFrom + 3, 3000);
    rig.Engine.StopPolling();
    QCOMPARE(rig.Count(QStringLiteral("ERROR (crc error from 0)")), 1);
    // The invalid replies did not step the sequence: all frames before recovery carried 0.
    const auto sent = AddressesAndSequences(rig);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(sent[i].second, 0);
    QCOMPARE(rig.Engine.Devices()[0].Status, dsOk);
}

void TstEnginePd::ComSetMovesAddressAndBaudOnSerial() {
    if (!TPtyPair::SocatInstalled()) QSKIP("socat is not installed");
    TPdRig rig;
    rig.Host.Selected = 2;
    QVERIFY(rig.Start(true, {QStringLiteral("--address"), QStringLiteral("2")}, {2}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 2, 3000);
    QVERIFY(
        rig.Engine.QueueRequest(MakeRequest(0x6E, 2, {9, 0x00, 0x4B, 0x00, 0x00}))); // 9 at 19200
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.Devices()[9].Selected, 3000);
    QVERIFY(!rig.Engine.Devices()[2].Selected);
    QCOMPARE(rig.Host.Selected, 9);
    QCOMPARE(rig.Engine.Port().Baud(), 19200);
    // The reader answers at its new address.
    const int moved = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(moved).filter(QStringLiteral("< 53 89")).size() >= 2,
                             3000);
    QCOMPARE(rig.Log.filter(QStringLiteral("TIMEOUT")).size(), 0);
}

void TstEnginePd::DecodedRepliesAndCardRead() {
    TPdRig rig;
    QVERIFY(rig.Start(false, {}));
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x61, 0, {0})));
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x62, 0, {0})));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.filter(QStringLiteral("RES_CAP")).size() == 1, 3000);
    rig.Line.Pd.Command(QStringLiteral("card 0x2468AC 26"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.filter(QStringLiteral("EVT_RAW")).size() == 1, 3000);
    const QString id = rig.Log.filter(QStringLiteral("< addr=0: RES_ID(")).value(0);
    QVERIFY2(id.contains(QLatin1String("MANUF=7C4E15")) &&
                 id.contains(QLatin1String("SERNO=12345678")) &&
                 id.endsWith(QLatin1String("FWVER=1.2.3)")),
             qPrintable(id));
    QVERIFY(rig.Log.filter(QStringLiteral("< addr=0: RES_CAP(4xINPUT01")).size() == 1);
    QCOMPARE(rig.Log.filter(QStringLiteral("EVT_RAW")).value(0),
             QStringLiteral("< addr=0: EVT_RAW(FORMAT=WIEGAND, BITLEN=26, DATA=2468AC, 26-bit FC=18 CN=13398)"));
}

void TstEnginePd::DroppedConnectionIsReportedOnce() {
    TPdRig rig;
    QVERIFY(rig.Start(false, {QStringLiteral("--drop-after"), QStringLiteral("5")}));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Engine.Port().IsOpen(), 5000);
    QTest::qWait(300);
    QCOMPARE(rig.Errors, QStringList{QStringLiteral("Error: connection lost")});
    QCOMPARE(rig.Status[0], QStringLiteral("Disconnected"));
    QCOMPARE(rig.Log.filter(QStringLiteral("STOP")).size(), 1);
}

QTEST_GUILESS_MAIN(TstEnginePd)
#include "tst_engine_pd.moc"
