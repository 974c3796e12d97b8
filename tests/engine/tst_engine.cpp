// The transaction engine against a device inside the test process, so every byte on
// the line is the test's choice.

#include "support/engine_fixture.h"
#include "support/fake_device.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstEngine : public QObject {
    Q_OBJECT

  private slots:
    void SequencesRunZeroThenOneToThree();
    void TimeoutIsLoggedOnceAndKeepsTheFrame();
    void BadCrcRepeatsTheFrameThenKeepsIt_data();
    void BadCrcRepeatsTheFrameThenKeepsIt();
    void SecondStartByteBeginsTheFrame();
    void PartialFrameIsLoggedBeforeTheTimeout();
    void RingKeepsNinetyNineAndDropsTheOldest();
    void TimingFloors_data();
    void TimingFloors();
    void QueuedCommandGoesInsteadOfTheNextPoll();
    void UntickingEveryAddressStopsTheCycle();
    void ViewFiltersHideRoutineTraffic();
    void ComReplyFollowsTheDevice();
    void BroadcastRestartsEveryCount();
    void WaitForReplyEndsOnlyOnItsAddress();
    void WaitForReplyInsideAFrameHandler();
    void BootModeTakesEveryByte();
    void OversizedLengthIsDiscarded();
    void RandomLineFaultsNeverStopTheCycle();
    void BrokenLinkIsReportedOnce();
    void ReconnectsUntilTheLineIsBack();
    void WriteToClosedPortFails();
    void RefusedSendKeepsTheExchangeAddress();
};

namespace {

bool Connect(TEngineRig& rig, TFakeDevice& device) {
    return device.Listen() && rig.Open(device.PortName()) && device.WaitConnected();
}

} // namespace

void TstEngine::SequencesRunZeroThenOneToThree() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Select({3, 10});
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(10));
    rig.Engine.StopPolling();
    QList<int> to3, to10, order;
    for (std::size_t i = 0; i < 10; ++i) {
        const TSentFrame& f = device.Frames[i];
        order << f.Address;
        (f.Address == 3 ? to3 : to10) << f.Sequence;
    }
    QCOMPARE(order, (QList<int>{3, 10, 3, 10, 3, 10, 3, 10, 3, 10}));
    QCOMPARE(to3, (QList<int>{0, 1, 2, 3, 1}));
    QCOMPARE(to10, (QList<int>{0, 1, 2, 3, 1}));
    QCOMPARE(rig.Count(QStringLiteral("START")), 1);
    QCOMPARE(rig.Status[0], QStringLiteral("Connected to ") + device.PortName());
}

void TstEngine::TimeoutIsLoggedOnceAndKeepsTheFrame() {
    TFakeDevice device;
    TEngineRig rig;
    bool silent = false;
    device.Reply = [&](const TSentFrame& f) { return silent ? QByteArray() : TFakeDevice::Ack(f); };
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(3));
    silent = true;
    const std::size_t quietFrom = device.Frames.size();
    // A device that answered gets the same frame three times before it counts as silent;
    // from then on it is asked that same frame, byte for byte, once at each of its turns,
    // so a reply it kept is still delivered when it comes back.
    QVERIFY(device.WaitFrames(quietFrom + 5, 4000));
    for (std::size_t i = quietFrom + 1; i < device.Frames.size(); ++i)
        QCOMPARE(device.Frames[i].Bytes, device.Frames[quietFrom].Bytes);
    QCOMPARE(rig.Count(QStringLiteral("TIMEOUT (no reply from 0)")), 1);
    QCOMPARE(rig.Engine.Devices()[0].Status, dsTimeout);
    QCOMPARE(rig.Status[2], QStringLiteral("Timeout 0"));
    const int kept = device.Frames[quietFrom].Sequence;
    QVERIFY(kept != 0);
    silent = false;
    const std::size_t back = device.Frames.size();
    QVERIFY(device.WaitFrames(back + 3, 2000));
    QCOMPARE(device.Frames[back].Sequence, kept);
    QCOMPARE(device.Frames[back + 1].Sequence, kept % 3 + 1);
    QCOMPARE(device.Frames[back + 2].Sequence, (kept % 3 + 1) % 3 + 1);
    QCOMPARE(rig.Engine.Devices()[0].Status, dsOk);
    QCOMPARE(rig.Count(QStringLiteral("Device 0 answers again")), 1);
}

