// The link over real devices: socat pseudo-terminal pairs for serial, 127.0.0.1 for TCP.

#include "link/link.h"
#include "support/pty_pair.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace quintrel;
using quintrel::test::TPtyPair;

#define START_PTY_PAIR(pair)                                                                       \
    if (!TPtyPair::SocatInstalled()) QSKIP("socat is not installed: no pseudo-terminal pairs");    \
    TPtyPair pair;                                                                                 \
    QVERIFY2(pair.Start(&Why), qPrintable(Why))

namespace {

QString Describe(const TPortName& p) {
    if (!p.Tcp)
        return p.SerialPath.isEmpty()
                   ? QStringLiteral("serial %1").arg(p.ComNumber)
                   : QStringLiteral("path %1 %2").arg(p.SerialPath).arg(p.ComNumber);
    return QStringLiteral("%1 '%2' '%3' %4")
        .arg(p.Server ? QStringLiteral("server") : QStringLiteral("client"), p.TcpAddress,
             p.TcpPort)
        .arg(p.ComNumber);
}

// Every byte value, so a line that translates CR/LF or swallows XON/XOFF shows.
QByteArray AllByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(static_cast<char>(i));
    return bytes;
}

bool Send(TLink& link, const QByteArray& bytes, QString* error = nullptr) {
    return link.Write(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                      static_cast<std::size_t>(bytes.size()), error);
}

QByteArray ReadAll(TLink& link) {
    QByteArray bytes;
    for (std::uint8_t b; link.ReadByte(b);)
        bytes.append(static_cast<char>(b));
    return bytes;
}

void CollectInto(TLink& link, QByteArray& sink) {
    QObject::connect(&link, &TLink::DataAvailable, &link, [&] { sink += ReadAll(link); });
}

// The backlog of unread input the link keeps, as documented.
constexpr int kBacklogCap = 64 * 1024;

quint16 FreeTcpPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString At(const char* host, quint16 port) {
    return QLatin1String(host) + QLatin1Char(':') + QString::number(port);
}

struct TTcpPair {
    TLink Server;
    TLink Client;
    quint16 Port = FreeTcpPort();

    bool Open(QString* why) {
        Server.SetPortName(At("server", Port));
        Client.SetPortName(At("127.0.0.1", Port));
        if (!Server.Open(why) || !Client.Open(why)) return false;
        *why = QStringLiteral("the server saw no peer");
        return QTest::qWaitFor([this] { return Server.IsConnected(); }, 3000);
    }
};

} // namespace

class TLinkTest : public QObject {
    Q_OBJECT
    QString Why;

