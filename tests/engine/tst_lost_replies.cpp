// Replies lost whole, late or in pieces, against the simulated reader in its strict mode:
// the same frame goes again and the reader answers from its kept reply, so nothing runs
// twice and nothing is lost; sessions hold or are opened again; waits always end.

#include "maintenance/maintenance.h"
#include "maintenance/mfg_channel.h"
#include "support/composer_fixture.h"

#include <QTest>
#include <QTimer>

using namespace quintrel;
using namespace quintrel::test;

class TstLostReplies : public QObject {
    Q_OBJECT

  private slots:
    void DroppedCardReadIsLoggedOnce();
    void SessionSurvivesADroppedReply();
    void ThreeDroppedRepliesKeepTheSession();
    void RefusedCryptogramLeavesNoSession();
    void StopRightAfterADamagedReplyNeverHangs_data();
    void StopRightAfterADamagedReplyNeverHangs();
    void StopWhileARepeatIsDueLosesNothing();
    void MaintenanceAtALongPollInterval();
    void ReplyInPiecesIsReceivedWhole_data();
    void ReplyInPiecesIsReceivedWhole();
    void LateReplyCostsNoCommand();
    void SlowReaderOnAShortPollCycle();
};

using TLostRig = TStrictRig;

void TstLostReplies::DroppedCardReadIsLoggedOnce() {
    TLostRig rig;
    QVERIFY(rig.Start({}));
    rig.Quiet();
    QVERIFY(rig.Pd.Ask(QStringLiteral("card 0x2468AC 26")));
    QVERIFY(rig.Pd.Ask(QStringLiteral("drop-reply 1")));
    const int from = rig.LogSize();
    QVERIFY(rig.Send(MakeRequest(0x60, 0)));
    // The poll went twice, byte for byte, and the reader answered the second from its copy.
    const QStringList sent = rig.SentAfter(from);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent[1], sent[0]);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("delivered 0 50")).size(), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("< addr=0: EVT_RAW(")), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT")), 0);
    QCOMPARE(rig.Engine.Devices()[0].Status, dsOk);
}

void TstLostReplies::SessionSurvivesADroppedReply() {
    TLostRig rig;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    const int from = rig.LogSize();
    QVERIFY(rig.Pd.Ask(QStringLiteral("drop-reply 1")));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.mid(from).filter(QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 5, 3000);
    QVERIFY(rig.Established(0));
    QCOMPARE(rig.Log.filter(QStringLiteral("Secure channel with 0 ended")).size(), 0);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("session 0 ended")).size(), 0);
    rig.Quiet();
    QVERIFY(rig.Send(MakeRequest(0x64, 0)));
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("> addr=0: SCS15 - GET_STAT")).size(), 1);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 0 64")).size(), 1);
}

// Three replies lost in a row: the device counts as silent, but it keeps the reply it could
// not deliver, so it is asked the same frame again at its next turn and the session goes on,
// reopening or not.
void TstLostReplies::ThreeDroppedRepliesKeepTheSession() {
    TLostRig rig;
    rig.Engine.ReopenSessions = false;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    rig.Quiet();
    for (int n = 1; n <= 3; ++n)
        QVERIFY(rig.Pd.Ask(QStringLiteral("drop-reply %1").arg(n)));
    const int from = rig.LogSize();
    QVERIFY(rig.Send(MakeRequest(0x60, 0)));
    const QStringList sent = rig.SentAfter(from);
    QCOMPARE(sent.size(), TEngine::MaxAttempts);
    QCOMPARE(sent.count(sent[0]), TEngine::MaxAttempts);
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("TIMEOUT (no reply from 0)")).size(), 1);
    QVERIFY(rig.Established(0));
    QVERIFY(rig.Engine.Devices()[0].Sequence != 0);
    rig.Engine.StartPolling();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).contains(QStringLiteral("Device 0 answers again")),
                             2000);
    QCOMPARE(rig.SentAfter(from).value(TEngine::MaxAttempts), sent[0]); // the same frame
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Log.mid(from).filter(QStringLiteral("< addr=0: SCS16 - ACK")).size() >= 3, 2000);
    QVERIFY(rig.Established(0));
    QCOMPARE(rig.CountContaining(QStringLiteral("Secure channel with 0 ended")), 0);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("session 0 opened")).size(), 1);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("session 0 ended")).size(), 0);
}

