// The engine against the simulated reader in its strict mode, which keeps to the protocol
// as a standard reader does (replays on a repeated number, NAK 04 on an unexpected one,
// sessions that end on sequence 0) and records what it really ran. Each test judges by
// that record, not only by what the engine logged.

#include "support/composer_fixture.h"
#include "support/pd_process.h"

#include <QElapsedTimer>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstStandardReader : public QObject {
    Q_OBJECT

  private slots:
    void DamagedAckLosesNoCommand_data();
    void DamagedAckLosesNoCommand();
    void CardReadInADamagedReplyIsShownOnce();
    void BusyReaderRunsTheCommandOnce_data();
    void BusyReaderRunsTheCommandOnce();
    void NoNak04AfterABroadcast();
    void DamagedReplyInASession();
    void UnprotectedReplyEndsTheSession_data();
    void UnprotectedReplyEndsTheSession();
    void ScryptGoesToTheSenderOfCcrypt_data();
    void ScryptGoesToTheSenderOfCcrypt();
    void NewKeyThenNewHandshake();
    void GarbageLosesNoReply();
    void NoiseDoesNotHoldOffTheTimeout();
};

namespace {

// LED 0 of reader 0, permanently on in this colour.
TOsdpRequest Led(std::uint8_t colour) {
    return MakeRequest(0x69, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, colour, 0});
}
QString LedText(int colour) {
    return QStringLiteral("SET_LED(00 00 00 00 00 00 00 00 00 01 01 00 %1 00)")
        .arg(colour, 2, 16, QLatin1Char('0'));
}

} // namespace

void TstStandardReader::DamagedAckLosesNoCommand_data() {
    QTest::addColumn<bool>("polling");
    QTest::newRow("sent at once") << false;
    QTest::newRow("queued while polling") << true;
}

void TstStandardReader::DamagedAckLosesNoCommand() {
    QFETCH(bool, polling);
    TStrictRig rig;
    QVERIFY(rig.Start({}));
    if (!polling) rig.Quiet();
    QVERIFY(rig.Pd.Ask(QStringLiteral("corrupt-reply-to 69")));
    // Red, green, white: the first ACK is damaged on the line.
    for (std::uint8_t colour : {1, 2, 7})
        QVERIFY(polling ? rig.Engine.QueueRequest(Led(colour)) : rig.Send(Led(colour)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.Pd.Printed(QStringLiteral("ran 0 69")).size(), 3, 3000);
    const QStringList ran = rig.Pd.Printed(QStringLiteral("ran 0 69"));
    const int colours[] = {1, 2, 7};
    for (int i = 0; i < 3; ++i) // each run once, in order
        QVERIFY2(ran[i].endsWith(QStringLiteral("01 01 00 0%1 00").arg(colours[i])),
                 qPrintable(ran[i]));
    QCOMPARE(rig.CountContaining(QStringLiteral("ERROR (crc error from 0)")), 1);
    // The damaged exchange went twice, byte for byte; the others once.
    QCOMPARE(rig.CountContaining(LedText(1)), 2);
    QCOMPARE(rig.CountContaining(LedText(2)), 1);
    QCOMPARE(rig.CountContaining(LedText(7)), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

void TstStandardReader::CardReadInADamagedReplyIsShownOnce() {
    TStrictRig rig;
    QVERIFY(rig.Start({}));
    rig.Quiet();
    QVERIFY(rig.Pd.Ask(QStringLiteral("card 0x2468AC 26")));
    QVERIFY(rig.Pd.Ask(QStringLiteral("corrupt-reply 1")));
    QVERIFY(rig.Send(MakeRequest(0x60, 0)));
    QVERIFY(rig.Send(MakeRequest(0x60, 0)));
    QCOMPARE(rig.Pd.Printed(QStringLiteral("delivered 0 50")).size(), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("< addr=0: EVT_RAW(")), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("ERROR (crc error from 0)")), 1);
}

void TstStandardReader::BusyReaderRunsTheCommandOnce_data() {
    QTest::addColumn<int>("busy");
    QTest::addColumn<int>("ran");
    QTest::newRow("busy once") << 1 << 1;
    QTest::newRow("busy twice") << 2 << 1;
    QTest::newRow("busy three times: dropped") << 3 << 0;
}

void TstStandardReader::BusyReaderRunsTheCommandOnce() {
    QFETCH(int, busy);
    QFETCH(int, ran);
    TStrictRig rig;
    QVERIFY(rig.Start({}));
    rig.Quiet();
    QVERIFY(rig.Pd.Ask(QStringLiteral("busy %1").arg(busy)));
    const int from = static_cast<int>(rig.Log.size());
    QVERIFY(rig.Send(Led(1)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.Pd.Printed(QStringLiteral("ran 0 69")).size(), ran, 2000);
    // The same frame each time: a busy reply does not step the number.
    const QStringList sent = rig.Log.mid(from).filter(QStringLiteral("> 53 00 16 00"));
    QCOMPARE(sent.size(), std::min(busy + 1, TEngine::MaxAttempts));
    QCOMPARE(sent.count(sent.first()), sent.size());
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("BUSY (command 69 to 0 dropped")).size(),
             1 - ran);
    // Whatever happened, the next command is answered normally.
    QVERIFY(rig.Send(MakeRequest(0x64, 0)));
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("< addr=0: RES_STAT(")).size(), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