  private slots:
    void PortNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parsed");
        QTest::addColumn<QString>("formatted");
        QTest::addColumn<QString>("display");
        const auto row = [](const char* name, const char* parsed, const char* formatted,
                            const char* display) {
            QTest::newRow(name) << QString::fromLatin1(name) << parsed << formatted << display;
        };
        row("com7", "serial 7", "COM7", "COM7");
        row("Com255", "serial 255", "COM255", "COM255");
        row("COM0", "client 'COM0' 'telnet' 0", "COM0:telnet", "COM0:telnet");
        row("COM256", "client 'COM256' 'telnet' 0", "COM256:telnet", "COM256:telnet");
        row("COMX", "client 'COMX' 'telnet' 0", "COMX:telnet", "COMX:telnet");
        row("COM+7", "client 'COM+7' 'telnet' 0", "COM+7:telnet", "COM+7:telnet");
        row("server:4001", "server '' '4001' 0", "server:4001", "server:4001");
        row("SERVER", "server '' 'telnet' 0", "server:telnet", "server:telnet");
        row("host:1234", "client 'host' '1234' 0", "host:1234", "host:1234");
        row("host:", "client 'host' '' 0", "host", "host");
        row("/dev/ttyUSB0", "path /dev/ttyUSB0 0", "/dev/ttyUSB0", "/dev/ttyUSB0");
        const char* byPath = "/dev/serial/by-path/pci-0:1.0";
        row(byPath, "path /dev/serial/by-path/pci-0:1.0 0", byPath, byPath);
    }

    void PortNames() {
        QFETCH(QString, name);
        QFETCH(QString, parsed);
        QFETCH(QString, formatted);
        QFETCH(QString, display);
        const TPortName port = ParsePortName(name);
        QCOMPARE(Describe(port), parsed);
        QCOMPARE(FormatPortName(port), formatted);
        QCOMPARE(PortDisplayName(port), display);
        if (!port.TcpPort.isEmpty()) QCOMPARE(Describe(ParsePortName(formatted)), parsed);
        TLink link;
        QVERIFY(link.SetPortName(name));
        QCOMPARE(link.GetPortName(), formatted);
        QVERIFY(!link.IsOpen());
    }

    void SwitchingLayersKeepsTheOtherSettings() {
        TLink link;
        link.SetPortName(QStringLiteral("bridge:4001"));
        link.SetPortName(QStringLiteral("COM3"));
        QCOMPARE(link.TcpAddress(), QStringLiteral("bridge"));
        link.SetPortName(QStringLiteral("server:4002"));
        QVERIFY(link.IsServer());
        QCOMPARE(link.ComNumber(), 0);
        QCOMPARE(link.TcpAddress(), QStringLiteral("bridge"));
    }

    void DeviceNamesAndServices() {
        QCOMPARE(PortNameForDevice(QStringLiteral("/dev/ttyS0")), QStringLiteral("COM1"));
        QCOMPARE(PortNameForDevice(QStringLiteral("/dev/ttyS254")), QStringLiteral("COM255"));
        QCOMPARE(PortNameForDevice(QStringLiteral("/dev/ttyS255")), QStringLiteral("/dev/ttyS255"));
        QCOMPARE(SerialDevicePath(7), QStringLiteral("/dev/ttyS6"));
        QStringList names =
            QString::fromLatin1("/dev/ttyUSB10 /dev/ttyUSB0 COM10 COM2 /dev/ttyS10 /dev/ttyACM0 "
                                "COM1 /dev/ttyS2 /dev/ttyUSB2")
                .split(QLatin1Char(' '));
        SortPortNames(names);
        QCOMPARE(names.join(QLatin1Char(' ')),
                 QStringLiteral("COM1 COM2 COM10 /dev/ttyACM0 /dev/ttyS2 /dev/ttyS10 "
                                "/dev/ttyUSB0 /dev/ttyUSB2 /dev/ttyUSB10"));

        QCOMPARE(ResolveTcpPort(QStringLiteral("telnet")), quint16(23));
        QCOMPARE(ResolveTcpPort(QStringLiteral("65535")), quint16(65535));
        QCOMPARE(ResolveTcpPort(QStringLiteral("65536")), quint16(0));
        QCOMPARE(ResolveTcpPort(QStringLiteral("0")), quint16(0));
        QCOMPARE(ResolveTcpPort(QStringLiteral("no-such-service")), quint16(0));
    }

    void SerialBytesBothWays() {
        START_PTY_PAIR(pair);
        TLink a;
        TLink b;
        a.SetPortName(pair.PathA());
        b.SetPortName(pair.PathB());
        QCOMPARE(a.DisplayName(), pair.PathA());
        QVERIFY2(a.Open(&Why), qPrintable(Why));
        QVERIFY2(b.Open(&Why), qPrintable(Why));
        QByteArray atA;
        QByteArray atB;
        CollectInto(a, atA);
        CollectInto(b, atB);
        const QByteArray bytes = AllByteValues();
        QVERIFY(Send(a, bytes));
        QTRY_COMPARE(atB, bytes);
        QVERIFY(Send(b, bytes));
        QTRY_COMPARE(atA, bytes);

        QVERIFY(a.SetBaud(19200));
        QVERIFY(a.IsOpen());
        QCOMPARE(a.Baud(), 19200);
        QVERIFY(Send(a, "more"));
        QTRY_COMPARE(atB, bytes + "more");

        TLink again;
        again.SetPortName(pair.PathA());
        QVERIFY(!again.Open(&Why));
        QVERIFY2(Why.contains(QStringLiteral("in use")), qPrintable(Why));
        QVERIFY(a.IsOpen());
    }

    void SerialSettingsFromAnUncheckedFile() {
        START_PTY_PAIR(pair);
        TLink a;
        TLink b;
        a.SetPortName(pair.PathA());
        b.SetPortName(pair.PathB());
        QVERIFY(a.Open() && b.Open());
        QByteArray atB;
        CollectInto(b, atB);

        QVERIFY(!a.SetBaud(0));
        QVERIFY(!a.SetBaud(-9600));
        QVERIFY(!a.SetDataBits(9));
        QVERIFY(!a.SetParity(3));
        QVERIFY(!a.SetStopBits(0));
        QCOMPARE(a.Baud(), -9600);
        QCOMPARE((QList<int>{a.DataBits(), a.Parity(), a.StopBits()}), (QList<int>{9, 3, 0}));
        QVERIFY(a.SetStopBits(2) && a.SetBaud(12345));
        // Newer kernels refuse 7 data bits and parity on a pseudo-terminal, older ones ignore
        // them: either way the port must keep working.
        a.SetDataBits(7);
        a.SetParity(2);
        QCOMPARE((QList<int>{a.DataBits(), a.Parity()}), (QList<int>{7, 2}));
        QVERIFY(Send(a, "still working"));
        QTRY_COMPARE(atB, QByteArray("still working"));

        a.Close();
        a.SetParity(0);
        a.SetDataBits(9);
        QVERIFY(!a.Open(&Why));
        QVERIFY2(Why.contains(QStringLiteral("data bits 9")), qPrintable(Why));
        a.SetDataBits(8);
        a.SetBaud(-1);
        QVERIFY(!a.Open(&Why));
        QVERIFY2(Why.contains(QStringLiteral("baud rate -1")), qPrintable(Why));
        QVERIFY(!a.IsOpen());
        a.SetBaud(9600);
        QVERIFY2(a.Open(&Why), qPrintable(Why));
    }

    void SerialFarEndVanishing() {
        START_PTY_PAIR(pair);
        TLink link;
        link.SetPortName(pair.PathA());
        QVERIFY(link.Open());
        QSignalSpy lost(&link, &TLink::LinkLost);
        pair.Stop();
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(!link.IsOpen());
        // A device left open would report its error again many times a millisecond.
        QTest::qWait(50);
        QCOMPARE(lost.size(), 1);
    }

    void OpenFailuresLeaveThePortClosed() {
        TLink link;
        link.SetPortName(QStringLiteral("/dev/ttyDOESNOTEXIST"));
        QVERIFY(!link.Open(&Why));
        QVERIFY2(Why.contains(QStringLiteral("does not exist")), qPrintable(Why));
        QVERIFY(!link.IsOpen());
        QVERIFY(!Send(link, "x", &Why));
        QCOMPARE(Why, QStringLiteral("Error: no connection"));
        if (!QFileInfo::exists(QStringLiteral("/dev/ttyS254"))) {
            link.SetPortName(QStringLiteral("COM255"));
            QVERIFY(!link.Open(&Why));
            QVERIFY2(Why.contains(QStringLiteral("/dev/ttyS254")), qPrintable(Why));
        }
        link.SetPortName(QStringLiteral("127.0.0.1:no-such-service"));
        QVERIFY(!link.Open(&Why));
        QVERIFY2(Why.contains(QStringLiteral("no-such-service")), qPrintable(Why));
        link.SetPortName(At("127.0.0.1", FreeTcpPort()));
        QVERIFY(!link.Open(&Why));
        QVERIFY(!link.IsOpen());
    }

    void TcpBytesBothWays() {
        TTcpPair pair;
        QVERIFY2(pair.Open(&Why), qPrintable(Why));
        QByteArray atServer;
        QByteArray atClient;
        CollectInto(pair.Server, atServer);
        CollectInto(pair.Client, atClient);
        QVERIFY(Send(pair.Client, AllByteValues()));
        QTRY_COMPARE(atServer, AllByteValues());
        QVERIFY(Send(pair.Server, AllByteValues()));
        QTRY_COMPARE(atClient, AllByteValues());
    }

    void SameNameLeavesAnOpenPortAlone() {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost));
        QSignalSpy connections(&peer, &QTcpServer::newConnection);
        TLink link;
        link.SetPortName(At("127.0.0.1", peer.serverPort()));
        QVERIFY(link.Open());
        QTRY_COMPARE(connections.size(), 1);
        QTcpSocket* far = peer.nextPendingConnection();
        QSignalSpy gone(far, &QTcpSocket::disconnected);

        QVERIFY(link.SetPortName(link.GetPortName()));
        QVERIFY(Send(link, "same"));
        // No event loop runs for the link here: the engine waits for a reply right after
        // sending, and a frame still queued would only leave once that wait is over.
        QVERIFY(far->waitForReadyRead(2000));
        QCOMPARE(far->readAll(), QByteArray("same"));
        QCOMPARE(gone.size(), 0);

        // Another name for the same place reconnects, so the check above can fail.
        QVERIFY(link.SetPortName(At("localhost", peer.serverPort())));
        QTRY_COMPARE(connections.size(), 2);
        QTRY_COMPARE(gone.size(), 1);
    }

    void ServerHoldsOnePeerAtATime() {
        TLink server;
        const quint16 port = FreeTcpPort();
        server.SetPortName(At("server", port));
        QVERIFY(server.Open());
        QSignalSpy lost(&server, &TLink::LinkLost);
        QByteArray atServer;
        CollectInto(server, atServer);
        QVERIFY(Send(server, "nobody hears this"));

        TLink first;
        first.SetPortName(At("127.0.0.1", port));
        QVERIFY(first.Open());
        QByteArray atFirst;
        CollectInto(first, atFirst);
        QTRY_VERIFY(server.IsConnected());
        QTcpSocket second;
        QSignalSpy secondIn(&second, &QTcpSocket::connected);
        QSignalSpy secondOut(&second, &QTcpSocket::disconnected);
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(secondOut.size(), 1);
        QCOMPARE(secondIn.size(), 1);
        QVERIFY(Send(server, "hello"));
        QTRY_COMPARE(atFirst, QByteArray("hello"));

        first.Close();
        QTRY_VERIFY(!server.IsConnected());
        TLink third;
        third.SetPortName(At("127.0.0.1", port));
        QVERIFY(third.Open());
        QVERIFY(Send(third, "next"));
        QTRY_COMPARE(atServer, QByteArray("next"));
        QCOMPARE(lost.size(), 0);
    }

    void ClientLosesItsServer() {
        TTcpPair pair;
        QVERIFY2(pair.Open(&Why), qPrintable(Why));
        QSignalSpy lost(&pair.Client, &TLink::LinkLost);
        pair.Server.Close();
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(!pair.Client.IsOpen());
        QTest::qWait(20);
        QCOMPARE(lost.size(), 1);
    }

    void UnreadBytesAreReportedAgain() {
        TTcpPair pair;
        QVERIFY2(pair.Open(&Why), qPrintable(Why));
        QByteArray got;
        int calls = 0;
        connect(&pair.Client, &TLink::DataAvailable, this, [&] {
            ++calls;
            std::uint8_t b = 0;
            if (pair.Client.ReadByte(b)) got.append(static_cast<char>(b));
        });
        QVERIFY(Send(pair.Server, "0123456789"));
        QTRY_COMPARE(got, QByteArray("0123456789"));
        QCOMPARE(calls, 10);
    }

    // The backlog of unread input at its cap and one past it: exactly
    // the excess goes, the oldest first, and it is reported.
    void BacklogKeepsItsCap_data() {
        QTest::addColumn<int>("sent");
        const int cap = kBacklogCap;
        QTest::newRow("at the cap") << cap;
        QTest::newRow("one past it") << cap + 1;
        QTest::newRow("far past it") << 3 * cap + 17;
    }
    void BacklogKeepsItsCap() {
        QFETCH(int, sent);
        TTcpPair pair;
        QVERIFY2(pair.Open(&Why), qPrintable(Why));
        quint64 dropped = 0;
        connect(&pair.Client, &TLink::InputDropped, this, [&](quint64 n) { dropped += n; });
        QByteArray flood(sent, '\0');
        for (int i = 0; i < sent; ++i)
            flood[i] = static_cast<char>(i * 31 + i / 256);
        QVERIFY(Send(pair.Server, flood));
        const qint64 kept = std::min(sent, kBacklogCap);
        QTRY_COMPARE(pair.Client.BytesAvailable(), kept);
        QTest::qWait(50);
        QCOMPARE(pair.Client.BytesAvailable(), kept);
        QByteArray got;
        connect(&pair.Client, &TLink::DataAvailable, this, [&] { got += ReadAll(pair.Client); });
        got += ReadAll(pair.Client);
        QCOMPARE(got, flood.right(kept)); // the newest bytes, in order
        QTRY_COMPARE(dropped, static_cast<quint64>(sent - kept));
    }

    void HandlerThatReadsNothingIsNotCalledAgain() {
        TTcpPair pair;
        QVERIFY2(pair.Open(&Why), qPrintable(Why));
        QList<int> counts;
        connect(&pair.Client, &TLink::DataAvailable, this, [&](int count) { counts << count; });
        QVERIFY(Send(pair.Server, "12345"));
        QTRY_COMPARE(counts.size(), 1);
        QTest::qWait(50);
        QCOMPARE(counts, QList<int>{5});
        QVERIFY(Send(pair.Server, "678"));
        QTRY_COMPARE(counts, (QList<int>{5, 8}));
    }

    // The engine waits for a reply inside its data handler; the reply must reach it there.
    void NestedWaitInsideHandlerSeesNewBytes() {
        TTcpPair pair;
        QVERIFY2(pair.Open(&Why), qPrintable(Why));
        QByteArray got;
        int depth = 0;
        bool nestedSawSecond = false;
        bool timedOut = false;
        QEventLoop* wait = nullptr;
        connect(&pair.Client, &TLink::DataAvailable, this, [&] {
            ++depth;
            got += ReadAll(pair.Client);
            if (depth == 1 && got == "first") {
                Send(pair.Server, "second");
                QEventLoop loop;
                wait = &loop;
                QTimer::singleShot(2000, &loop, [&] {
                    timedOut = true;
                    loop.quit();
                });
                loop.exec();
                wait = nullptr;
            } else if (depth == 2 && got == "firstsecond") {
                nestedSawSecond = true;
                if (wait) wait->quit();
            }
            --depth;
        });
        QVERIFY(Send(pair.Server, "first"));
        QTRY_VERIFY(nestedSawSecond || timedOut);
        QVERIFY(!timedOut);
    }
};

QTEST_GUILESS_MAIN(TLinkTest)
#include "tst_link.moc"
