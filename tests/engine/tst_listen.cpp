// Listening to a line: the engine connects as a TCP client to a peer that plays the whole
// bus (a panel's commands and a reader's replies, built with the codec), logs what it hears
// as the live log would, feeds the Devices records, captures it, and never writes a byte.

#include "support/engine_fixture.h"
#include "support/pty_pair.h"

#include "capture/capture_file.h"
#include "capture/capture_format.h"
#include "devices/device_table.h"
#include "osdp/frame_codec.h"

#include <QFile>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

namespace {

QByteArray Frame(std::uint8_t code, std::uint8_t address, bool reply,
                 std::initializer_list<std::uint8_t> payload = {}) {
    TOsdpRequest r = MakeRequest(code, address, payload);
    TDeviceState device{};
    device.Sequence = 1;
    std::array<std::uint8_t, kFrameBufferSize> tx{};
    const TEncodeResult e = EncodeFrame(r, &device, true, tx.data(), reply);
    return QByteArray(reinterpret_cast<const char*>(tx.data()), static_cast<qsizetype>(e.Length));
}

const QByteArray kGetId = Frame(0x61, 0, false, {0x00});
const QByteArray kLstat = Frame(0x48, 0, true, {0x00, 0x01});
const QString kGetIdLine = QStringLiteral("> addr=0: GET_ID(00)");
const QString kLstatLine = QStringLiteral("< addr=0: RES_STAT(TAMPER=ok, POWER=error)");

// The engine listens as a TCP client; the test's side of the connection is the bus.
struct TListenRig : TEngineRig {
    QTcpServer Server;
    QTcpSocket* Peer = nullptr;

    bool Listen() {
        if (!Server.listen(QHostAddress::LocalHost, 0)) return false;
        Engine.Port().SetPortName(QStringLiteral("127.0.0.1:%1").arg(Server.serverPort()));
        QString error;
        if (!Engine.StartListening(&error)) {
            qWarning("listen failed: %s", qPrintable(error));
            return false;
        }
        if (!QTest::qWaitFor([this] { return Server.hasPendingConnections(); }, 3000)) return false;
        Peer = Server.nextPendingConnection();
        return Peer != nullptr;
    }
    void Say(const QByteArray& bytes) {
        Peer->write(bytes);
        Peer->flush();
    }
    // The lines that describe frames, in order (the engine's own notes left out).
    QStringList Heard() const {
        QStringList lines;
        for (const QString& l : Log)
            if (l.startsWith(QLatin1String("> ")) || l.startsWith(QLatin1String("< ")) ||
                l.startsWith(QLatin1String("ERROR")))
                lines << l;
        return lines;
    }
    // Nothing came from the engine: no frame, no mark byte.
    bool PeerReadNothing() {
        Peer->waitForReadyRead(300);
        return Peer->bytesAvailable() == 0;
    }
};

} // namespace

class TstListen : public QObject {
    Q_OBJECT

  private slots:
    void CommandAndReplyAreLoggedAndNothingIsWritten();
    void FramesHeardInPieces_data();
    void FramesHeardInPieces();
    void SendingIsRefused();
    void DevicesRecordWhatIsHeard();
    void CaptureWritesTraceRecordsThatReadBack();
    void DisconnectEndsListening();
    void ReconnectionListensAgain();
    void SerialListenerNeverDrivesTheLine();
    void SessionsHeardShowAndANewLineStartsEmpty();
};

void TstListen::CommandAndReplyAreLoggedAndNothingIsWritten() {
    TListenRig rig;
    QVERIFY(rig.Listen());
    QVERIFY(rig.Engine.Listening());
    QCOMPARE(rig.Status[0],
             QStringLiteral("Listening on 127.0.0.1:%1").arg(rig.Server.serverPort()));
    rig.Say(kGetId);
    rig.Say(kLstat);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Heard(), (QStringList{kGetIdLine, kLstatLine}), 3000);
    QVERIFY(!rig.Log.contains(QStringLiteral("START"))); // no poll cycle
    QVERIFY(!rig.Engine.Polling());
    QVERIFY(rig.PeerReadNothing());

    // The View filters hold: raw bytes with the words, in the live log's order.
    rig.Log.clear();
    rig.Engine.View.Raw = true;
    rig.Say(kGetId + kLstat);
    const QString hexCommand =
        QStringLiteral("> ") + QString::fromLatin1(kGetId.toHex(' ')).toUpper();
    const QString hexReply =
        QStringLiteral("< ") + QString::fromLatin1(kLstat.toHex(' ')).toUpper();
    QTRY_COMPARE_WITH_TIMEOUT(rig.Heard(),
                              (QStringList{kGetIdLine, hexCommand, hexReply, kLstatLine}), 3000);
    // Polls stay out of the log unless asked for.
    rig.Log.clear();
    rig.Engine.View.Raw = false;
    rig.Say(Frame(0x60, 0, false) + Frame(0x40, 0, true) + kGetId);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Heard(), QStringList{kGetIdLine}, 3000);
    QVERIFY(rig.PeerReadNothing());
}