void TstEngine::BadCrcRepeatsTheFrameThenKeepsIt_data() {
    QTest::addColumn<int>("damaged");
    QTest::addColumn<QList<int>>("sequences");
    // Replies to sequence 1 are damaged this many times: the same frame goes again until
    // the third send; after a third damaged reply the device keeps the frame and is asked it
    // again at its next turn, so the reply it holds is not lost.
    QTest::newRow("once") << 1 << QList<int>{0, 1, 1, 2, 3, 1, 2};
    QTest::newRow("twice") << 2 << QList<int>{0, 1, 1, 1, 2, 3, 1};
    QTest::newRow("three times") << 3 << QList<int>{0, 1, 1, 1, 1, 2, 3};
}

void TstEngine::BadCrcRepeatsTheFrameThenKeepsIt() {
    QFETCH(int, damaged);
    QFETCH(QList<int>, sequences);
    TFakeDevice device;
    TEngineRig rig;
    int bad = 0;
    device.Reply = [&](const TSentFrame& f) {
        QByteArray reply = TFakeDevice::Ack(f);
        if (f.Sequence == 1 && bad < damaged) {
            ++bad;
            reply[reply.size() - 1] = static_cast<char>(reply[reply.size() - 1] ^ 0x5A);
        }
        return reply;
    };
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(7));
    rig.Engine.StopPolling();
    QCOMPARE(rig.Count(QStringLiteral("ERROR (crc error from 0)")), 1);
    QList<int> seq;
    for (std::size_t i = 0; i < 7; ++i)
        seq << device.Frames[i].Sequence;
    QCOMPARE(seq, sequences);
    for (int i = 2; i <= damaged + 1; ++i)
        QCOMPARE(device.Frames[i].Bytes, device.Frames[1].Bytes); // byte for byte
}

void TstEngine::SecondStartByteBeginsTheFrame() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Engine.View.Raw = true;
    device.Reply = [](const TSentFrame& f) {
        QByteArray ack = TFakeDevice::Ack(f);
        return ack.insert(1, '\x53'); // FF 53 53 80 ...
    };
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(4));
    rig.Engine.StopPolling();
    QVERIFY(rig.Log.contains(QStringLiteral("53")));
    QCOMPARE(rig.Engine.Devices()[0].Status, dsOk);
    QCOMPARE(rig.Count(QStringLiteral("TIMEOUT (no reply from 0)")), 0);
    QVERIFY(device.Frames[3].Sequence == 3);
}

void TstEngine::PartialFrameIsLoggedBeforeTheTimeout() {
    TFakeDevice device;
    TEngineRig rig;
    device.Reply = [](const TSentFrame& f) { return TFakeDevice::Ack(f).left(5); };
    QVERIFY(Connect(rig, device));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(QStringLiteral("TIMEOUT (no reply from 0)")), 2000);
    const int timeout =
        static_cast<int>(rig.Log.indexOf(QStringLiteral("TIMEOUT (no reply from 0)")));
    QCOMPARE(rig.Log.at(timeout - 1), QStringLiteral("53 80 08 00"));
}

// The ring at its capacity (99) and one past it, with its indices wrapped round first.
void TstEngine::RingKeepsNinetyNineAndDropsTheOldest() {
    TFakeDevice device;
    TEngineRig rig;
    QVERIFY(Connect(rig, device));
    for (int i = 0; i < 30; ++i) // into the ring, so the fill below wraps round its end
        QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x6B, 0, {0xEE})));
    QTRY_COMPARE_WITH_TIMEOUT(rig.Engine.QueuedCount(), 0, 5000);
    device.Reply = [](const TSentFrame&) { return QByteArray(); };
    QVERIFY(rig.Engine.Devices()[0].Status != dsTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.Devices()[0].Status == dsTimeout, 3000);
    for (int i = 0; i < 99; ++i)
        QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x6B, 0, {static_cast<std::uint8_t>(i)})));
    QCOMPARE(rig.Engine.QueuedCount(), 99); // at capacity: all kept
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x6B, 0, {99})));
    QCOMPARE(rig.Engine.QueuedCount(), 99); // one past it: the oldest went
    const std::size_t from = device.Frames.size();
    device.Reply = [](const TSentFrame& f) { return TFakeDevice::Ack(f); };
    QTRY_COMPARE_WITH_TIMEOUT(rig.Engine.QueuedCount(), 0, 10000);
    QList<int> order;
    for (std::size_t i = from; i < device.Frames.size(); ++i)
        if (device.Frames[i].Code == 0x6B && device.Frames[i].Bytes[6] != char(0xEE) &&
            (order.isEmpty() || order.last() != device.Frames[i].Bytes[6]))
            order << device.Frames[i].Bytes[6];
    QList<int> expected;
    for (int i = 1; i <= 99; ++i)
        expected << i;
    QCOMPARE(order, expected);
}