void TstLostReplies::RefusedCryptogramLeavesNoSession() {
    TLostRig rig;
    QVERIFY(rig.Start({QStringLiteral("--refuse-scrypt")}));
    rig.Host.Selected = 0;
    rig.Menu(0x76);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(QStringLiteral(
                                 "Secure channel with 0 not established (refused by the device)")),
                             3000);
    const int from = rig.LogSize();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).filter(QStringLiteral("< addr=0: ACK")).size() >= 3,
                             3000);
    QVERIFY(!rig.Established(0));
    QCOMPARE(rig.CountContaining(QStringLiteral("established")), 1);
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("SCS15")).size(), 0);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

void TstLostReplies::StopRightAfterADamagedReplyNeverHangs_data() {
    QTest::addColumn<int>("delayMs");
    for (int ms : {0, 2, 5, 10})
        QTest::newRow(qPrintable(QStringLiteral("%1 ms").arg(ms))) << ms;
}

// Polling stopped (from a timer, as a menu click would) while the repeat of a damaged reply's
// frame is due: the repeat still goes, and the wait for it ends.
void TstLostReplies::StopRightAfterADamagedReplyNeverHangs() {
    QFETCH(int, delayMs);
    TLostRig rig;
    QVERIFY(rig.Start({}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentAfter(0).size() >= 3, 2000);
    bool stopped = false;
    QObject::connect(&rig.Engine, &TEngine::InvalidFrame, &rig.Engine, [&] {
        QTimer::singleShot(delayMs, Qt::PreciseTimer, &rig.Engine, [&] {
            rig.Engine.StopPolling();
            stopped = true;
        });
    });
    QVERIFY(rig.Pd.Ask(QStringLiteral("corrupt-reply 1")));
    QVERIFY(WaitUntil([&] { return stopped; }, 3000));
    rig.Engine.WaitExchangeDone();
    QVERIFY(!rig.Engine.Polling());
    QCOMPARE(rig.CountContaining(QStringLiteral("ERROR (crc error from 0)")), 1);
    // The damaged reply's frame went again and its answer came: the next command goes with
    // the next number, not with 0.
    QCOMPARE(rig.Engine.Devices()[0].Status, dsOk);
    QVERIFY(rig.Engine.Devices()[0].Sequence != 0);
    QVERIFY(rig.Send(MakeRequest(0x64, 0)));
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 0 64")).size(), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

void TstLostReplies::StopWhileARepeatIsDueLosesNothing() {
    TLostRig rig;
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    bool stopped = false;
    QObject::connect(&rig.Engine, &TEngine::ExchangeEnded, &rig.Engine,
                     [&](std::uint8_t, TExchangeEnd end, qint64) {
                         if (end != TExchangeEnd::Timeout || stopped) return;
                         QTimer::singleShot(0, &rig.Engine, [&] {
                             rig.Engine.StopPolling();
                             stopped = true;
                         });
                     });
    const int from = rig.LogSize();
    QVERIFY(rig.Pd.Ask(QStringLiteral("drop-reply 1")));
    QVERIFY(WaitUntil([&] { return stopped; }, 3000));
    rig.Engine.WaitExchangeDone();
    const QStringList sent = rig.SentAfter(from);
    QVERIFY(sent.size() >= 2);
    QCOMPARE(sent.last(), sent[sent.size() - 2]); // the repeat went after the stop
    QVERIFY(rig.Send(MakeRequest(0x64, 0)));
    QVERIFY(rig.Established(0));
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 0 64")).size(), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("Secure channel with 0 ended")), 0);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
}

// The maker's requests wait for the next slot, not for the poll interval, and their reply
// wait counts from when they go out.
void TstLostReplies::MaintenanceAtALongPollInterval() {
    TLostRig rig;
    rig.Engine.SetPollInterval(5000);
    QVERIFY(rig.Start({}));
    TMaintenance maintenance(rig.Engine);
    QTest::qWait(100); // the first poll is answered; the next is 5 s away
    for (std::uint16_t sub : {std::uint16_t(mfcCustCodeMode), std::uint16_t(mfcVarFlags)}) {
        TOsdpRequest request;
        request.SetPayloadEnd(BuildMfgRequest(request, rig.Engine.MfgId, 0, sub));
        QVERIFY(maintenance.Ask(request));
    }
    QVERIFY(rig.Engine.Polling());
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT")), 0);
}

void TstLostReplies::ReplyInPiecesIsReceivedWhole_data() {
    QTest::addColumn<int>("firstMs");
    QTest::addColumn<int>("restMs");
    QTest::newRow("250/400") << 250 << 400;
    QTest::newRow("100/350") << 100 << 350;
    QTest::newRow("290/330") << 290 << 330;
}

void TstLostReplies::ReplyInPiecesIsReceivedWhole() {
    QFETCH(int, firstMs);
    QFETCH(int, restMs);
    TLostRig rig;
    QVERIFY(rig.Start({}));
    rig.Quiet();
    QVERIFY(rig.Pd.Ask(QStringLiteral("late %1").arg(firstMs)));
    QVERIFY(rig.Pd.Ask(QStringLiteral("split-next 4 %1").arg(restMs - firstMs)));
    const int from = rig.LogSize();
    QVERIFY(rig.Send(MakeRequest(0x61, 0, {0})));
    QCOMPARE(rig.Log.mid(from).filter(QStringLiteral("< addr=0: RES_ID(")).size(), 1);
    QCOMPARE(rig.SentAfter(from).size(), 1); // nothing went while the reader was sending
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT")), 0);
    QCOMPARE(rig.CountContaining(QStringLiteral("ERROR")), 0);
}

// With two readers, a reply that comes after its exchange timed out is no answer to the next
// frame: each reader runs each of its commands once.
void TstLostReplies::LateReplyCostsNoCommand() {
    TLostRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("1"),
                       QStringLiteral("--address"), QStringLiteral("2")},
                      {1, 2}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.SentAfter(0).size() >= 4, 2000);
    QVERIFY(rig.Pd.Ask(QStringLiteral("late 400")));
    for (int i = 0; i < 4; ++i)
        for (std::uint8_t a : {1, 2})
            QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x64, a)));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.QueuedCount() == 0, 5000);
    rig.Quiet();
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 1 64")).size(), 4);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 2 64")).size(), 4);
    QCOMPARE(rig.CountContaining(QStringLiteral("RES_STAT(")) -
                 rig.CountContaining(QStringLiteral("(not awaited, ignored)")),
             8);
    QCOMPARE(rig.CountContaining(QStringLiteral("NAK")), 0);
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT")), 0);
}