void TstStandardReader::NoNak04AfterABroadcast() {
    TStrictRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("0"),
                       QStringLiteral("--address"), QStringLiteral("5")},
                      {0, 5}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 6, 3000);
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x61, kBroadcastAddress, {0})));
    const int from = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).filter(QStringLiteral("< addr=5: ACK")).size() >= 3,
                             3000);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

void TstStandardReader::DamagedReplyInASession() {
    TStrictRig rig;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    QVERIFY(rig.CountContaining(QStringLiteral("Secure channel with 0 established")) == 1);
    // One damaged reply: the same frame again, the cached reply passes its MAC check.
    int from = static_cast<int>(rig.Log.size());
    QVERIFY(rig.Pd.Ask(QStringLiteral("corrupt-reply 1")));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).contains(QStringLiteral("ERROR (crc error from 0)")),
                             3000);
    const int error =
        static_cast<int>(rig.Log.indexOf(QStringLiteral("ERROR (crc error from 0)"), from));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.mid(error).filter(QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 3, 3000);
    QVERIFY(rig.Established(0));
    // The repeat is the only frame it cost.
    int sentBeforeRecovery = 0;
    for (int i = error; !rig.Log[i].startsWith(QLatin1String("< addr=0: SCS16")); ++i)
        sentBeforeRecovery += rig.Log[i].startsWith(QLatin1String("> 53 ")) ? 1 : 0;
    QCOMPARE(sentBeforeRecovery, 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("Secure channel with 0 ended")), 0);

    // A damaged run: three sends of one frame at a time, and the device keeps that frame: it
    // is asked it again at each turn, polling goes on, and once a reply comes through clean
    // the session is where it was.
    from = static_cast<int>(rig.Log.size());
    QVERIFY(rig.Pd.Ask(QStringLiteral("bad-crc-every 1")));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).filter(QStringLiteral("> 53 ")).size() >= 6, 3000);
    QVERIFY(rig.Pd.Ask(QStringLiteral("bad-crc-every 0")));
    const int clean = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.mid(clean).filter(QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 3, 3000);
    QVERIFY(rig.Established(0));
    QCOMPARE(rig.CountContaining(QStringLiteral("Secure channel with 0 ended")), 0);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("session 0 ended")).size(), 0);
    const QStringList damaged = rig.Log.mid(from, clean - from).filter(QStringLiteral("> 53 "));
    QCOMPARE(damaged.count(damaged.last()), damaged.size() - damaged.indexOf(damaged.last()));
    QVERIFY2(rig.LongestGapBetweenSends(from) < 1000, "polling stood still");
}

void TstStandardReader::UnprotectedReplyEndsTheSession_data() {
    QTest::addColumn<QString>("type");
    QTest::newRow("SCS12") << QStringLiteral("12");
    QTest::newRow("SCS19") << QStringLiteral("19");
}

void TstStandardReader::UnprotectedReplyEndsTheSession() {
    QFETCH(QString, type);
    TStrictRig rig;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    const int from = static_cast<int>(rig.Log.size());
    QVERIFY(rig.Pd.Ask(QStringLiteral("odd-block ") + type));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).contains(
                                 QStringLiteral("Secure channel with 0 ended (unprotected reply)")),
                             3000);
    QVERIFY(!rig.Established(0));
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("< addr=0: SCS%1 - ").arg(type)).size(), 1);
}