void TstListen::FramesHeardInPieces_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("split"); // the command goes in two writes, split here (0: whole)
    QTest::newRow("split frame") << QByteArray() << 4;
    QTest::newRow("split after the start byte") << QByteArray() << 1;
    QTest::newRow("noise before the start byte") << QByteArray::fromHex("0012A5FE") << 0;
    QTest::newRow("mark byte before the start byte") << QByteArray::fromHex("FF") << 0;
    QTest::newRow("noise and a split") << QByteArray::fromHex("00FF7E") << 6;
}

void TstListen::FramesHeardInPieces() {
    QFETCH(QByteArray, before);
    QFETCH(int, split);
    TListenRig rig;
    QVERIFY(rig.Listen());
    rig.Say(before + kGetId.left(split > 0 ? split : kGetId.size()));
    if (split > 0) {
        QTest::qWait(50); // well inside the gap that ends a frame
        rig.Say(kGetId.mid(split));
    }
    rig.Say(kLstat);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Heard(), (QStringList{kGetIdLine, kLstatLine}), 3000);
}

void TstListen::SendingIsRefused() {
    TListenRig rig;
    QVERIFY(rig.Listen());
    const QString refused = QStringLiteral("Error: listening only; nothing is sent");
    QString error;
    QVERIFY(!rig.Engine.SendRequest(MakeRequest(0x61, 0, {0x00}), &error));
    QCOMPARE(error, refused);
    error.clear();
    QVERIFY(!rig.Engine.QueueRequest(MakeRequest(0x64, 0), &error));
    QCOMPARE(error, refused);
    const std::uint8_t block[] = {0x01, 0x02};
    QVERIFY(!rig.Engine.SendBootBlock(block, 2, 100));
    rig.Engine.StartPolling();
    QVERIFY(!rig.Engine.Polling());
    QCOMPARE(rig.Count(refused), 1); // the poll cycle's refusal, in the log
    QCOMPARE(rig.Engine.QueuedCount(), 0);
    QVERIFY(rig.PeerReadNothing());
}

void TstListen::DevicesRecordWhatIsHeard() {
    TListenRig rig;
    TDeviceTable table(rig.Engine, [](int) { return QVariant(); });
    QVERIFY(rig.Listen());
    const QByteArray poll1 = Frame(0x60, 1, false);
    const QByteArray poll2 = Frame(0x60, 2, false);
    QByteArray badAck = Frame(0x40, 2, true);
    badAck[badAck.size() - 1] = static_cast<char>(badAck.back() ^ 0x5A);

    // 1 answers nothing before the next command; 2 answers 30 ms after its poll.
    rig.Say(poll1);
    QTest::qWait(20);
    rig.Say(poll2);
    QTest::qWait(30);
    rig.Say(Frame(0x40, 2, true));
    // A command to 2 answered with a NAK, then a poll whose reply fails its check bytes.
    rig.Say(Frame(0x64, 2, false));
    rig.Say(Frame(0x41, 2, true, {0x01}));
    rig.Say(poll2);
    rig.Say(badAck);
    // 1 again, left unanswered until the reply time-out.
    rig.Say(poll1);
    QTRY_COMPARE_WITH_TIMEOUT(table.Stats(1).Timeouts, 2, 3000);

    QCOMPARE(table.Stats(1).Polls, 2);
    QCOMPARE(table.Stats(1).Replies, 0);
    QCOMPARE(rig.Count(QStringLiteral("TIMEOUT (no reply from 1)")), 1); // once per silence
    const TDeviceStats& two = table.Stats(2);
    QCOMPARE(two.Polls, 2);
    QCOMPARE(two.Replies, 2);
    QCOMPARE(two.NakCount(), 1);
    QCOMPARE(two.Naks.at(0x01), 1);
    QCOMPARE(two.CheckErrors, 1);
    QCOMPARE(two.Timeouts, 0);
    QCOMPARE(two.RttCount, 2);
    QVERIFY2(two.RttMaxUs >= 20000, qPrintable(QString::number(two.RttMaxUs)));
    QCOMPARE(two.LastCommand, QStringLiteral("GET_STAT"));
    QVERIFY2(two.LastAnswer.startsWith(QLatin1String("NAK")), qPrintable(two.LastAnswer));
    // The poll list's states: 1 silent, 2 with a damaged reply last; 3 never heard.
    QCOMPARE(rig.Engine.Devices()[1].Status, std::uint8_t{dsTimeout});
    QCOMPARE(rig.Engine.Devices()[2].Status, std::uint8_t{dsError});
    QVERIFY(rig.Engine.Heard(1) && rig.Engine.Heard(2) && !rig.Engine.Heard(3));
    QVERIFY(rig.PeerReadNothing());
}