// Floors only, which a busy machine cannot break: no frame sooner than the turnaround after
// the reply it follows, and no frame to a silent device sooner than the reply time-out.
void TstEngine::TimingFloors_data() {
    QTest::addColumn<bool>("polling");
    QTest::addColumn<bool>("silent");
    QTest::newRow("polling") << true << false;
    QTest::newRow("commands back to back") << false << false;
    QTest::newRow("silent device") << true << true;
}

void TstEngine::TimingFloors() {
    QFETCH(bool, polling);
    QFETCH(bool, silent);
    TFakeDevice device;
    TEngineRig rig;
    QVERIFY(Connect(rig, device));
    if (!polling) {
        rig.Engine.StopPolling();
        rig.Engine.WaitExchangeDone();
        // Each goes as soon as it may: after the previous one's reply and the turnaround.
        for (int i = 0; i < 12; ++i)
            QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x64, 0)));
    }
    if (silent) device.Reply = [](const TSentFrame&) { return QByteArray(); };
    const std::size_t from = device.Frames.size();
    QVERIFY(device.WaitFrames(from + 10, 6000));
    for (std::size_t i = from + 1; i < device.Frames.size(); ++i) {
        const TSentFrame& before = device.Frames[i - 1];
        const double gap = device.Frames[i].ReceivedMs -
                           (before.RepliedMs >= 0 ? before.RepliedMs : before.ReceivedMs);
        // (The device sees the time-out's frames with their own transit times, which may
        // differ by a fraction of a millisecond.)
        const double floor = before.RepliedMs >= 0 ? 20 : 300 - 1;
        QVERIFY2(gap >= floor, qPrintable(QStringLiteral("frame %1: %2 ms").arg(i).arg(gap)));
    }
}

void TstEngine::QueuedCommandGoesInsteadOfTheNextPoll() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Select({3, 10});
    bool queued = false;
    device.Reply = [&](const TSentFrame& f) {
        if (!queued && f.Address == 3) {
            queued = true;
            rig.Engine.QueueRequest(MakeRequest(0x64, 7));
        }
        return TFakeDevice::Ack(f);
    };
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(4));
    rig.Engine.StopPolling();
    QCOMPARE(device.Frames[0].Address, 3);
    QCOMPARE(device.Frames[1].Code, 0x64);
    QCOMPARE(device.Frames[1].Address, 7);
    // After a command to 7 the cycle resumes with the first selected address after 7.
    QCOMPARE(device.Frames[2].Address, 10);
    QCOMPARE(device.Frames[2].Code, 0x60);
}

void TstEngine::UntickingEveryAddressStopsTheCycle() {
    TFakeDevice device;
    TEngineRig rig;
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(2));
    rig.Select({});
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Engine.Polling(), 2000);
    QCOMPARE(rig.Log.last(), QStringLiteral("STOP"));
    const std::size_t sent = device.Frames.size();
    QTest::qWait(100);
    QCOMPARE(device.Frames.size(), sent);
}

