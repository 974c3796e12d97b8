// The line tap: endpoints over TCP and pseudo-terminals joined as on one RS-485 pair, with
// the engine polling the simulated reader through it while others listen.

#include "osdp/bytes.h"
#include "support/composer_fixture.h"
#include "support/pd_process.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace quintrel;
using namespace quintrel::test;

class TstTap : public QObject {
    Q_OBJECT

  private slots:
    void ListenerHearsBothDirectionsInLineOrder_data();
    void ListenerHearsBothDirectionsInLineOrder();
    void ListenerBytesReachEveryone();
    void ListeningEngineReadsWhatThePanelSays();
    void PtysHearEachOtherButNotThemselves();
    void PtyWithoutUserLosesBytesAndSleeps();
    void ManyClientsJoinAndLeave();
    void BurstBiggerThanSocketBuffers();
    void BacklogLimitsWhatWaits_data();
    void BacklogLimitsWhatWaits();
    void BadArguments_data();
    void BadArguments();
    void BadCommands();
};

namespace {

const QString kTap = QStringLiteral(QUINTREL_TAP_PATH);

QString Str(const char* text) {
    return QString::fromLatin1(text);
}

// Every byte value, then the same shifted, so no byte is special and blocks differ.
QByteArray Pattern(qsizetype size, int shift = 0) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i + shift + i / 251) & 0xFF);
    return bytes;
}

// A TCP client of the tap that keeps all it hears.
struct TClient {
    QTcpSocket Socket;
    QByteArray Heard;
    bool Reading = true;
    TClient() {
        QObject::connect(&Socket, &QTcpSocket::readyRead, [this] {
            if (Reading) Heard += Socket.readAll();
        });
    }
    bool Connect(int port) {
        Socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        return Socket.waitForConnected(5000);
    }
};

// A user of one of the tap's pseudo-terminals, reading in the event loop once it listens.
struct TPtyUser {
    int Fd = -1;
    QByteArray Heard;
    std::unique_ptr<QSocketNotifier> Notifier;
    ~TPtyUser() { Close(); }
    bool Open(const QString& path) {
        Fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return Fd >= 0;
    }
    void Close() {
        Notifier.reset();
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
    }
    void Listen() {
        Notifier = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Read);
        QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { ReadNow(); });
    }
    void ReadNow() {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(Fd, chunk, sizeof chunk)) > 0)
            Heard.append(chunk, n);
    }
    bool Write(const QByteArray& bytes) {
        return ::write(Fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }
};

struct TEndpointStats {
    qint64 Wrote = -1;
    qint64 Heard = -1;
};

// The tap's answer to "stats", by endpoint number; count is how many endpoints it has.
std::map<int, TEndpointStats> Stats(TPdProcess& tap, int count) {
    const int before = static_cast<int>(tap.Printed(Str("endpoint ")).size());
    tap.Command(Str("stats"));
    std::map<int, TEndpointStats> stats;
    if (!tap.WaitForPrinted(Str("endpoint "), before + count)) return stats;
    const QRegularExpression re(Str("^endpoint (\\d+) wrote (\\d+) bytes, heard (\\d+) bytes$"));
    for (const QString& line : tap.Printed(Str("endpoint ")).mid(before)) {
        const auto m = re.match(line);
        if (m.hasMatch())
            stats[m.captured(1).toInt()] = {m.captured(2).toLongLong(), m.captured(3).toLongLong()};
    }
    return stats;
}