void TstListen::CaptureWritesTraceRecordsThatReadBack() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("line.cap"));
    QStringList live;
    {
        TListenRig rig;
        TCaptureWriter capture(rig.Engine);
        QVERIFY(rig.Listen());
        QString error;
        QVERIFY2(capture.Start(path, &error), qPrintable(error));
        rig.Say(kGetId);
        rig.Say(kLstat);
        QTRY_COMPARE_WITH_TIMEOUT(capture.Frames(), 2, 3000);
        live = rig.Heard();
        rig.Engine.Disconnect();
        QVERIFY(!capture.Running());
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 3); // two records and the end of the last line
    for (int i = 0; i < 2; ++i) {
        TCaptureRecord record;
        std::string why;
        QVERIFY2(ParseCaptureLine(lines[i].toStdString(), record, why), why.c_str());
        QCOMPARE(record.Io, TCaptureIo::Trace);
        const QByteArray& sent = i == 0 ? kGetId : kLstat;
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(record.Data.data()),
                            static_cast<qsizetype>(record.Data.size())),
                 sent);
    }
    QStringList read;
    const TCaptureReadResult result = ReadCaptureFile(
        path, TCaptureView{}, TVendorList{}, [&](const QTime&, const QString& l) { read << l; });
    QVERIFY(result.Opened);
    QCOMPARE(result.Malformed, 0);
    QCOMPARE(read, live);
}

void TstListen::DisconnectEndsListening() {
    TListenRig rig;
    QVERIFY(rig.Listen());
    rig.Say(kGetId.left(5)); // cut short by the disconnect
    QTest::qWait(50);
    rig.Engine.Disconnect();
    QVERIFY(!rig.Engine.Listening());
    QVERIFY(!rig.Engine.Port().IsOpen());
    QCOMPARE(rig.Status[0], QStringLiteral("Disconnected"));
    QCOMPARE(rig.Count(QStringLiteral("ERROR (length error from 0)")), 1);
    QVERIFY(!rig.Log.contains(QStringLiteral("STOP")));
    // A send now fails as on any closed port, not as a listening one.
    QString error;
    rig.Engine.SendRequest(MakeRequest(0x61, 0, {0x00}), &error);
    QVERIFY(error != QStringLiteral("Error: listening only; nothing is sent"));
}

// A line lost while listening is opened again to listen, never to poll.
void TstListen::ReconnectionListensAgain() {
    TListenRig rig;
    QVERIFY(rig.Listen());
    rig.Engine.SetReconnectInterval(100);
    rig.Engine.SetReconnect(true);
    rig.Peer->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Server.hasPendingConnections(), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Engine.Port().IsOpen(), 3000);
    rig.Peer = rig.Server.nextPendingConnection();
    QVERIFY(rig.Engine.Listening());
    QVERIFY(!rig.Engine.Polling());
    QCOMPARE(rig.Status[0],
             QStringLiteral("Listening on 127.0.0.1:%1").arg(rig.Server.serverPort()));
    rig.Log.clear();
    rig.Say(kGetId + kLstat);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Heard(), (QStringList{kGetIdLine, kLstatLine}), 3000);
    QVERIFY(rig.PeerReadNothing());
    rig.Engine.SetReconnect(false);
}

