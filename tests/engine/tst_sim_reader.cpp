// The simulated reader as a standard reader: its bus driven frame by frame by a control
// panel built from the core's own codec and handshake, and its line over a plain socket
// for what only timing shows (a frame cut short, replies that leave late).

#include "crypto/handshake.h"
#include "osdp/frame_codec.h"
#include "sim/sim_bus.h"
#include "support/pd_process.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

#include <cstring>

using namespace quintrel;
using namespace quintrel::sim;
using namespace quintrel::test;

class TstSimReader : public QObject {
    Q_OBJECT

  private slots:
    void CommandLayoutIsChecked_data();
    void CommandLayoutIsChecked();
    void FrameOverTheReceiveSizeIsNotRun();
    void BroadcastAnswers_data();
    void BroadcastAnswers();
    void BroadcastSequenceIsChecked();
    void ComsetKeepsWhatNoPortHas();
    void HandshakeAndItsRefusals_data();
    void HandshakeAndItsRefusals();
    void PlainCommandInASessionIsRefused();
    void DroppedReplyIsKeptForTheRepeat();
    void FrameCutShortIsGivenUp();
    void RepliesLeaveLate();
};

namespace {

// The control panel's side: its own device records, the frames it sends, the replies it
// checks, as the engine does.
struct TPanel {
    TSimBus& Bus;
    std::array<TDeviceState, kDeviceCount> Devices{};
    std::vector<TBusReply> Replies;
    TDecodedFrame Reply; // the first reply, checked
    std::vector<std::uint8_t> ReplyBytes;
    QStringList Records;

    explicit TPanel(TSimBus& bus) : Bus(bus) {
        Bus.Record = [this](const std::string& line) { Records << QString::fromStdString(line); };
    }

    // Sends the request with the given sequence number (broadcast: no record); true when a
    // reply came, which is then checked into Reply.
    bool Send(TOsdpRequest request, int sequence) {
        const std::uint8_t a = request.Address;
        TDeviceState* device = a < kDeviceCount ? &Devices[a] : nullptr;
        TDeviceState broadcast;
        if (!device) device = &broadcast;
        device->Sequence = static_cast<std::uint8_t>(sequence);
        std::array<std::uint8_t, kFrameBufferSize> tx{};
        const TEncodeResult r = EncodeFrame(request, device, true, tx.data());
        if (!r.Ok) return false;
        Replies = Bus.HandleFrame(tx.data(), r.Length);
        if (Replies.empty()) return false;
        ReplyBytes.assign(Replies[0].Bytes.begin() + 1, Replies[0].Bytes.end());
        Reply = DecodeFrame(ReplyBytes.data(), ReplyBytes.size(), Devices);
        return true;
    }
    std::uint8_t Code() const { return Reply.Valid ? Reply.Code : 0; }
    std::uint8_t Data(std::size_t i) const { return ReplyBytes[Reply.DataStart + i]; }
    // osdp_NAK's reason, or -1 for any other reply.
    int Nak() const { return Code() == 0x41 ? Data(0) : -1; }