// The tap with the simulated reader joined first, as endpoint 1: over TCP, or on the first of
// three pseudo-terminals (reader, panel, listener).
struct TTappedLine {
    QTemporaryDir Dir;
    TPdProcess Tap{kTap};
    TPdProcess Pd;
    bool Pty = false;
    bool Start(bool pty = false) {
        Pty = pty;
        QStringList args{Str("--record")};
        if (pty)
            for (const char* name : {"reader", "panel", "listener"})
                args << Str("--pty") << Dir.filePath(Str(name));
        else
            args << Str("--listen") << Str("0");
        QString error;
        if (!Tap.Start(args, &error) ||
            !Pd.Start({Str(pty ? "--serial" : "--connect"),
                       pty ? Dir.filePath(Str("reader")) : Str("127.0.0.1:%1").arg(Tap.Port())},
                      &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        return Tap.WaitForPrinted(Str(pty ? "opened 1" : "joined 1 tcp"));
    }
    QString PortName() const {
        return Pty ? Tap.TerminalPaths().value(1) : Str("127.0.0.1:%1").arg(Tap.Port());
    }
};

QByteArray PollFrame(std::uint8_t address) {
    QByteArray frame("\x53\x00\x08\x00\x04\x60", 6);
    frame[1] = static_cast<char>(address);
    const std::uint16_t crc =
        CalcCrc16(reinterpret_cast<const std::uint8_t*>(frame.constData()), 6);
    frame.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
    return frame;
}

// Whether every byte of part is in whole, in order, with gaps allowed.
bool IsInOrderPartOf(const QByteArray& part, const QByteArray& whole) {
    qsizetype at = 0;
    for (char b : part) {
        while (at < whole.size() && whole[at] != b)
            ++at;
        if (at++ == whole.size()) return false;
    }
    return true;
}

// CPU time the process has used, in clock ticks.
qint64 CpuTicks(qint64 pid) {
    QFile stat(Str("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

} // namespace

void TstTap::ListenerHearsBothDirectionsInLineOrder_data() {
    QTest::addColumn<bool>("pty");
    QTest::newRow("tcp") << false;
    QTest::newRow("pseudo-terminals") << true;
}

void TstTap::ListenerHearsBothDirectionsInLineOrder() {
    QFETCH(bool, pty);
    TComposerRig rig;
    TTappedLine line;
    QVERIFY(line.Start(pty));
    const int panel = pty ? 2 : 3, ear = pty ? 3 : 2;
    TClient client;
    TPtyUser user;
    if (pty) {
        QVERIFY(user.Open(line.Dir.filePath(Str("listener"))));
        QVERIFY(line.Tap.WaitForPrinted(Str("opened 3")));
        user.Listen();
    } else {
        QVERIFY(client.Connect(line.Tap.Port()));
        QVERIFY(line.Tap.WaitForPrinted(Str("joined 2 tcp")));
    }
    const QByteArray& heard = pty ? user.Heard : client.Heard;
    QByteArray expected; // every frame with its mark byte, in the order the engine met them
    connect(&rig.Engine, &TEngine::LineFrame,
            [&](bool, const QByteArray& frame) { expected += '\xFF' + frame; });
    QVERIFY(rig.Open(line.PortName()));
    // A secure session, so the listener hears protected frames too.
    rig.Menu(0x76);
    QVERIFY(QTest::qWaitFor([&] { return rig.Engine.Devices()[0].Session.State == ssEstablished; },
                            3000));
    const qsizetype handshake = expected.size();
    QVERIFY(WaitUntil([&] { return expected.size() > 2 * handshake; }, 3000));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();

    QVERIFY(WaitUntil([&] { return heard.size() >= expected.size(); }, 3000));
    QCOMPARE(heard.toHex(' '), expected.toHex(' '));
    auto stats = Stats(line.Tap, 3);
    QCOMPARE(stats[ear].Wrote, 0);
    QCOMPARE(stats[ear].Heard, expected.size());
    QCOMPARE(stats[1].Heard, stats[panel].Wrote);
    QCOMPARE(stats[panel].Heard, stats[1].Wrote);
}

// A second engine that only listens, on the same line, describes every frame as the panel
// does, protected ones included (the session on the default key is followed), and the tap
// hears not one byte from it.
void TstTap::ListeningEngineReadsWhatThePanelSays() {
    TTappedLine line;
    QVERIFY(line.Start());
    TEngineRig ear;
    ear.Engine.View = TViewFlags{.Raw = false, .Description = true, .Poll = true};
    ear.Engine.Port().SetPortName(line.PortName());
    QString error;
    QVERIFY2(ear.Engine.StartListening(&error), qPrintable(error));
    QVERIFY(line.Tap.WaitForPrinted(Str("joined 2 tcp")));
    TComposerRig panel;
    panel.Engine.View = ear.Engine.View;
    QVERIFY(panel.Open(line.PortName()));
    panel.Menu(0x76);
    QVERIFY(QTest::qWaitFor(
        [&] { return panel.Engine.Devices()[0].Session.State == ssEstablished; }, 3000));
    panel.Menu(0x61); // a protected command with data, and its protected reply
    QVERIFY(WaitUntil([&] { return panel.Log.filter(Str("RES_ID")).size() >= 1; }, 3000));
    panel.Engine.StopPolling();
    panel.Engine.WaitExchangeDone();

    const auto frames = [](const QStringList& log) {
        QStringList out;
        for (const QString& l : log)
            if (l.startsWith(Str("> addr=")) || l.startsWith(Str("< addr="))) out << l;
        return out;
    };
    const QStringList said = frames(panel.Log);
    QVERIFY(WaitUntil([&] { return frames(ear.Log).size() >= said.size(); }, 3000));
    QCOMPARE(frames(ear.Log), said);
    QVERIFY(said.filter(Str("SCS17 - GET_ID")).size() == 1);
    QVERIFY(said.filter(Str("SCS18 - RES_ID")).size() == 1);
    QVERIFY(ear.Log.contains(Str("Secure channel with 0 opened (default key)")));
    QCOMPARE(Stats(line.Tap, 3)[2].Wrote, 0);
}

void TstTap::ListenerBytesReachEveryone() {
    TEngineRig rig;
    TTappedLine line;
    QVERIFY(line.Start());
    QVERIFY(rig.Open(line.PortName()));
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();
    QList<QByteArray> engineHeard;
    connect(&rig.Engine, &TEngine::LineFrame, [&](bool sent, const QByteArray& frame) {
        if (!sent) engineHeard << frame;
    });
    TClient speaker;
    QVERIFY(speaker.Connect(line.Tap.Port()));
    QVERIFY(line.Tap.WaitForPrinted(Str("joined 3 tcp")));

    // The reader answers the speaker's poll, and the engine hears both.
    const QByteArray poll = PollFrame(0);
    speaker.Socket.write('\xFF' + poll);
    QVERIFY(WaitUntil(
        [&] {
            return engineHeard.size() >= 2 && speaker.Heard.size() >= 1 + engineHeard[1].size();
        },
        3000));
    QCOMPARE(engineHeard[0], poll);
    QCOMPARE(engineHeard[1].left(2), QByteArray("\x53\x80"));
    QCOMPARE(engineHeard[1][5], '\x40'); // osdp_ACK
    QCOMPARE(speaker.Heard, '\xFF' + engineHeard[1]);
}

void TstTap::PtysHearEachOtherButNotThemselves() {
    QTemporaryDir dir;
    TPdProcess tap(kTap);
    QString error;
    QStringList args{Str("--listen"), Str("0"), Str("--record")};
    for (const char* name : {"a", "b", "c"})
        args << Str("--pty") << dir.filePath(Str(name));
    QVERIFY2(tap.Start(args, &error), qPrintable(error));
    TPtyUser users[3];
    for (int i = 0; i < 3; ++i) {
        QVERIFY(tap.Printed(Str("joined %1 pty ").arg(i + 1)).size() == 1);
        QVERIFY(users[i].Open(dir.filePath(QString(QLatin1Char(static_cast<char>('a' + i))))));
        QVERIFY(tap.WaitForPrinted(Str("opened %1").arg(i + 1)));
        users[i].Listen();
    }
    TClient client;
    QVERIFY(client.Connect(tap.Port()));
    QVERIFY(tap.WaitForPrinted(Str("joined 4 tcp")));

    // Each speaks in turn: every byte value, heard by the three others only.
    for (int from = 0; from < 4; ++from) {
        const QByteArray block = Pattern(512, from);
        if (from < 3)
            QVERIFY(users[from].Write(block));
        else
            client.Socket.write(block);
        QByteArray* heard[4] = {&users[0].Heard, &users[1].Heard, &users[2].Heard, &client.Heard};
        QVERIFY(WaitUntil(
            [&] {
                for (int to = 0; to < 4; ++to)
                    if (to != from && heard[to]->size() < block.size()) return false;
                return true;
            },
            3000));
        if (from < 3) users[from].ReadNow();
        for (int to = 0; to < 4; ++to) {
            QCOMPARE(*heard[to], to == from ? QByteArray() : block);
            heard[to]->clear();
        }
    }
}

void TstTap::PtyWithoutUserLosesBytesAndSleeps() {
    QTemporaryDir dir;
    TPdProcess tap(kTap);
    QString error;
    const QString a = dir.filePath(Str("a")), b = dir.filePath(Str("b"));
    QVERIFY2(
        tap.Start({Str("--pty"), a, Str("--pty"), b, Str("--listen"), Str("0"), Str("--record")},
                  &error),
        qPrintable(error));
    TClient client;
    QVERIFY(client.Connect(tap.Port()));
    QVERIFY(tap.WaitForPrinted(Str("joined 3 tcp")));
    client.Socket.write("lost");
    QVERIFY(WaitUntil([&] { return Stats(tap, 3)[3].Wrote == 4; }, 3000));
    auto stats = Stats(tap, 3);
    QCOMPARE(stats[1].Heard, 0);
    QCOMPARE(stats[2].Heard, 0);
    // a is opened and closed again, b never: neither may keep the tap awake.
    TPtyUser user;
    QVERIFY(user.Open(a));
    QVERIFY(tap.WaitForPrinted(Str("opened 1")));
    user.Close();
    QVERIFY(tap.WaitForPrinted(Str("closed 1")));
    const qint64 before = CpuTicks(tap.ProcessId());
    QTest::qWait(1000);
    QVERIFY(before >= 0);
    QVERIFY2(CpuTicks(tap.ProcessId()) - before < ::sysconf(_SC_CLK_TCK) / 4, "the tap spins");

    // A user who left bytes unread finds none of them when it comes back.
    QVERIFY(user.Open(b));
    QVERIFY(tap.WaitForPrinted(Str("opened 2")));
    client.Socket.write("unread");
    QVERIFY(WaitUntil([&] { return Stats(tap, 3)[2].Heard == 6; }, 3000));
    user.Close();
    QVERIFY(tap.WaitForPrinted(Str("closed 2")));
    QVERIFY(user.Open(b));
    QVERIFY(tap.WaitForPrinted(Str("opened 2"), 2));
    user.Listen();
    client.Socket.write("fresh");
    QVERIFY(WaitUntil([&] { return user.Heard.size() >= 5; }, 3000));
    QCOMPARE(user.Heard, QByteArray("fresh"));
}

void TstTap::ManyClientsJoinAndLeave() {
    constexpr int kClients = 100; // beyond the listening queue's and the server's usual 30
    TPdProcess tap(kTap);
    QString error;
    QVERIFY2(tap.Start({Str("--listen"), Str("0"), Str("--record")}, &error), qPrintable(error));
    std::vector<std::unique_ptr<TClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<TClient>());
        clients.back()->Socket.connectToHost(QHostAddress::LocalHost,
                                             static_cast<quint16>(tap.Port()));
    }
    QVERIFY(tap.WaitForPrinted(Str("joined "), kClients, 10000));
    // Numbers 1..kClients, each client once, told apart by its port.
    std::map<quint16, int> numberOfPort;
    const QRegularExpression re(Str("^joined (\\d+) tcp 127\\.0\\.0\\.1:(\\d+)$"));
    for (const QString& joined : tap.Printed(Str("joined "))) {
        const auto m = re.match(joined);
        QVERIFY2(m.hasMatch(), qPrintable(joined));
        numberOfPort[static_cast<quint16>(m.captured(2).toUInt())] = m.captured(1).toInt();
    }
    std::set<int> numbers;
    for (const auto& c : clients) {
        QVERIFY(
            WaitUntil([&] { return c->Socket.state() == QAbstractSocket::ConnectedState; }, 5000));
        QVERIFY(numberOfPort.count(c->Socket.localPort()));
        numbers.insert(numberOfPort[c->Socket.localPort()]);
    }
    QCOMPARE(numbers.size(), std::size_t{kClients});
    QCOMPARE(*numbers.rbegin(), kClients);

    // Every other client leaves; those left hear each other as before.
    std::set<int> gone;
    for (int i = 1; i < kClients; i += 2) {
        gone.insert(numberOfPort[clients[static_cast<std::size_t>(i)]->Socket.localPort()]);
        clients[static_cast<std::size_t>(i)].reset();
    }
    QVERIFY(tap.WaitForPrinted(Str("left "), kClients / 2));
    std::set<int> left;
    for (const QString& l : tap.Printed(Str("left ")))
        left.insert(l.mid(5).toInt());
    QCOMPARE(left, gone);
    clients[2]->Socket.write("hello");
    QVERIFY(WaitUntil(
        [&] {
            for (std::size_t i = 0; i < clients.size(); i += 2)
                if (i != 2 && clients[i]->Heard != "hello") return false;
            return true;
        },
        5000));
    QCOMPARE(clients[2]->Heard, QByteArray());
    // Last words on the way out still reach everyone.
    clients[4]->Socket.write("bye");
    clients[4]->Socket.disconnectFromHost();
    QVERIFY(WaitUntil([&] { return clients[0]->Heard == "hellobye"; }, 5000));
    QVERIFY(tap.WaitForPrinted(Str("left "), kClients / 2 + 1));
    TClient late;
    QVERIFY(late.Connect(tap.Port()));
    QVERIFY(tap.WaitForPrinted(Str("joined %1 tcp").arg(kClients + 1)));
    QCOMPARE(Stats(tap, kClients / 2).size(), std::size_t{kClients / 2});
}

void TstTap::BurstBiggerThanSocketBuffers() {
    constexpr qsizetype kBurst = 8 * 1024 * 1024;
    QTemporaryDir dir;
    TPdProcess tap(kTap);
    QString error;
    QVERIFY2(tap.Start(
                 {Str("--pty"), dir.filePath(Str("p")), Str("--listen"), Str("0"), Str("--record")},
                 &error),
             qPrintable(error));
    // The listeners are busy elsewhere until the whole burst is in the tap.
    TPtyUser user;
    QVERIFY(user.Open(tap.TerminalPaths().value(0)));
    QVERIFY(tap.WaitForPrinted(Str("opened 1")));
    TClient listener, writer;
    listener.Reading = false;
    listener.Socket.setReadBufferSize(4096);
    QVERIFY(listener.Connect(tap.Port()));
    QVERIFY(writer.Connect(tap.Port()));
    QVERIFY(tap.WaitForPrinted(Str("joined 3 tcp")));
    const QByteArray burst = Pattern(kBurst);
    writer.Socket.write(burst);
    QVERIFY(WaitUntil([&] { return Stats(tap, 3)[3].Wrote == kBurst; }, 20000));
    listener.Reading = true;
    listener.Heard += listener.Socket.readAll();
    user.Listen();
    user.ReadNow();
    QVERIFY(WaitUntil(
        [&] { return listener.Heard.size() >= kBurst && user.Heard.size() >= kBurst; }, 20000));
    QVERIFY(listener.Heard == burst);
    QVERIFY(user.Heard == burst);
}

void TstTap::BacklogLimitsWhatWaits_data() {
    QTest::addColumn<int>("burst");
    QTest::newRow("the backlog's size") << 65536;
    QTest::newRow("eight times it") << 8 * 65536;
}

// A user that does not read gets the start of a burst, as much as the terminal takes and the
// backlog holds, then what fits as the terminal's own buffers move on; the rest is lost to
// it (in order, nothing mixed up), and it hears again once it reads.
void TstTap::BacklogLimitsWhatWaits() {
    QFETCH(int, burst);
    constexpr int kBacklog = 65536;
    QTemporaryDir dir;
    TPdProcess tap(kTap);
    QString error;
    QVERIFY2(tap.Start({Str("--pty"), dir.filePath(Str("p")), Str("--listen"), Str("0"),
                        Str("--backlog"), QString::number(kBacklog), Str("--record")},
                       &error),
             qPrintable(error));
    TPtyUser user;
    QVERIFY(user.Open(tap.TerminalPaths().value(0)));
    QVERIFY(tap.WaitForPrinted(Str("opened 1")));
    TClient writer;
    QVERIFY(writer.Connect(tap.Port()));
    QVERIFY(tap.WaitForPrinted(Str("joined 2 tcp")));
    const QByteArray bytes = Pattern(burst);
    writer.Socket.write(bytes);
    QVERIFY(WaitUntil([&] { return Stats(tap, 2)[2].Wrote == burst; }, 5000));
    const qint64 heard = Stats(tap, 2)[1].Heard;
    if (burst <= kBacklog) {
        QCOMPARE(heard, burst);
    } else {
        QVERIFY2(heard >= kBacklog && heard < burst, qPrintable(QString::number(heard)));
    }
    user.Listen();
    user.ReadNow();
    QVERIFY(WaitUntil([&] { return user.Heard.size() >= heard; }, 3000));
    QCOMPARE(user.Heard.size(), heard);
    QVERIFY(user.Heard.left(kBacklog) == bytes.left(kBacklog));
    QVERIFY(IsInOrderPartOf(user.Heard, bytes));
    writer.Socket.write("after");
    QVERIFY(WaitUntil([&] { return user.Heard.size() >= heard + 5; }, 3000));
    QCOMPARE(user.Heard.mid(heard), QByteArray("after"));
}

void TstTap::BadArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    const QString taken = QDir::tempPath() + Str("/quintrel-tap-twice");
    QTest::newRow("no endpoint") << QStringList{} << 2 << Str("give --listen or --pty");
    QTest::newRow("no port") << QStringList{Str("--listen")} << 2 << Str("--listen needs a port");
    QTest::newRow("port too big") << QStringList{Str("--listen"), Str("65536")} << 2
                                  << Str("--listen needs a port");
    QTest::newRow("bad address") << QStringList{Str("--bind"), Str("nowhere"), Str("--listen"),
                                                Str("0")}
                                 << 2 << Str("--bind needs an IP address");
    QTest::newRow("no such folder") << QStringList{Str("--pty"), Str("/nonexistent/dir/p")} << 2
                                    << Str("cannot link /nonexistent/dir/p");
    QTest::newRow("pty twice") << QStringList{Str("--pty"), taken, Str("--pty"), taken} << 2
                               << Str("is given twice");
    QTest::newRow("negative backlog")
        << QStringList{Str("--listen"), Str("0"), Str("--backlog"), Str("-1")} << 2
        << Str("--backlog needs a number of bytes");
    QTest::newRow("unknown option")
        << QStringList{Str("--loud")} << 2 << Str("unknown option --loud");
    QTest::newRow("version") << QStringList{Str("--version")} << 0 << Str("quintrel-tap ");
    QTest::newRow("help") << QStringList{Str("--help")} << 0 << Str("--backlog BYTES");
}

void TstTap::BadArguments() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    QProcess tap;
    tap.start(kTap, args);
    QVERIFY(tap.waitForFinished(5000));
    const QString output =
        QString::fromUtf8(tap.readAllStandardOutput() + tap.readAllStandardError());
    QCOMPARE(tap.exitCode(), exitCode);
    QVERIFY2(output.contains(text), qPrintable(output));
}

void TstTap::BadCommands() {
    TPdProcess tap(kTap);
    QString error;
    QVERIFY2(tap.Start({Str("--listen"), Str("0")}, &error), qPrintable(error));
    tap.Command(Str("stats"));
    QVERIFY(tap.WaitForPrinted(Str("no endpoints")));
    tap.Command(Str("shout loudly"));
    QVERIFY(tap.WaitForPrinted(Str("unknown command: shout")));
    tap.Command(QString(2000, QLatin1Char('x')));
    QVERIFY(tap.WaitForPrinted(Str("command too long")));
    tap.Command(Str("quit"));
    QVERIFY(tap.WaitForPrinted(Str("bye")));
}

QTEST_GUILESS_MAIN(TstTap)
#include "tst_tap.moc"
