// How each command other than osdp_POLL ends, against the strict simulated reader: once,
// after its last send, in the log's words; polls end nothing, and a handshake step the
// engine takes by itself is told apart from the command a person sent.

#include "decode/describe.h"
#include "devices/device_table.h"
#include "support/composer_fixture.h"

#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstCommandEnd : public QObject {
    Q_OBJECT

  private slots:
    void OneEndAfterTheLastSend_data();
    void OneEndAfterTheLastSend();
    void HandshakeStepIsRoutine();
};

namespace {

enum TClose { Stay, Disconnect, ClosePort };

QStringList Answers(const QList<TCommandEnd>& ends) {
    QStringList answers;
    for (const TCommandEnd& end : ends)
        answers << AnswerText(end);
    return answers;
}

} // namespace

void TstCommandEnd::OneEndAfterTheLastSend_data() {
    QTest::addColumn<QString>("pdCommand");
    QTest::addColumn<QByteArray>("frame"); // command and payload
    QTest::addColumn<int>("close");        // the port, as soon as the frame went
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("sends");
    const QByteArray led = QByteArray::fromHex("69 00 00 00 00 00 00 00 00 00 01 01 00 01 00");
    QTest::newRow("data") << QString() << QByteArray::fromHex("61 00") << +Stay
                          << QStringLiteral("RES_ID") << 1;
    QTest::newRow("busy until the last send")
        << QStringLiteral("busy 2") << led << +Stay << QStringLiteral("ACK") << 3;
    QTest::newRow("busy at every send")
        << QStringLiteral("busy 3") << led << +Stay << QStringLiteral("BUSY") << 3;
    QTest::newRow("damaged once") << QStringLiteral("corrupt-reply-to 69") << led << +Stay
                                  << QStringLiteral("ACK") << 2;
    QTest::newRow("damaged at every send") << QStringLiteral("bad-crc-every 1") << led << +Stay
                                           << QStringLiteral("damaged reply") << 3;
    QTest::newRow("silent") << QStringLiteral("silent") << led << +Stay
                            << QStringLiteral("no reply") << 3;
    QTest::newRow("Disconnect waits out the reply time")
        << QStringLiteral("silent") << led << +Disconnect << QStringLiteral("no reply") << 1;
    QTest::newRow("the port closed at once")
        << QStringLiteral("silent") << led << +ClosePort << QStringLiteral("no reply") << 1;
}

void TstCommandEnd::OneEndAfterTheLastSend() {
    QFETCH(QString, pdCommand);
    QFETCH(QByteArray, frame);
    QFETCH(int, close);
    QFETCH(QString, answer);
    QFETCH(int, sends);
    TStrictRig rig;
    QList<TCommandEnd> ends;
    connect(&rig.Engine, &TEngine::CommandEnded, this, [&](const TCommandEnd& e) { ends << e; });
    const auto polls = [&] { return rig.CountContaining(QStringLiteral("> addr=0: POLL")); };
    QVERIFY(rig.Start({}));
    QVERIFY(WaitUntil([&] { return polls() >= 5; }, 3000));
    rig.Quiet();
    QCOMPARE(ends.size(), 0);

    if (!pdCommand.isEmpty()) QVERIFY(rig.Pd.Ask(pdCommand));
    TOsdpRequest request = MakeRequest(static_cast<std::uint8_t>(frame[0]), 0);
    std::copy(frame.begin() + 1, frame.end(), request.Payload.begin());
    request.PayloadLength = static_cast<std::uint16_t>(frame.size() - 1);
    const int from = rig.LogSize();
    if (close == Stay) {
        QVERIFY(rig.Send(request));
    } else {
        QVERIFY(rig.Engine.QueueRequest(request));
        QVERIFY(WaitUntil([&] { return rig.LogSize() > from; }, 1000));
        close == Disconnect ? rig.Engine.Disconnect() : rig.Engine.ClosePort();
    }
    QCOMPARE(Answers(ends), QStringList{answer});
    QCOMPARE(ends[0].Address, std::uint8_t{0});
    QCOMPARE(ends[0].Command, request.Command);
    QCOMPARE(ends[0].Origin, TOrigin::User);
    const QString sent = QStringLiteral("> addr=0: ") +
                         QString::fromStdString(DescribeCommand(
                             request.Command, request.Payload.data(), request.PayloadLength));
    QCOMPARE(rig.Log.mid(from).count(sent), sends);
    // Nothing more follows: neither polls nor a time-out after the close. (A device that did
    // not answer is asked its frame again at its turns: those sends end nothing.)
    if (close == Stay) {
        rig.Engine.StartPolling();
        const auto sends0 = [&] { return rig.CountContaining(QStringLiteral("> addr=0: ")); };
        const int before = sends0();
        QVERIFY(WaitUntil([&] { return sends0() >= before + 3; }, 5000));
    } else {
        QTest::qWait(TEngine::ReplyTimeoutMs + 50);
    }
    QCOMPARE(ends.size(), 1);
}

void TstCommandEnd::HandshakeStepIsRoutine() {
    TStrictRig rig;
    QList<TCommandEnd> ends;
    connect(&rig.Engine, &TEngine::CommandEnded, this, [&](const TCommandEnd& e) { ends << e; });
    QVERIFY(rig.Start({}));
    QVERIFY(rig.Handshake(0));
    QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 2, 1000);
    QCOMPARE(Answers(ends),
             (QStringList{QStringLiteral("RES_CCRYPT"), QStringLiteral("RES_RMACI")}));
    QCOMPARE(ends[0].Command, std::uint8_t{0x76});
    QCOMPARE(ends[0].Origin, TOrigin::User);
    QCOMPARE(ends[1].Command, std::uint8_t{0x77});
    QCOMPARE(ends[1].Origin, TOrigin::Routine);
    // A reply whose MAC fails would come again the same: one send, one end.
    rig.Quiet();
    QVERIFY(rig.Pd.Ask(QStringLiteral("corrupt-mac")));
    QVERIFY(rig.Send(MakeRequest(0x64, 0)));
    QCOMPARE(Answers(ends).mid(2), QStringList{QStringLiteral("MAC error")});
}

QTEST_GUILESS_MAIN(TstCommandEnd)
#include "tst_command_end.moc"