void TstEngine::ViewFiltersHideRoutineTraffic() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Engine.View.Raw = true;
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(2));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    rig.Log.clear();
    QVERIFY(
        rig.Engine.QueueRequest(MakeRequest(0x69, 0, {0, 0, 2, 1, 1, 2, 0, 10, 0, 0, 0, 0, 1, 1})));
    rig.Engine.WaitExchangeDone();
    // The LED command is shown (description and raw), and so is its ACK: it answers no poll.
    QCOMPARE(rig.Log.size(), 4);
    QVERIFY(rig.Log[0].startsWith(QLatin1String("> addr=0: ")));
    QVERIFY(rig.Log[1].startsWith(QLatin1String("> 53 00 16 00")));
    QVERIFY(rig.Log[2].startsWith(QLatin1String("< 53 80 08 00")));
    QCOMPARE(rig.Log[3], QStringLiteral("< addr=0: ACK"));
    // A poll and the ACK that answers it are routine traffic.
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, 0)));
    rig.Engine.WaitExchangeDone();
    QCOMPARE(rig.Log.size(), 4);
    rig.Engine.View.Poll = true;
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, 0)));
    rig.Engine.WaitExchangeDone();
    QCOMPARE(rig.Log.size(), 8);
    QVERIFY(rig.Log[6].startsWith(QLatin1String("< 53 80 08 00")));
    QVERIFY(rig.Log[7].startsWith(QLatin1String("< addr=0: ")));
}

void TstEngine::ComReplyFollowsTheDevice() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Host.Selected = 2;
    rig.Select({2});
    device.Reply = [](const TSentFrame& f) {
        if (f.Code == 0x6E)
            return TFakeDevice::BuildReply(f.Address, f.Sequence, 0x54,
                                           QByteArray::fromHex("0500960000")); // 5 at 38400
        return TFakeDevice::Ack(f);
    };
    QVERIFY(Connect(rig, device));
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x6E, 2, {5, 0x00, 0x96, 0, 0})));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.Devices()[5].Selected, 2000);
    QVERIFY(!rig.Engine.Devices()[2].Selected);
    QCOMPARE(rig.Host.Selected, 5);
    QCOMPARE(rig.Engine.Port().Baud(), 38400);
    QTRY_VERIFY_WITH_TIMEOUT(device.Frames.back().Address == 5, 2000);
}

void TstEngine::BroadcastRestartsEveryCount() {
    TFakeDevice device;
    TEngineRig rig;
    device.Reply = [](const TSentFrame& f) { return TFakeDevice::Ack(f); };
    QVERIFY(Connect(rig, device));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    for (TDeviceState& d : rig.Engine.Devices())
        d.Sequence = 2;
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, kBroadcastAddress)));
    rig.Engine.WaitExchangeDone();
    QCOMPARE(device.Frames.back().Address, kBroadcastAddress);
    QCOMPARE(device.Frames.back().Sequence, 0);
    // Sequence 0 restarted every reader's count; the next frame to each carries 0 too, so
    // a reader that missed the broadcast does not take it for a repeat of its last frame.
    for (const TDeviceState& d : rig.Engine.Devices())
        QCOMPARE(d.Sequence, 0);
    // No reply to a broadcast is not held against any device.
    device.Reply = [](const TSentFrame&) { return QByteArray(); };
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, kBroadcastAddress)));
    QTest::qWait(400);
    QCOMPARE(rig.Log.filter(QStringLiteral("TIMEOUT")).size(), 0);
    for (const TDeviceState& d : rig.Engine.Devices())
        QCOMPARE(d.Status, dsOk);
}

void TstEngine::WaitForReplyEndsOnlyOnItsAddress() {
    TFakeDevice device;
    TEngineRig rig;
    int answerFrom = 4;
    device.Reply = [&](const TSentFrame& f) {
        if (f.Code != 0x80) return TFakeDevice::Ack(f);
        return TFakeDevice::BuildReply(static_cast<std::uint8_t>(answerFrom), f.Sequence, 0x90,
                                       QByteArray::fromHex("7C4E1501"));
    };
    QVERIFY(Connect(rig, device));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    QSignalSpy mfg(&rig.Engine, &TEngine::MfgReply);
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x80, 4)));
    QVERIFY(rig.Engine.WaitForReply(0x90));
    QCOMPARE(mfg.size(), 1);
    QCOMPARE(mfg[0][0].value<std::uint8_t>(), 4);
    // A reply from another address answers nothing: logged, and the wait runs out.
    answerFrom = 5;
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x80, 4)));
    QVERIFY(!rig.Engine.WaitForReply(0x90));
    QCOMPARE(mfg.size(), 1);
    QVERIFY(rig.CountContaining(QStringLiteral("(not awaited, ignored)")) >= 1);
}

