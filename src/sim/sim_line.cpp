#include "sim_line.h"

#include "log/hex.h"
#include "pty_line.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace quintrel::sim {

TSimLine::TSimLine(TSimBus& bus, const TLineConfig& config, QObject* parent)
    : QObject(parent), Bus(bus), Config(config), NoiseRandom(config.NoiseSeed) {}

void TSimLine::SendNoise() {
    static std::uint32_t state = 0x2545F491u;
    state ^= state << 13; // xorshift: any byte value, 0x53 included
    state ^= state >> 17;
    state ^= state << 5;
    const char b = static_cast<char>(state & 0xFF);
    WriteNow(QByteArray(1, b));
}

bool TSimLine::Start(QString* error) {
    LineBaud = Config.Baud;
    Bus.SetLineBaud(LineBaud);
    BootIdle = new QTimer(this);
    BootIdle->setSingleShot(true);
    connect(BootIdle, &QTimer::timeout, this, [this] {
        Bus.LeaveBootloader();
        SetLineSpeed(OsdpBaud);
    });
    if (Config.CardEveryMs > 0) {
        auto* cards = new QTimer(this);
        cards->setTimerType(Qt::PreciseTimer);
        connect(cards, &QTimer::timeout, this, [this] { Bus.QueueCard(-1, ++CardsPresented, 32); });
        cards->start(Config.CardEveryMs);
    }
    if (Config.NoiseEveryMs > 0) {
        auto* noise = new QTimer(this);
        noise->setTimerType(Qt::PreciseTimer);
        connect(noise, &QTimer::timeout, this, &TSimLine::SendNoise);
        noise->start(Config.NoiseEveryMs);
    }
    if (!Config.PtyPath.isEmpty()) {
        Pty = new TPtyLine(this);
        if (!Pty->Create(Config.PtyPath, error)) return false;
        Attach(Pty);
        // Tests read the terminal's path from here.
        QTextStream(stdout) << "pty " << Pty->TerminalPath() << " linked at " << Config.PtyPath
                            << Qt::endl;
        return true;
    }
    if (!Config.SerialPath.isEmpty()) {
        Serial = new QSerialPort(Config.SerialPath, this);
        Serial->setBaudRate(Config.Baud);
        if (!Serial->open(QIODevice::ReadWrite)) {
            *error =
                QStringLiteral("cannot open %1: %2").arg(Config.SerialPath, Serial->errorString());
            return false;
        }
        Attach(Serial);
        return true;
    }
    if (!Config.ConnectTo.isEmpty()) {
        const int colon = Config.ConnectTo.lastIndexOf(QLatin1Char(':'));
        auto* socket = new QTcpSocket(this);
        socket->connectToHost(Config.ConnectTo.left(colon),
                              static_cast<quint16>(Config.ConnectTo.mid(colon + 1).toUInt()));
        if (colon <= 0 || !socket->waitForConnected(5000)) {
            *error = QStringLiteral("cannot connect to %1").arg(Config.ConnectTo);
            return false;
        }
        connect(socket, &QTcpSocket::disconnected, qApp, &QCoreApplication::quit);
        Attach(socket);
        return true;
    }
    Server = new QTcpServer(this);
    Server->setMaxPendingConnections(1);
    if (!Server->listen(QHostAddress(Config.ListenAddress),
                        static_cast<quint16>(Config.ListenPort))) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(Config.ListenAddress)
                     .arg(Config.ListenPort)
                     .arg(Server->errorString());
        return false;
    }
    connect(Server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* peer = Server->nextPendingConnection()) {
            // One control panel at a time; a new one takes the line over, since the old
            // one's goodbye may still be on its way.
            if (Device) {
                QIODevice* old = Device;
                Device = nullptr;
                old->close();
                old->deleteLater();
            }
            // Forget the peer at once, not when it is deleted: the next control panel may
            // already be knocking.
            connect(peer, &QTcpSocket::disconnected, this, [this, peer] {
                if (Device == peer) Device = nullptr;
                peer->deleteLater();
            });
            Attach(peer);
        }
    });
    // Tests read the port from here when they asked for port 0.
    QTextStream(stdout) << "listening on " << Server->serverAddress().toString() << ':'
                        << Server->serverPort() << Qt::endl;
    return true;
}

void TSimLine::Attach(QIODevice* device) {
    Device = device;
    if (auto* socket = qobject_cast<QAbstractSocket*>(device))
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Assembly.clear();
    connect(device, &QIODevice::readyRead, this, &TSimLine::OnReadyRead);
}

// On a pseudo-terminal of our own the control panel's speed is known: at another speed
// than ours it would only be noise to a real reader, so it is not heard at all.
bool TSimLine::HeardAtOurSpeed() const {
    return !Pty || Pty->PeerBaud() == LineBaud;
}

