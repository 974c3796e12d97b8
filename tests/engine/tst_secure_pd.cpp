// The secure channel end to end against the simulated reader: handshakes with each
// kind of key, protected traffic both ways, and every way a session ends.

#include "support/composer_fixture.h"
#include "support/pd_process.h"

#include <QTest>

#include <algorithm>

using namespace quintrel;
using namespace quintrel::test;

class TstSecurePd : public QObject {
    Q_OBJECT

  private slots:
    void Handshake_data();
    void Handshake();
    void WrongKeySendsNothing();
    void CorruptedReplyMacEndsTheSession();
    void InitialMacThatDiffersIsReported();
    void PlainReplyEndsTheSession();
    void EveryEndWipesTheSession_data();
    void EveryEndWipesTheSession();
    void TwoReadersHoldIndependentSessions();
    void KeySetInsideAndOutsideASession();
    void CancelledPromptSendsNothing();
    void ReconnectDropsEverySession();
};

namespace {

const char* const kScbk = "00112233445566778899AABBCCDDEEFF";
const char* const kMaster = "000102030405060708090A0B0C0D0E0F";

struct TSecureRig : TPdComposerRig {
    QStringList SentLinesAfter(int from, const QString& needle) const {
        return Log.mid(from).filter(needle);
    }
};

} // namespace

void TstSecurePd::Handshake_data() {
    QTest::addColumn<QStringList>("pdArgs");
    QTest::addColumn<bool>("useScbkD");
    QTest::addColumn<bool>("diversify");
    QTest::addColumn<QString>("typed");
    QTest::newRow("SCBK-D") << QStringList{} << true << true << QString();
    QTest::newRow("typed SCBK") << QStringList{QStringLiteral("--scbk"), QString::fromLatin1(kScbk)}
                                << false << false << QString::fromLatin1(kScbk);
    QTest::newRow("diversified") << QStringList{QStringLiteral("--master-key"),
                                                QString::fromLatin1(kMaster)}
                                 << false << true << QString::fromLatin1(kMaster);
}

void TstSecurePd::Handshake() {
    QFETCH(QStringList, pdArgs);
    QFETCH(bool, useScbkD);
    QFETCH(bool, diversify);
    QFETCH(QString, typed);
    TSecureRig rig;
    rig.Composer.Keys.UseScbkD = useScbkD;
    rig.Composer.Keys.DiversifyMasterkey = diversify;
    if (!typed.isEmpty()) rig.Ui.Keys = {typed.toStdString()};
    QVERIFY(rig.Start(pdArgs));
    QVERIFY(rig.Handshake(0));
    // The device's first MAC is the one its keys and our cryptogram give.
    QCOMPARE(rig.CountContaining(QStringLiteral("initial MAC differs")), 0);
    QCOMPARE(rig.Ui.Prompts.size(), useScbkD ? 0 : 1);
    QCOMPARE(rig.Ui.History.size(), 2); // the challenge and the automatic server cryptogram
    QVERIFY(rig.Ui.History[0].startsWith(QLatin1String("77 ")));

    // Polls now carry SCS_15 and a MAC; an LED command goes as SCS_17, described in plain.
    const int from = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("> addr=0: SCS15 - POLL")).size() >= 2, 3000);
    rig.Ui.Leds = {TLedControl{}};
    rig.Menu(0x69);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(
               from, QStringLiteral(
                         "> addr=0: SCS17 - SET_LED(00 00 02 01 01 02 00 0A 00 00 00 00 01 01)"))
                .size() == 1,
        3000);
    int led = from;
    while (!rig.Log[led].contains(QLatin1String("SCS17 - SET_LED")))
        ++led;
    // Raw line: 53 00 LEN(1E 00) CTRL 02 17 69, then 16 encrypted bytes, MAC and CRC.
    QVERIFY2(rig.Log[led + 1].startsWith(QLatin1String("> 53 00 1E 00")),
             qPrintable(rig.Log[led + 1]));
    QVERIFY(!rig.Log[led + 1].contains(QLatin1String("00 00 02 01 01 02 00 0A")));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(led, QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 1, 3000);

    // An identification inside the session is decrypted and decoded.
    rig.Menu(0x61);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("SCS18 - RES_ID(MANUF=7C4E15")).size() == 1, 3000);
    QVERIFY(rig.Established(0));
    QCOMPARE(rig.Log.filter(QStringLiteral("ERROR")).size(), 0);
}

void TstSecurePd::WrongKeySendsNothing() {
    TSecureRig rig;
    rig.Composer.Keys.UseScbkD = false;
    rig.Composer.Keys.DiversifyMasterkey = false;
    rig.Ui.Keys = {std::string("FFEEDDCCBBAA99887766554433221100")};
    QVERIFY(rig.Start({QStringLiteral("--scbk"), QString::fromLatin1(kScbk)}));
    rig.Menu(0x76);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.filter(QStringLiteral("< addr=0: SCS12 - RES_CCRYPT")).size() == 1, 3000);
    QTest::qWait(200);
    QCOMPARE(rig.Log.filter(QStringLiteral("SET_SCRYPT")).size(), 0);
    QCOMPARE(rig.Ui.History.size(), 1); // only the challenge
    const TSecureSession& s = rig.Engine.Devices()[0].Session;
    QCOMPARE(s.State, ssNone);
    QCOMPARE(s.Cuid, TRnd{});
}