void TstEngine::WaitForReplyInsideAFrameHandler() {
    TFakeDevice device;
    TEngineRig rig;
    device.Reply = [](const TSentFrame& f) {
        if (f.Code == 0x80)
            return TFakeDevice::BuildReply(f.Address, f.Sequence, 0x90,
                                           QByteArray::fromHex("7C4E1502"));
        return TFakeDevice::Ack(f);
    };
    QVERIFY(Connect(rig, device));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    int result = -1;
    bool once = false;
    QObject::connect(&rig.Engine, &TEngine::FrameReceived,
                     [&](std::uint8_t, std::uint8_t code, const QByteArray&) {
                         if (code != 0x40 || once) return;
                         once = true;
                         rig.Engine.QueueRequest(MakeRequest(0x80, 0));
                         result = rig.Engine.WaitForReply(0x90) ? 1 : 0;
                     });
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, 0)));
    QTRY_VERIFY_WITH_TIMEOUT(result != -1, 3000);
    QCOMPARE(result, 1);
}

void TstEngine::BootModeTakesEveryByte() {
    TFakeDevice device;
    TEngineRig rig;
    QVERIFY(Connect(rig, device));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    const std::size_t before = device.Frames.size();
    QByteArray seen;
    rig.Engine.HandleBootByte = [&](std::uint8_t b) {
        seen.append(static_cast<char>(b));
        if (seen.size() == 4) rig.Engine.SetBootMode(0, 0);
    };
    device.Reply = nullptr;
    QVERIFY(rig.Engine.WaitBootMode()); // timer off: true at once
    const std::uint8_t block[] = {0xA0, 0x01, 0x00};
    QVERIFY(!rig.Engine.SendBootBlock(block, 0, 500));
    QTimer::singleShot(50, [&] { device.SendRaw(QByteArray::fromHex("53800800")); });
    QVERIFY(rig.Engine.SendBootBlock(block, 3, 1000));
    QCOMPARE(seen, QByteArray::fromHex("53800800")); // a start byte is not a frame here
    QVERIFY(!rig.Engine.BootMode());
    // Nothing answers: the time-out ends the exchange with a failure.
    seen.clear();
    QVERIFY(!rig.Engine.SendBootBlock(block, 3, 100));
    QCOMPARE(device.Frames.size(), before);
}

void TstEngine::OversizedLengthIsDiscarded() {
    TFakeDevice device;
    TEngineRig rig;
    device.Reply = [](const TSentFrame& f) {
        return QByteArray::fromHex("5380FF0F00") + TFakeDevice::Ack(f); // LEN 4095
    };
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(4));
    rig.Engine.StopPolling();
    QCOMPARE(rig.Engine.Devices()[0].Status, dsOk);
    QCOMPARE(rig.Log.filter(QStringLiteral("TIMEOUT")).size(), 0);
}

void TstEngine::RandomLineFaultsNeverStopTheCycle() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Engine.View.Raw = true;
    rig.Engine.View.Poll = true;
    QRandomGenerator random(20261207);
    device.Reply = [&](const TSentFrame& f) {
        QByteArray reply = TFakeDevice::Ack(f);
        switch (random.bounded(6)) {
        case 0:
            reply[static_cast<int>(random.bounded(reply.size()))] =
                static_cast<char>(random.bounded(256));
            break;
        case 1:
            reply.prepend(QByteArray::fromHex("53 00 53 53 11"));
            break;
        case 2:
            reply = reply.left(static_cast<int>(random.bounded(reply.size())));
            break;
        case 3: {
            QByteArray junk;
            for (int i = 0; i < 40; ++i)
                junk.append(static_cast<char>(random.bounded(256)));
            reply += junk;
            break;
        }
        default:
            break;
        }
        // Deliver in random pieces.
        int sent = 0;
        while (sent < reply.size()) {
            const int piece = 1 + static_cast<int>(random.bounded(4));
            device.SendRaw(reply.mid(sent, piece));
            sent += piece;
        }
        return QByteArray();
    };
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(80, 30000));
    QVERIFY(rig.Engine.Polling());
    // After the noise stops, the device answers cleanly again.
    device.Reply = [](const TSentFrame& f) { return TFakeDevice::Ack(f); };
    const std::size_t n = device.Frames.size();
    QVERIFY(device.WaitFrames(n + 5, 3000));
    QTRY_COMPARE_WITH_TIMEOUT(rig.Engine.Devices()[0].Status, dsOk, 2000);
}