void TSimLine::SetLineSpeed(int baud) {
    if (baud <= 0 || baud == LineBaud) return;
    LineBaud = baud;
    Bus.SetLineBaud(baud);
    if (Serial) {
        Serial->flush();
        Serial->waitForBytesWritten(200);
        Serial->setBaudRate(baud);
    }
    if (Bus.Record) Bus.Record("speed " + std::to_string(baud));
}

void TSimLine::ApplyLineSpeed() {
    SetLineSpeed(Bus.TakeLineSpeed());
}

void TSimLine::OnReadyRead() {
    if (!Device) return;
    const QByteArray bytes = Device->readAll();
    if (!HeardAtOurSpeed()) return;
    for (char c : bytes)
        Feed(static_cast<std::uint8_t>(c));
}

void TSimLine::FeedBoot(std::uint8_t b) {
    BootIdle->start(500);
    const std::vector<std::uint8_t> reply = Bus.Boot.Feed(b);
    if (!reply.empty()) Send(reply);
    ApplyLineSpeed();
}

void TSimLine::Feed(std::uint8_t b) {
    if (Bus.Boot.Active()) {
        FeedBoot(b);
        return;
    }
    // A frame cut short is given up after the inter-byte time, as a standard reader does,
    // so the next frame is heard from its start byte.
    if (!Assembly.empty() && Config.InterByteMs > 0 && ByteGap.isValid() &&
        ByteGap.elapsed() > Config.InterByteMs)
        Assembly.clear();
    if (Assembly.empty() && b != 0x53) return;
    Assembly.push_back(b);
    ByteGap.start();
    if (Assembly.size() < 4) return;
    const std::size_t length = Assembly[2] | (Assembly[3] << 8);
    if (length < 7 || length > 2080) {
        Assembly.clear();
        return;
    }
    if (Assembly.size() < length) return;

    std::vector<std::uint8_t> frame;
    frame.swap(Assembly);
    ++FramesSeen;
    if (Config.Verbose)
        QTextStream(stderr) << "< "
                            << QString::fromStdString(BytesToHex(frame.data(), frame.size()))
                            << Qt::endl;
    // A frame that arrives while an answer still waits to leave would meet it on a half-duplex
    // pair: the control panel did not wait for the reply it asked for.
    if (RepliesWaiting > 0 && Bus.Record && frame.size() > 1)
        Bus.Record("collision " + std::to_string(frame[1] & 0x7F));
    const bool inApplication = !Bus.Boot.Active();
    SendReplies(Bus.HandleFrame(frame.data(), frame.size()));
    if (inApplication && Bus.Boot.Active()) {
        OsdpBaud = LineBaud;         // where the new firmware will listen again
        SetLineSpeed(kBootRates[2]); // a bootloader always starts at 9600
        BootIdle->start(500);
    }
    if (Config.DropAfter > 0 && FramesSeen >= static_cast<std::size_t>(Config.DropAfter) &&
        Device) {
        QTextStream(stderr) << "dropping the connection after " << FramesSeen << " frames"
                            << Qt::endl;
        Device->close();
        QCoreApplication::quit();
    }
}

// Replies leave at their own time; a change of line speed waits for the last of them.
void TSimLine::SendReplies(const std::vector<TBusReply>& replies) {
    int last = 0;
    for (const TBusReply& r : replies) {
        if (r.DelayMs <= 0) {
            Send(r.Bytes);
            continue;
        }
        last = std::max(last, r.DelayMs);
        ++RepliesWaiting;
        QTimer::singleShot(r.DelayMs, Qt::PreciseTimer, this, [this, bytes = r.Bytes] {
            --RepliesWaiting;
            Send(bytes);
        });
    }
    if (last == 0)
        ApplyLineSpeed();
    else
        QTimer::singleShot(last, Qt::PreciseTimer, this, [this] { ApplyLineSpeed(); });
}

void TSimLine::Send(const std::vector<std::uint8_t>& bytes) {
    if (Config.Verbose)
        QTextStream(stderr) << "> "
                            << QString::fromStdString(BytesToHex(bytes.data(), bytes.size()))
                            << Qt::endl;
    if (Config.DropShare > 0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(NoiseRandom) < Config.DropShare) {
        ++RepliesDropped; // lost whole: the reader sent it, the line never carried it
        return;
    }
    QByteArray out;
    if (Config.Garbage) out.append("\x11\x22\x53\x00", 4); // noise, a false start byte among it
    out.append(Damage(bytes));
    if (SplitOnceAt > 0) {
        const QByteArray rest = out.mid(std::exchange(SplitOnceAt, 0));
        WriteNow(out.left(out.size() - rest.size()));
        QTimer::singleShot(SplitOnceGapMs, Qt::PreciseTimer, this,
                           [this, rest] { WriteNow(rest); });
        return;
    }
    if (Config.SplitChunk <= 0) {
        WriteNow(out);
        return;
    }
    int delay = 0;
    for (qsizetype i = 0; i < out.size(); i += Config.SplitChunk) {
        const QByteArray piece = out.mid(i, Config.SplitChunk);
        if (delay == 0)
            WriteNow(piece);
        else
            QTimer::singleShot(delay, this, [this, piece] { WriteNow(piece); });
        delay += Config.SplitGapMs;
    }
}