// A reader that answers after 250 ms beside one that answers at once, on a 200 ms poll cycle,
// commands to the slow one submitted at every point of it: no reader receives a frame while an
// answer waits to leave, each command runs once and ends once; to a reader gone silent a
// command ends as "no reply" after its sends.
void TstLostReplies::SlowReaderOnAShortPollCycle() {
    TLostRig rig;
    QList<TCommandEnd> ends;
    connect(&rig.Engine, &TEngine::CommandEnded, this, [&](const TCommandEnd& e) { ends << e; });
    rig.Engine.SetPollInterval(200);
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("0"),
                       QStringLiteral("--answer-delay"), QStringLiteral("250"),
                       QStringLiteral("--address"), QStringLiteral("1")},
                      {0, 1}));
    // Each command 40 ms after the quick reader's answer: in the idle part of the poll interval.
    int asked = 0;
    connect(&rig.Engine, &TEngine::FrameReceived, this, [&](std::uint8_t address) {
        if (address != 1 || asked >= 6 || asked > ends.size()) return;
        ++asked;
        QTimer::singleShot(40, Qt::PreciseTimer, this,
                           [&] { rig.Engine.QueueRequest(MakeRequest(0x64, 0)); });
    });
    QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 6, 8000);
    for (const TCommandEnd& e : ends)
        QCOMPARE(e.End, TExchangeEnd::Reply);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Pd.Printed(QStringLiteral("ran 0 64")).size(), 6, 2000);
    QVERIFY(rig.Pd.Ask(QStringLiteral("silent 0")));
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x64, 0)));
    QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 7, 5000);
    QCOMPARE(ends.last().End, TExchangeEnd::Timeout);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("collision")).size(), 0);
}

QTEST_GUILESS_MAIN(TstLostReplies)
#include "tst_lost_replies.moc"