void TstSecurePd::CorruptedReplyMacEndsTheSession() {
    TSecureRig rig;
    // Not opened again behind the test's back: a slow test would see its command go inside
    // the reopened session.
    rig.Engine.ReopenSessions = false;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    rig.Pd.Command(QStringLiteral("corrupt-mac"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(QStringLiteral("ERROR ( from 0)")), 3000);
    QVERIFY(!rig.Established(0));
    // The next command goes plain, and the reader (whose session ended too) answers plain.
    const int from = static_cast<int>(rig.Log.size());
    rig.Menu(0x64);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("< addr=0: RES_STAT(")).size() == 1, 3000);
    QCOMPARE(rig.SentLinesAfter(from, QStringLiteral("> addr=0: GET_STAT")).size(), 1);
}

// A reader that leaves the server cryptogram out of its first MAC: we say so, and the session
// opens on its value, since its later MACs chain from it.
void TstSecurePd::InitialMacThatDiffersIsReported() {
    TSecureRig rig;
    QVERIFY(rig.Start({QStringLiteral("--rmac-without-cryptogram")}));
    QVERIFY(rig.Handshake(0));
    QCOMPARE(rig.CountContaining(QStringLiteral("Secure channel with 0: the device's initial MAC "
                                                "differs")),
             1);
    const int from = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 3, 3000);
    QVERIFY(rig.Established(0));
}

void TstSecurePd::PlainReplyEndsTheSession() {
    TSecureRig rig;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    // A plain command to the reader ends its side; its plain answer ends ours.
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    QTest::qWait(50); // past the turnaround, so the frame goes at once
    rig.Engine.Devices()[0].Session.State = ssNone; // send one frame without protection
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, 0)));
    rig.Engine.Devices()[0].Session.State = ssEstablished;
    // The reader restarted its side: ours ends, and (as after any line failure) the session
    // is opened again with the same key.
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(QStringLiteral("Secure channel with 0 reopened")),
                             3000);
    QVERIFY(rig.Log.indexOf(QStringLiteral("Secure channel with 0 ended (plain reply)")) <
            rig.Log.indexOf(QStringLiteral("Secure channel with 0 reopened")));
    QVERIFY(rig.Established(0));
    QCOMPARE(rig.Log.filter(QStringLiteral("ERROR")).size(), 0);
}

void TstSecurePd::EveryEndWipesTheSession_data() {
    QTest::addColumn<QStringList>("faults"); // typed to the reader, or "!" and what we do
    QTest::addColumn<QString>("reason");
    QTest::newRow("MAC failure") << QStringList{QStringLiteral("corrupt-mac")}
                                 << QStringLiteral("mac error");
    QTest::newRow("reader restarted")
        << QStringList{QStringLiteral("nak-plain")} << QStringLiteral("plain reply");
    QTest::newRow("broadcast") << QStringList{QStringLiteral("!broadcast")}
                               << QStringLiteral("broadcast");
    QTest::newRow("disconnect") << QStringList{QStringLiteral("!disconnect")}
                                << QStringLiteral("disconnected");
}

// However a session ends, everything it alone used is zero; the base key stays, for the
// next handshake to offer.
void TstSecurePd::EveryEndWipesTheSession() {
    QFETCH(QStringList, faults);
    QFETCH(QString, reason);
    TSecureRig rig;
    rig.Engine.ReopenSessions = false;
    rig.Composer.Keys.UseScbkD = false;
    rig.Composer.Keys.DiversifyMasterkey = false;
    rig.Ui.Keys = {std::string(kScbk)};
    QVERIFY(rig.Start({QStringLiteral("--scbk"), QString::fromLatin1(kScbk)}));
    QVERIFY(rig.Handshake(0));
    const TSecureSession& s = rig.Engine.Devices()[0].Session;
    QVERIFY(s.SEnc != TAesKey{} && s.LastMac != TAesBlock{});
    for (const QString& f : faults) {
        if (f == QLatin1String("!broadcast"))
            QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, kBroadcastAddress)));
        else if (f == QLatin1String("!disconnect"))
            rig.Engine.Disconnect();
        else
            QVERIFY(rig.Pd.Ask(f));
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.contains(QStringLiteral("Secure channel with 0 ended (%1)").arg(reason)), 3000);
    QCOMPARE(s.State, ssNone);
    const auto zero = [](const auto& field) {
        return std::all_of(field.begin(), field.end(), [](std::uint8_t b) { return b == 0; });
    };
    QVERIFY(zero(s.RndA));
    QVERIFY(zero(s.RndB));
    QVERIFY(zero(s.ServerCryptogram));
    QVERIFY(zero(s.ClientCryptogram));
    QVERIFY(zero(s.SEnc));
    QVERIFY(zero(s.SMac1));
    QVERIFY(zero(s.SMac2));
    QVERIFY(zero(s.LastMac));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(s.Scbk.data()), 16).toHex().toUpper(),
             QByteArray(kScbk));
}