// Line noise: each byte is, with the configured chance, flipped, dropped or preceded by a
// stray one. Replies whose frame came through untouched (noise before its start byte
// aside) are counted: a receiver must get every one of them.
QByteArray TSimLine::Damage(const std::vector<std::uint8_t>& bytes) {
    ++RepliesSent;
    QByteArray out;
    out.reserve(static_cast<qsizetype>(bytes.size()) + 4);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    bool damaged = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (Config.LineNoise <= 0 || chance(NoiseRandom) >= Config.LineNoise) {
            out.append(static_cast<char>(b));
            continue;
        }
        const int kind = static_cast<int>(NoiseRandom() % 3);
        // The mark byte, and anything before the start byte, is not the frame's.
        if (i >= 2 || (i == 1 && kind != 2)) damaged = true;
        switch (kind) {
        case 0: // flipped bits
            out.append(static_cast<char>(b ^ (1 + NoiseRandom() % 255)));
            break;
        case 1: // dropped
            break;
        default: // a stray byte before it
            out.append(static_cast<char>(NoiseRandom() & 0xFF));
            out.append(static_cast<char>(b));
            break;
        }
    }
    if (!damaged) ++RepliesUndamaged;
    return out;
}

void TSimLine::WriteNow(const QByteArray& bytes) {
    if (!Device || !Device->isOpen() || !HeardAtOurSpeed()) return;
    Device->write(bytes);
    if (auto* socket = qobject_cast<QAbstractSocket*>(Device.data())) socket->flush();
    if (Serial) Serial->flush();
}