void TstStandardReader::ScryptGoesToTheSenderOfCcrypt_data() {
    QTest::addColumn<int>("selected");
    QTest::addColumn<bool>("polling");
    QTest::newRow("BROADCAST selected") << int(kBroadcastAddress) << true;
    QTest::newRow("nothing selected") << -1 << true;
    QTest::newRow("another reader selected") << 0 << true;
    // Sent at once from inside frame processing: it still takes the number after 0.
    QTest::newRow("not polling") << 0 << false;
}

void TstStandardReader::ScryptGoesToTheSenderOfCcrypt() {
    QFETCH(int, selected);
    QFETCH(bool, polling);
    TStrictRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("0"),
                       QStringLiteral("--address"), QStringLiteral("3")},
                      {0, 3}));
    if (!polling) rig.Quiet();
    // The challenge goes to 3; by the time its answer comes the box shows something else.
    rig.Composer.OnSendCmdClick(0x76, 3);
    rig.Host.Selected = selected;
    QTRY_VERIFY_WITH_TIMEOUT(rig.Established(3), 3000);
    QVERIFY(rig.Ui.Errors.isEmpty());
    QCOMPARE(rig.CountContaining(QStringLiteral("> addr=3: SCS13 - SET_SCRYPT(")), 1);
    QCOMPARE(rig.Engine.Devices()[0].Session.State, ssNone);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

void TstStandardReader::NewKeyThenNewHandshake() {
    const char* const newKey = "00112233445566778899AABBCCDDEEFF";
    TStrictRig rig;
    rig.Composer.Keys.DiversifyMasterkey = false;
    QVERIFY(rig.Start({QStringLiteral("--keyset-ends-session")}));
    // Outside a session the strict reader refuses a key in the clear.
    rig.Ui.Keys = {std::string(newKey)};
    rig.Menu(0x75);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(QStringLiteral("< addr=0: NAK(06)")), 3000);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 0 75")).size(), 0);

    QVERIFY(rig.Handshake(0));
    rig.Ui.Keys = {std::string(newKey)};
    rig.Menu(0x75);
    // The reader takes the key and drops its session; our side hears of it on the next reply.
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.contains(QStringLiteral("Secure channel with 0 ended (plain reply)")), 3000);
    rig.Composer.Keys.UseScbkD = false;
    rig.Ui.Keys = {std::string(newKey)};
    QVERIFY(rig.Handshake(0));
    QCOMPARE(rig.CountContaining(QStringLiteral("Secure channel with 0 established")), 2);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK(04)")), 0);
}

void TstStandardReader::GarbageLosesNoReply() {
    TStrictRig rig;
    QVERIFY(rig.Start({QStringLiteral("--garbage")}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 30, 5000);
    rig.Quiet();
    QCOMPARE(rig.CountContaining(QStringLiteral("< addr=0: ACK")),
             static_cast<int>(rig.SentFrames().size()));
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT")), 0);
    QCOMPARE(rig.CountContaining(QStringLiteral("ERROR")), 0);
}

void TstStandardReader::NoiseDoesNotHoldOffTheTimeout() {
    TStrictRig rig;
    QVERIFY(rig.Start(
        {QStringLiteral("--silent"), QStringLiteral("--noise-every"), QStringLiteral("100")}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentFrames().size() >= 4, 3000);
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT (no reply from 0)")), 1);
    // Never before the full time: every frame waited at least 300 ms for its answer.
    int last = -1;
    for (int i = 0; i < rig.Log.size(); ++i) {
        if (!rig.Log[i].startsWith(QLatin1String("> 53 "))) continue;
        if (last >= 0) QVERIFY(rig.LogTimes[i] - rig.LogTimes[last] >= TEngine::ReplyTimeoutMs);
        last = i;
    }
    // While Disconnect waits for the last exchange, the window must not offer polling.
    bool waitSeen = false;
    QObject::connect(&rig.Engine, &TEngine::ControlsChanged,
                     [&] { waitSeen = waitSeen || rig.Engine.Disconnecting(); });
    QElapsedTimer t;
    t.start();
    rig.Engine.Disconnect();
    QVERIFY2(t.elapsed() < 3 * TEngine::ReplyTimeoutMs, "Disconnect waited for the noise");
    QVERIFY(!rig.Engine.Port().IsOpen());
    QVERIFY(waitSeen);
    QVERIFY(!rig.Engine.Disconnecting());
}

QTEST_GUILESS_MAIN(TstStandardReader)
#include "tst_standard_reader.moc"