void TstSecurePd::TwoReadersHoldIndependentSessions() {
    TSecureRig rig;
    rig.Select({1, 2});
    rig.Composer.Keys.UseScbkD = false;
    rig.Composer.Keys.DiversifyMasterkey = false;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--scbk"),
                       QString::fromLatin1(kScbk), QStringLiteral("--address"), QStringLiteral("2"),
                       QStringLiteral("--scbk"), QString::fromLatin1(kMaster)}));
    rig.Ui.Keys = {std::string(kScbk)};
    QVERIFY(rig.Handshake(1));
    const TAesKey enc1 = rig.Engine.Devices()[1].Session.SEnc;
    rig.Ui.Keys = {std::string(kMaster)};
    QVERIFY(rig.Handshake(2));
    QVERIFY(rig.Established(1));
    QCOMPARE(rig.Engine.Devices()[1].Session.SEnc, enc1);
    QVERIFY(rig.Engine.Devices()[2].Session.SEnc != enc1);
    const int from = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("< addr=1: SCS16 - ACK")).size() >= 2 &&
            rig.SentLinesAfter(from, QStringLiteral("< addr=2: SCS16 - ACK")).size() >= 2,
        3000);
    QCOMPARE(rig.Log.filter(QStringLiteral("ERROR")).size(), 0);
}

void TstSecurePd::KeySetInsideAndOutsideASession() {
    TSecureRig rig;
    rig.Composer.Keys.DiversifyMasterkey = false;
    // A reader that takes a key in the clear; a strict one refuses it (NAK 06).
    QVERIFY(rig.Start({QStringLiteral("--allow-plain-keyset")}));
    // Outside a session the key travels plain; the log leaves it out of both lines.
    rig.Ui.Keys = {std::string(kMaster)};
    rig.Menu(0x75);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.filter(QStringLiteral("> addr=0: SET_KEY(01 10 (16 key bytes hidden))")).size() ==
            1,
        3000);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.filter(QStringLiteral("> 53 00 1A 00")).size() == 1, 3000);
    QVERIFY(rig.Log.filter(QStringLiteral("> 53 00 1A 00"))
                .first()
                .contains(QLatin1String(" 75 01 10 (16 key bytes hidden) ")));
    QCOMPARE(rig.Log.filter(QStringLiteral("00 01 02 03 04 05")).size(), 0);
    rig.Engine.View.Keys = true; // View > Show keys

    // The reader now holds kMaster as its key; open a session with it, then change it inside.
    rig.Composer.Keys.UseScbkD = false;
    rig.Ui.Keys = {std::string(kMaster)};
    QVERIFY(rig.Handshake(0));
    const int from = static_cast<int>(rig.Log.size());
    rig.Ui.Keys = {std::string(kScbk)};
    rig.Menu(0x75);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("> addr=0: SCS17 - SET_KEY(01 10 00 11 22"))
                .size() == 1,
        3000);
    QCOMPARE(rig.SentLinesAfter(from, QStringLiteral("01 10 00 11 22 33")).size(),
             1); // only the description
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.SentLinesAfter(from, QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 1, 3000);

    // A new handshake with the new key succeeds, straight from the open session.
    rig.Ui.Keys = {std::string(kScbk)};
    QVERIFY(rig.Handshake(0));
}

void TstSecurePd::CancelledPromptSendsNothing() {
    TSecureRig rig;
    rig.Composer.Keys.UseScbkD = false;
    QVERIFY(rig.Start({}));
    rig.Menu(0x76); // no answer scripted: the prompt is cancelled
    rig.Ui.Keys = {std::string("00 01 02")};
    rig.Menu(0x76);
    rig.Ui.Keys = {std::nullopt};
    rig.Menu(0x75);
    QTest::qWait(100);
    QCOMPARE(rig.Ui.Prompts.size(), 3);
    QVERIFY(rig.Ui.Prompts[0].startsWith(QLatin1String("Masterkey: |00 00 00")));
    QVERIFY(rig.Ui.History.isEmpty());
    QCOMPARE(rig.Log.filter(QStringLiteral("SET_CHLNG")).size(), 0);
    QCOMPARE(rig.Log.filter(QStringLiteral("SET_KEY")).size(), 0);
}

void TstSecurePd::ReconnectDropsEverySession() {
    TSecureRig rig;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    rig.Engine.Disconnect();
    QVERIFY(!rig.Established(0));
    QCOMPARE(rig.Log.filter(QStringLiteral("Secure channel with 0 ended (disconnected)")).size(),
             1);
    QCOMPARE(rig.Engine.Devices()[0].Session.SEnc, TAesKey{}); // nothing of it left in memory
    QVERIFY(rig.Open(rig.Pd.PortName()));
    const int from = static_cast<int>(rig.Log.size());
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentLinesAfter(from, QStringLiteral("< addr=0: ACK")).size() >= 2,
                             3000);
    QCOMPARE(rig.SentLinesAfter(from, QStringLiteral("SCS")).size(), 0);
}

QTEST_GUILESS_MAIN(TstSecurePd)
#include "tst_secure_pd.moc"