    // osdp_CHLNG (always sequence 0) and osdp_SCRYPT with the given key choice; the reply to
    // SCRYPT stays in Reply.
    bool Handshake(int address, TKeyOptions options) {
        TSecureSession& s = Devices[address].Session;
        TOsdpRequest chlng;
        chlng.Command = 0x76;
        chlng.Address = static_cast<std::uint8_t>(address);
        std::uint8_t* cursor = chlng.Payload.data();
        TSecurityHeader header;
        options.Masterkey = TAesKey{};
        static std::uint8_t counter = 0;
        const TKeyPrompt typed = [](const std::string&, const std::string&) {
            return std::optional<std::string>("00112233445566778899AABBCCDDEEFF");
        };
        BuildChallenge(cursor, header, s, options, typed, [] { return ++counter; });
        chlng.SetPayloadEnd(cursor);
        chlng.ScbLength = header.Length;
        chlng.ScbType = header.Type;
        chlng.ScbData[0] = header.Data;
        if (!Send(chlng, 0) || Code() != 0x76) {
            qWarning("CHLNG answered %x %s", Code(), Reply.Error);
            return false;
        }
        std::memcpy(s.Cuid.data(), &ReplyBytes[Reply.DataStart], 8);
        std::memcpy(s.RndB.data(), &ReplyBytes[Reply.DataStart + 8], 8);
        std::memcpy(s.ClientCryptogram.data(), &ReplyBytes[Reply.DataStart + 16], 16);
        s.State = ssCryptReceived;
        TOsdpRequest scrypt;
        scrypt.Command = 0x77;
        scrypt.Address = chlng.Address;
        cursor = scrypt.Payload.data();
        if (!BuildServerCryptogram(cursor, header, s, options)) {
            qWarning("client cryptogram differs");
            return false;
        }
        scrypt.SetPayloadEnd(cursor);
        scrypt.ScbLength = header.Length;
        scrypt.ScbType = header.Type;
        scrypt.ScbData[0] = header.Data;
        s.State = ssScryptSent;
        const bool sent = Send(scrypt, 1);
        if (!sent || Code() != 0x78)
            qWarning("SCRYPT answered %d %x %d %s", sent, Code(), Nak(), Reply.Error);
        return sent && Code() == 0x78;
    }
};

TOsdpRequest Request(std::uint8_t code, std::uint8_t address,
                     std::vector<std::uint8_t> payload = {}) {
    TOsdpRequest r;
    r.Command = code;
    r.Address = address;
    std::copy(payload.begin(), payload.end(), r.Payload.begin());
    r.PayloadLength = static_cast<std::uint16_t>(payload.size());
    return r;
}

TReaderConfig Reader(int address, int delay = 0) {
    TReaderConfig c;
    c.Address = address;
    c.Serial = 0x12345678u + static_cast<std::uint32_t>(address);
    c.AnswerDelayMs = delay;
    return c;
}

// A control panel on a plain socket to a simulated reader process, and a poll frame for it.
struct TSocketPanel {
    TPdProcess Pd;
    QTcpSocket Socket;
    QByteArray Poll;
    bool Start(const QStringList& args) {
        QString error;
        if (!Pd.Start(args, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        Socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(Pd.Port()));
        TDeviceState none;
        std::array<std::uint8_t, kFrameBufferSize> tx{};
        const TEncodeResult r = EncodeFrame(Request(0x60, 0), &none, true, tx.data());
        Poll = QByteArray(1, '\xFF') + QByteArray(reinterpret_cast<const char*>(tx.data()),
                                                  static_cast<qsizetype>(r.Length));
        return Socket.waitForConnected(3000);
    }
    void Write(const QByteArray& bytes) {
        Socket.write(bytes);
        Socket.flush();
    }
};

const TAesKey kKey{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                   0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

} // namespace

void TstSimReader::CommandLayoutIsChecked_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("nak"); // -1: a regular answer
    const auto bytes = [](int n) { return QByteArray(n, '\0'); };
    QTest::newRow("osdp_ID without its byte") << 0x61 << bytes(0) << 2;
    QTest::newRow("osdp_ID with one byte") << 0x61 << bytes(1) << -1;
    QTest::newRow("osdp_ID with two bytes") << 0x61 << bytes(2) << 2;
    QTest::newRow("osdp_POLL with data") << 0x60 << bytes(1) << 2;
    QTest::newRow("osdp_BUZ short") << 0x6A << bytes(4) << 2;
    QTest::newRow("osdp_BUZ long") << 0x6A << bytes(6) << 2;
    QTest::newRow("osdp_LED a byte over") << 0x69 << bytes(15) << 2;
    QTest::newRow("osdp_CHLNG short") << 0x76 << bytes(7) << 2;
    QTest::newRow("osdp_KEYSET long") << 0x75 << bytes(19) << 2;
    QTest::newRow("osdp_COMSET short") << 0x6E << bytes(4) << 2;
}

void TstSimReader::CommandLayoutIsChecked() {
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    QFETCH(int, nak);
    TSimBus bus({Reader(0)});
    TPanel panel(bus);
    const std::vector<std::uint8_t> payload(data.begin(), data.end());
    QVERIFY(panel.Send(Request(static_cast<std::uint8_t>(code), 0, payload), 0));
    QCOMPARE(panel.Nak(), nak);
    QVERIFY(panel.Records.filter(QStringLiteral("ran ")).isEmpty() == (nak >= 0));
}

void TstSimReader::FrameOverTheReceiveSizeIsNotRun() {
    // osdp_FILETRANSFER of one fragment that fills the frame to the receive size, and one
    // byte more: the first is taken, the second never runs.
    for (std::size_t frame : {kSimReceiveSize, kSimReceiveSize + 1}) {
        TSimBus bus({Reader(0)});
        TPanel panel(bus);
        const std::size_t fragment = frame - 6 - 11 - 2;
        std::vector<std::uint8_t> p = {0x01};
        const auto u32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                p.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        u32(static_cast<std::uint32_t>(fragment)); // whole size
        u32(0);                                    // offset
        p.push_back(static_cast<std::uint8_t>(fragment));
        p.push_back(static_cast<std::uint8_t>(fragment >> 8));
        p.resize(p.size() + fragment, 0xA5);
        const bool answered = panel.Send(Request(0x7C, 0, p), 0);
        QCOMPARE(answered, frame <= kSimReceiveSize);
        QCOMPARE(panel.Records.filter(QStringLiteral("overlong 0")).size(),
                 frame <= kSimReceiveSize ? 0 : 1);
        if (answered) QCOMPARE(panel.Code(), 0x7A); // osdp_FTSTAT
    }
}

void TstSimReader::BroadcastAnswers_data() {
    QTest::addColumn<bool>("ownAddress");
    QTest::addColumn<int>("secondDelay");
    QTest::addColumn<QList<int>>("answers"); // addresses of the intact replies, in order
    QTest::addColumn<QList<int>>("delays");
    QTest::newRow("standard, 40 ms apart")
        << false << 40 << QList<int>{0x7F, 0x7F} << QList<int>{0, 40};
    QTest::newRow("own address, 40 ms apart")
        << true << 40 << QList<int>{3, 9} << QList<int>{0, 40};
    QTest::newRow("at once: they collide") << false << 0 << QList<int>{} << QList<int>{0};
    QTest::newRow("overlapping: they collide") << false << 5 << QList<int>{} << QList<int>{0};
}

void TstSimReader::BroadcastAnswers() {
    QFETCH(bool, ownAddress);
    QFETCH(int, secondDelay);
    QFETCH(QList<int>, answers);
    QFETCH(QList<int>, delays);
    TBusRules rules;
    rules.BroadcastOwnAddress = ownAddress;
    TSimBus bus({Reader(3), Reader(9, secondDelay)}, 1, rules);
    TPanel panel(bus);
    QVERIFY(panel.Send(Request(0x61, kBroadcastAddress, {0}), 0));
    QList<int> got, when;
    for (const TBusReply& r : panel.Replies) {
        std::vector<std::uint8_t> f(r.Bytes.begin() + 1, r.Bytes.end());
        const TDecodedFrame d = DecodeFrame(f.data(), f.size(), panel.Devices);
        if (d.Valid && d.Code == 0x45) got << d.Address;
        when << r.DelayMs;
    }
    QCOMPARE(got, answers);
    QCOMPARE(when, delays);
    QCOMPARE(panel.Records.filter(QStringLiteral("ran ")),
             (QStringList{QStringLiteral("ran 3 61 00"), QStringLiteral("ran 9 61 00")}));
}

void TstSimReader::BroadcastSequenceIsChecked() {
    TSimBus bus({Reader(0)});
    TPanel panel(bus);
    QVERIFY(panel.Send(Request(0x60, 0), 0));
    QVERIFY(panel.Send(Request(0x60, 0), 1));
    // A broadcast is a frame like any other: an unexpected number is refused ...
    QVERIFY(panel.Send(Request(0x60, kBroadcastAddress), 3));
    QCOMPARE(panel.Nak(), 4);
    QCOMPARE(panel.Reply.Address, kBroadcastAddress);
    // ... the next one runs ...
    QVERIFY(panel.Send(Request(0x60, kBroadcastAddress), 2));
    QCOMPARE(panel.Code(), 0x40);
    // ... and sequence 0 restarts the count, so 1 follows without a NAK 04.
    QVERIFY(panel.Send(Request(0x60, kBroadcastAddress), 0));
    QVERIFY(panel.Send(Request(0x60, 0), 1));
    QCOMPARE(panel.Code(), 0x40);
}

void TstSimReader::ComsetKeepsWhatNoPortHas() {
    struct TCase {
        std::uint8_t Address;
        std::uint32_t Baud;
        bool Taken;
    };
    for (const TCase& c : {TCase{5, 999999, false}, TCase{5, 19200, true}, TCase{127, 19200, false},
                           TCase{5, 0, false}}) {
        TSimBus bus({Reader(2)});
        bus.SetLineBaud(9600);
        TPanel panel(bus);
        QVERIFY(panel.Send(Request(0x6E, 2,
                                   {c.Address, static_cast<std::uint8_t>(c.Baud),
                                    static_cast<std::uint8_t>(c.Baud >> 8),
                                    static_cast<std::uint8_t>(c.Baud >> 16),
                                    static_cast<std::uint8_t>(c.Baud >> 24)}),
                           0));
        QCOMPARE(panel.Code(), 0x54);
        const std::uint32_t baud = panel.Data(1) | panel.Data(2) << 8 | panel.Data(3) << 16;
        QCOMPARE(int(panel.Data(0)), c.Taken ? int(c.Address) : 2);
        QCOMPARE(baud, c.Taken ? c.Baud : 9600u);
        QCOMPARE(bus.Readers()[0].Config.Address, c.Taken ? int(c.Address) : 2);
        QCOMPARE(bus.TakePendingBaud(), c.Taken ? int(c.Baud) : 0);
    }
}

void TstSimReader::HandshakeAndItsRefusals_data() {
    QTest::addColumn<bool>("readerHasKey");
    QTest::addColumn<bool>("installMode");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<bool>("useDefault");
    QTest::addColumn<QString>("outcome"); // the record of the session
    QTest::newRow("default key, reader without one")
        << false << false << false << true << QStringLiteral("session 0 opened");
    QTest::newRow("its own key") << true << false << false << false
                                 << QStringLiteral("session 0 opened");
    QTest::newRow("default key once a key is set")
        << true << false << false << true << QStringLiteral("session 0 refused (default key)");
    QTest::newRow("default key in install mode")
        << true << true << false << true << QStringLiteral("session 0 opened");
    QTest::newRow("cryptogram refused") << false << false << true << true
                                        << QStringLiteral("session 0 refused (cryptogram not "
                                                          "accepted)");
}

void TstSimReader::HandshakeAndItsRefusals() {
    QFETCH(bool, readerHasKey);
    QFETCH(bool, installMode);
    QFETCH(bool, refuse);
    QFETCH(bool, useDefault);
    QFETCH(QString, outcome);
    TReaderConfig config = Reader(0);
    if (readerHasKey) config.Scbk = kKey;
    TBusRules rules;
    rules.InstallMode = installMode;
    rules.RefuseScrypt = refuse;
    TSimBus bus({config}, 1, rules);
    TPanel panel(bus);
    TKeyOptions options;
    options.UseScbkD = useDefault;
    options.DiversifyMasterkey = false;
    options.Masterkey = kKey;
    const bool rmac = panel.Handshake(0, options);
    QCOMPARE(panel.Records.filter(QStringLiteral("session ")), QStringList{outcome});
    if (!outcome.endsWith(QLatin1String("opened"))) {
        if (rmac) QCOMPARE(int(panel.Reply.ScbLength() >= 3 ? panel.Reply.Scb[2] : 0), 0xFF);
        return;
    }
    // The device's first MAC chains from the server cryptogram (AES(S-MAC2, AES(S-MAC1,
    // server cryptogram))), and it says it took the cryptogram.
    QVERIFY(rmac);
    const TSecureSession& s = panel.Devices[0].Session;
    QCOMPARE(int(panel.Reply.Scb[2]), 0x01);
    const TAesBlock expected = ComputeInitialRmac(s);
    QVERIFY(std::memcmp(&panel.ReplyBytes[panel.Reply.DataStart], expected.data(), 16) == 0);
    TSecureSession withoutCryptogram = s;
    withoutCryptogram.ServerCryptogram = TAesBlock{};
    QVERIFY(expected != ComputeInitialRmac(withoutCryptogram));
}

void TstSimReader::PlainCommandInASessionIsRefused() {
    TSimBus bus({Reader(0)});
    TPanel panel(bus);
    QVERIFY(panel.Handshake(0, TKeyOptions{}));
    TDeviceState& d = panel.Devices[0];
    std::memcpy(d.Session.LastMac.data(), &panel.ReplyBytes[panel.Reply.DataStart], 16);
    d.Session.State = ssEstablished;
    QVERIFY(panel.Send(Request(0x60, 0), 2));
    QCOMPARE(panel.Code(), 0x40); // protected poll: protected ACK
    QVERIFY(panel.Reply.HasBlock());
    // The panel forgets the session: its plain command is refused and the session is over.
    EndSession(d.Session);
    QVERIFY(panel.Send(Request(0x61, 0, {0}), 3));
    QCOMPARE(panel.Nak(), 6);
    QVERIFY(panel.Records.contains(QStringLiteral("session 0 ended (plain command)")));
    // A new challenge in a session carries a block of its own and is answered.
    QVERIFY(panel.Handshake(0, TKeyOptions{}));
}

void TstSimReader::DroppedReplyIsKeptForTheRepeat() {
    TSimBus bus({Reader(0)});
    TPanel panel(bus);
    QVERIFY(panel.Send(Request(0x60, 0), 0));
    QVERIFY(bus.QueueCard(0, 1234567, 26));
    bus.DropReplyFromNow(1);
    QVERIFY(!panel.Send(Request(0x60, 0), 1)); // the card read is lost on the line
    QCOMPARE(panel.Records.filter(QStringLiteral("delivered 0 50")).size(), 1);
    QVERIFY(panel.Send(Request(0x60, 0), 1)); // the same number again: the kept reply
    QCOMPARE(panel.Code(), 0x50);
    QCOMPARE(panel.Records.filter(QStringLiteral("delivered")).size(), 1); // ran once
    bus.LateNext(250);
    QVERIFY(panel.Send(Request(0x60, 0), 2));
    QCOMPARE(panel.Replies[0].DelayMs, 250);
    QVERIFY(panel.Send(Request(0x60, 0), 3));
    QCOMPARE(panel.Replies[0].DelayMs, 0); // only the next reply
}

void TstSimReader::FrameCutShortIsGivenUp() {
    TSocketPanel panel;
    QVERIFY(panel.Start({}));
    // 8 bytes of a frame that announces 64, then quiet: a whole poll follows the gap.
    struct TCase {
        int GapMs;
        bool Answered;
    };
    for (const TCase c : {TCase{250, true}, TCase{50, false}}) {
        panel.Write(QByteArray::fromHex("ff5300400004606060"));
        QTest::qWait(c.GapMs);
        panel.Write(panel.Poll);
        QCOMPARE(panel.Socket.waitForReadyRead(400), c.Answered);
        QTest::qWait(300); // the assembly (if any) is given up before the next case
        panel.Socket.readAll();
    }
}

void TstSimReader::RepliesLeaveLate() {
    TSocketPanel panel;
    QVERIFY(panel.Start({QStringLiteral("--address"), QStringLiteral("0"),
                         QStringLiteral("--answer-delay"), QStringLiteral("60")}));
    QVERIFY(panel.Pd.Ask(QStringLiteral("late 100")));
    for (int floor : {160, 60}) { // answer delay and late reply, then the delay alone
        QElapsedTimer clock;
        clock.start();
        panel.Write(panel.Poll);
        QVERIFY(panel.Socket.waitForReadyRead(2000));
        QVERIFY2(clock.elapsed() >= floor - 2, qPrintable(QString::number(clock.elapsed())));
        panel.Socket.readAll();
        QTest::qWait(20);
    }
}

QTEST_GUILESS_MAIN(TstSimReader)
#include "tst_sim_reader.moc"