void TstEngine::BrokenLinkIsReportedOnce() {
    TFakeDevice device;
    TEngineRig rig;
    QVERIFY(Connect(rig, device));
    QVERIFY(device.WaitFrames(3));
    device.Drop();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Engine.Port().IsOpen(), 2000);
    QTest::qWait(500);
    QCOMPARE(rig.Errors, QStringList{QStringLiteral("Error: connection lost")});
    QVERIFY(!rig.Engine.Polling());
    QCOMPARE(rig.Status[0], QStringLiteral("Disconnected"));
}

// With reconnection on, a lost line is a log line with its reason, not a box; the port is
// tried again at the interval, one line a try, until it opens or the user disconnects.
void TstEngine::ReconnectsUntilTheLineIsBack() {
    TFakeDevice device;
    TEngineRig rig;
    rig.Engine.SetReconnect(true);
    rig.Engine.SetReconnectInterval(200);
    QVERIFY(Connect(rig, device));
    const QString port = device.PortName();
    const quint16 number = static_cast<quint16>(port.section(QLatin1Char(':'), 1).toUInt());
    QVERIFY(device.WaitFrames(3));
    const auto failedTries = [&] {
        return rig.Log.filter(QStringLiteral("Reconnection to %1 failed").arg(port));
    };
    device.Drop();
    QTRY_VERIFY_WITH_TIMEOUT(failedTries().size() >= 2, 3000);
    QVERIFY(rig.Log.filter(QStringLiteral("Connection to %1 lost (").arg(port)).size() == 1);
    QVERIFY(rig.Errors.isEmpty());
    QList<qint64> tried;
    for (qsizetype i = 0; i < rig.Log.size(); ++i)
        if (rig.Log[i].startsWith(QStringLiteral("Reconnection to %1 failed").arg(port)))
            tried << rig.LogTimes[i];
    QVERIFY(tried[1] - tried[0] >= 200);
    QVERIFY(rig.Engine.Reconnecting() && !rig.Engine.Polling());

    const std::size_t before = device.Frames.size();
    QVERIFY(device.Listen(number));
    QVERIFY(device.WaitFrames(before + 3));
    QVERIFY(rig.Log.contains(QStringLiteral("Reconnected to %1").arg(port)));
    QVERIFY(rig.Engine.Polling() && !rig.Engine.Reconnecting());

    // Disconnect ends a reconnection under way: no try after it.
    device.Drop();
    QTRY_VERIFY_WITH_TIMEOUT(failedTries().size() >= 3, 3000);
    rig.Engine.Disconnect();
    QVERIFY(rig.Log.contains(QStringLiteral("Reconnection to %1 stopped").arg(port)));
    const qsizetype tries = failedTries().size();
    QTest::qWait(500);
    QCOMPARE(failedTries().size(), tries);
    QVERIFY(!rig.Engine.Reconnecting());
}

void TstEngine::WriteToClosedPortFails() {
    TEngineRig rig;
    QString error;
    QVERIFY(!rig.Engine.QueueRequest(MakeRequest(0x64, 0), &error));
    QCOMPARE(error, QStringLiteral("Error: no connection"));
    QVERIFY(rig.Engine.WaitExchangeDone());
}

void TstEngine::RefusedSendKeepsTheExchangeAddress() {
    TFakeDevice device;
    TEngineRig rig;
    device.Reply = [](const TSentFrame&) { return QByteArray(); };
    QVERIFY(Connect(rig, device));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    QVERIFY(rig.Engine.QueueRequest(MakeRequest(0x60, 0)));
    // Refused before anything went out: the time-out still belongs to address 0.
    TOsdpRequest tooLong = MakeRequest(0x6B, 5);
    tooLong.PayloadLength = kPayloadCapacity;
    QVERIFY(!rig.Engine.QueueRequest(tooLong));
    rig.Engine.WaitExchangeDone();
    QCOMPARE(rig.Count(QStringLiteral("TIMEOUT (no reply from 0)")), 1);
    QCOMPARE(rig.Engine.Devices()[5].Status, dsOk);
}

QTEST_GUILESS_MAIN(TstEngine)
#include "tst_engine.moc"