// A serial port opened to listen lowers RTS and DTR (a pseudo-terminal has none, and says so)
// and writes nothing, whoever asks; the same port opened to talk writes again.
void TstListen::SerialListenerNeverDrivesTheLine() {
    if (!TPtyPair::SocatInstalled()) QSKIP("socat is not installed");
    TPtyPair pair;
    QString error;
    QVERIFY2(pair.Start(&error), qPrintable(error));
    QSerialPort bus(pair.PathB());
    QVERIFY(bus.open(QIODevice::ReadWrite));
    TEngineRig rig;
    TLink& link = rig.Engine.Port();
    QVERIFY(link.SetPortName(pair.PathA()));
    QVERIFY2(rig.Engine.StartListening(&error), qPrintable(error));
    QCOMPARE(link.ModemLines(), TLink::TModemLines::Absent);
    const std::uint8_t mark = 0xFF;
    QVERIFY(!link.Write(&mark, 1, &error));
    QCOMPARE(error, QStringLiteral("Error: listening only; nothing is sent"));
    bus.write(kGetId);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(kGetIdLine), 3000);
    QTest::qWait(100);
    QCOMPARE(bus.readAll(), QByteArray());
    rig.Engine.Disconnect();
    QVERIFY2(rig.Engine.OpenPort(&error), qPrintable(error));
    QVERIFY(!link.IsListenOnly());
    QTRY_VERIFY_WITH_TIMEOUT(bus.bytesAvailable() > 0 || bus.waitForReadyRead(50), 3000);
}

// The other tool's secure capture played on the line: while its sessions are read, the
// device shows a session in the poll list's state and the Devices tab; listening anew starts
// with an empty table.
void TstListen::SessionsHeardShowAndANewLineStartsEmpty() {
    QFile capture(QString::fromUtf8(QUINTREL_TEST_DATA "/captures/reader-side-secure.osdpcap"));
    QVERIFY(capture.open(QIODevice::ReadOnly));
    QByteArray line;
    TListenRig rig;
    TDeviceTable table(rig.Engine, [](int) { return QVariant(); });
    QVERIFY(rig.Listen());
    QStringList shown;
    QObject::connect(&rig.Engine, &TEngine::PollListChanged, &table, [&] {
        table.Refresh();
        const int row = table.RowOf(0);
        const QString text =
            row < 0 ? QString()
                    : table.data(table.index(row, TDeviceTable::colSession), Qt::DisplayRole)
                          .toString();
        if (shown.isEmpty() || shown.back() != text) shown << text;
    });
    int records = 0;
    while (!capture.atEnd()) {
        TCaptureRecord record;
        std::string error;
        line = capture.readLine();
        if (!ParseCaptureLine(std::string_view(line.constData(), static_cast<std::size_t>(line.size())),
                              record, error))
            continue;
        rig.Say(QByteArray(reinterpret_cast<const char*>(record.Data.data()),
                           static_cast<qsizetype>(record.Data.size())));
        if (++records % 200 == 0) QTest::qWait(1);
    }
    QTRY_VERIFY2_WITH_TIMEOUT(shown.contains(QStringLiteral("established")),
                              qPrintable(shown.join(u',')), 5000);
    QVERIFY(table.Stats(0).Replies > 0);
    rig.Engine.Disconnect();
    QVERIFY(table.RowOf(0) >= 0); // kept after the line ends, to be looked at
    QString error;
    QVERIFY2(rig.Engine.StartListening(&error), qPrintable(error));
    table.Refresh();
    // Address 0 stays listed for its tick in the poll list, with nothing from the last line.
    const TDeviceStats& zero = table.Stats(0);
    QVERIFY(zero.Replies == 0 && zero.Polls == 0 && zero.LastCommand.isEmpty() && !zero.Answered);
    QCOMPARE(table.data(table.index(table.RowOf(0), TDeviceTable::colSession), Qt::DisplayRole),
             QVariant(QStringLiteral("none")));
}

QTEST_GUILESS_MAIN(TstListen)
#include "tst_listen.moc"