QString TSimLine::Command(const QString& line) {
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty()) return {};
    const QString verb = words[0].toLower();
    auto number = [&](int i, int base, bool* ok) {
        return i < words.size() ? words[i].toULongLong(ok, base) : (*ok = false, 0ULL);
    };
    bool ok = false;
    if (verb == QLatin1String("card")) {
        // card NUMBER [BITS [ADDRESS]]: NUMBER in decimal, or hex with 0x
        const QString n = words.value(1);
        const std::uint64_t value = n.startsWith(QLatin1String("0x"))
                                        ? n.mid(2).toULongLong(&ok, 16)
                                        : n.toULongLong(&ok, 10);
        if (!ok) return QStringLiteral("card: a number is needed");
        const int bits = words.size() > 2 ? static_cast<int>(number(2, 10, &ok)) : 26;
        const int address = words.size() > 3 ? static_cast<int>(number(3, 10, &ok)) : -1;
        return Bus.QueueCard(address, value, bits) ? QStringLiteral("card queued")
                                                   : QStringLiteral("card: not queued");
    }
    if (verb == QLatin1String("keys")) {
        const int address = words.size() > 2 ? static_cast<int>(number(2, 10, &ok)) : -1;
        return Bus.QueueKeys(address, words.value(1).toStdString())
                   ? QStringLiteral("keys queued")
                   : QStringLiteral("keys: not queued");
    }
    if (verb == QLatin1String("corrupt-mac")) {
        Bus.CorruptNextMac();
        return QStringLiteral("next reply MAC will be corrupted");
    }
    if (verb == QLatin1String("silent") || verb == QLatin1String("answer")) {
        const int address = words.size() > 1 ? static_cast<int>(number(1, 10, &ok)) : -1;
        return Bus.SetSilent(address, verb == QLatin1String("silent"))
                   ? verb + QStringLiteral(" ok")
                   : QStringLiteral("no such reader");
    }
    if (verb == QLatin1String("restart")) {
        const int address = words.size() > 1 ? static_cast<int>(number(1, 10, &ok)) : -1;
        return Bus.Restart(address) ? QStringLiteral("restarted") : QStringLiteral("no such reader");
    }
    if (verb == QLatin1String("bad-crc-every")) {
        Bus.SetBadCrcEvery(static_cast<int>(number(1, 10, &ok)));
        return QStringLiteral("ok");
    }
    // Faults counted from now: 1 is the next reply or command.
    const auto count = [&](int i) {
        const std::size_t n = words.size() > i ? number(i, 10, &ok) : (ok = true, 1);
        return ok && n > 0 ? n : 0;
    };
    if (verb == QLatin1String("corrupt-reply")) {
        const std::size_t n = count(1);
        if (!n) return QStringLiteral("corrupt-reply: a count from 1 is needed");
        Bus.CorruptReplyFromNow(n);
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("corrupt-reply-to")) {
        const auto code = number(1, 16, &ok);
        if (!ok || code > 0xFF) return QStringLiteral("corrupt-reply-to: a command code is needed");
        Bus.CorruptReplyTo(static_cast<std::uint8_t>(code));
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("drop-command")) {
        const std::size_t n = count(1);
        if (!n) return QStringLiteral("drop-command: a count from 1 is needed");
        Bus.DropCommandFromNow(n);
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("drop-reply")) {
        const std::size_t n = count(1);
        if (!n) return QStringLiteral("drop-reply: a count from 1 is needed");
        Bus.DropReplyFromNow(n);
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("split-next")) {
        // split-next N GAP: the next reply's first N bytes (mark byte included), the rest
        // GAP ms later
        bool okGap = false;
        const auto at = number(1, 10, &ok);
        const auto gap = words.value(2).toInt(&okGap);
        if (!ok || !okGap || at == 0 || at > 2000 || gap < 0 || gap > 60000)
            return QStringLiteral("split-next: N and GAP are needed");
        SplitOnceAt = static_cast<int>(at);
        SplitOnceGapMs = gap;
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("late")) {
        const auto ms = number(1, 10, &ok);
        if (!ok || ms == 0 || ms > 60000) return QStringLiteral("late: 1..60000 ms are needed");
        Bus.LateNext(static_cast<int>(ms));
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("busy")) {
        const std::size_t n = count(1);
        Bus.AnswerBusy(static_cast<int>(n));
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("last-code")) {
        // last-code TYPE VALUE [ADDRESS]: the reader has just read this customer code (hex)
        const auto type = number(1, 16, &ok);
        bool okValue = false;
        const auto value = words.value(2).toUInt(&okValue, 16);
        const int address = words.size() > 3 ? static_cast<int>(number(3, 10, &ok)) : -1;
        if (!okValue || type > 0xFF || value > 0xFFFF)
            return QStringLiteral("last-code: TYPE and VALUE in hex are needed");
        return Bus.SetLastCode(address, TCustCode{static_cast<std::uint8_t>(type),
                                                  static_cast<std::uint16_t>(value)})
                   ? QStringLiteral("ok")
                   : QStringLiteral("no such reader");
    }
    if (verb == QLatin1String("maker")) {
        const int address = words.size() > 1 ? static_cast<int>(number(1, 10, &ok)) : -1;
        const std::string text = Bus.MakerText(address);
        return text.empty() ? QStringLiteral("no such reader") : QString::fromStdString(text);
    }
    if (verb == QLatin1String("ft-delay")) {
        Bus.SetFileDelay(static_cast<int>(number(1, 10, &ok)));
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("ft-max")) {
        const auto bytes = number(1, 10, &ok);
        if (!ok || bytes > 65535) return QStringLiteral("ft-max: 0..65535 bytes are needed");
        Bus.SetFileMaxMessage(static_cast<int>(bytes));
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("ft-status")) {
        const int status = words.value(1).toInt(&ok);
        if (!ok) return QStringLiteral("ft-status: a status is needed");
        Bus.FileStatusNext(status);
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("ft-silent")) {
        Bus.FileSilentNext();
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("nak-plain")) {
        Bus.NakPlainNext();
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("odd-block")) {
        const auto type = number(1, 16, &ok);
        if (!ok || type == 0 || type > 0xFF)
            return QStringLiteral("odd-block: a block type is needed");
        Bus.OddBlockNext(static_cast<std::uint8_t>(type));
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("stats"))
        return QStringLiteral("replies %1 undamaged %2 dropped %3 delivered %4")
            .arg(RepliesSent)
            .arg(RepliesUndamaged)
            .arg(RepliesDropped)
            .arg(Bus.EventsDelivered());
    if (verb == QLatin1String("quit")) {
        QCoreApplication::quit();
        return QStringLiteral("bye");
    }
    return QStringLiteral("unknown command: %1").arg(verb);
}

void TSimLine::WatchStandardInput() {
    Stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(Stdin, &QSocketNotifier::activated, this, [this] {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) { // end of input: keep running, stop watching
            Stdin->setEnabled(false);
            return;
        }
        StdinBuffer.append(buf, n);
        qsizetype nl;
        while ((nl = StdinBuffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(StdinBuffer.left(nl));
            StdinBuffer.remove(0, nl + 1);
            const QString answer = Command(line);
            if (!answer.isEmpty()) QTextStream(stdout) << answer << Qt::endl;
        }
    });
}

} // namespace quintrel::sim
