#include "tap_bus.h"

#include "tap_pty.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include <algorithm>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace quintrel::sim {

namespace {

constexpr qsizetype kLongestCommand = 1024;

void Print(const QString& line) {
    QTextStream(stdout) << line << Qt::endl;
}

} // namespace

TTapBus::TTapBus(const TTapConfig& config, QObject* parent) : QObject(parent), Config(config) {}

bool TTapBus::Start(QString* error) {
    // The pseudo-terminals join first, in the order given: their numbers are known in advance.
    for (const QString& path : Config.PtyPaths) {
        auto* pty = new TTapPty(Config.Backlog, this);
        if (!pty->Create(path, error)) return false;
        // Tests read the terminal's path from here.
        Print(QStringLiteral("pty %1 linked at %2").arg(pty->TerminalPath(), path));
        const int number = Join({nullptr, pty, 0, 0}, QStringLiteral("pty ") + path);
        connect(pty, &TTapPty::Spoke, this,
                [this, number](const QByteArray& bytes) { Spread(number, bytes); });
        connect(pty, &TTapPty::Opened, this,
                [this, number] { Record(QStringLiteral("opened %1").arg(number)); });
        connect(pty, &TTapPty::Closed, this,
                [this, number] { Record(QStringLiteral("closed %1").arg(number)); });
    }
    for (int port : Config.ListenPorts) {
        auto* server = new QTcpServer(this);
        if (!server->listen(QHostAddress(Config.ListenAddress), static_cast<quint16>(port))) {
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(Config.ListenAddress)
                         .arg(port)
                         .arg(server->errorString());
            return false;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] { Accept(server); });
        // Tests read the port from here when they asked for port 0.
        Print(QStringLiteral("listening on %1:%2")
                  .arg(server->serverAddress().toString())
                  .arg(server->serverPort()));
    }
    return true;
}

int TTapBus::Join(TEndpoint endpoint, const QString& where) {
    const int number = ++LastNumber;
    Endpoints[number] = endpoint;
    Record(QStringLiteral("joined %1 %2").arg(number).arg(where));
    return number;
}

void TTapBus::Accept(QTcpServer* server) {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const int number = Join({socket, nullptr, 0, 0}, QStringLiteral("tcp %1:%2")
                                                             .arg(socket->peerAddress().toString())
                                                             .arg(socket->peerPort()));
        connect(socket, &QTcpSocket::readyRead, this,
                [this, number, socket] { Spread(number, socket->readAll()); });
        // Queued: a write to a client that is gone may report it from inside Spread.
        connect(
            socket, &QTcpSocket::disconnected, this, [this, number] { Leave(number); },
            Qt::QueuedConnection);
    }
}

void TTapBus::Leave(int number) {
    const auto found = Endpoints.find(number);
    if (found == Endpoints.end() || !found->second.Socket) return;
    QTcpSocket* socket = found->second.Socket;
    if (socket->bytesAvailable() > 0) Spread(number, socket->readAll()); // its last words
    Endpoints.erase(number);
    socket->deleteLater();
    Record(QStringLiteral("left %1").arg(number));
}

void TTapBus::Spread(int from, const QByteArray& bytes) {
    const auto writer = Endpoints.find(from);
    if (writer == Endpoints.end() || bytes.isEmpty()) return;
    writer->second.Wrote += bytes.size();
    for (auto& [number, endpoint] : Endpoints)
        if (number != from) endpoint.Heard += Deliver(endpoint, bytes);
}

// Like a terminal's, a client's share goes to the system at once while it can take it; only
// what the system cannot take waits, up to the backlog, and the rest is lost to that client.
qint64 TTapBus::Deliver(TEndpoint& to, const QByteArray& bytes) {
    if (to.Pty) return to.Pty->Deliver(bytes);
    QTcpSocket* socket = to.Socket;
    if (socket->state() != QAbstractSocket::ConnectedState) return 0;
    qint64 taken = 0;
    if (socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(static_cast<int>(socket->socketDescriptor()), bytes.constData(),
                                 static_cast<size_t>(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            taken = n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return 0; // gone: the socket tells by itself
    }
    const qint64 keep =
        std::min<qint64>(bytes.size() - taken, Config.Backlog - socket->bytesToWrite());
    if (keep > 0) taken += std::max<qint64>(socket->write(bytes.constData() + taken, keep), 0);
    return taken;
}

void TTapBus::Record(const QString& line) {
    if (Config.Record) Print(line);
}

QStringList TTapBus::Command(const QString& line) {
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty()) return {};
    const QString verb = words[0].toLower();
    if (verb == QLatin1String("stats")) {
        QStringList lines;
        for (const auto& [number, endpoint] : Endpoints)
            lines << QStringLiteral("endpoint %1 wrote %2 bytes, heard %3 bytes")
                         .arg(number)
                         .arg(endpoint.Wrote)
                         .arg(endpoint.Heard);
        if (lines.isEmpty()) lines << QStringLiteral("no endpoints");
        return lines;
    }
    if (verb == QLatin1String("quit")) {
        QCoreApplication::quit();
        return {QStringLiteral("bye")};
    }
    return {QStringLiteral("unknown command: %1").arg(verb)};
}

void TTapBus::WatchStandardInput() {
    Stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(Stdin, &QSocketNotifier::activated, this, [this] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) { // end of input: keep running, stop watching
            Stdin->setEnabled(false);
            return;
        }
        StdinBuffer.append(buffer, n);
        qsizetype newline;
        while ((newline = StdinBuffer.indexOf('\n')) >= 0) {
            const QString command = QString::fromUtf8(StdinBuffer.left(newline));
            StdinBuffer.remove(0, newline + 1);
            for (const QString& answer : Command(command))
                Print(answer);
        }
        if (StdinBuffer.size() > kLongestCommand) {
            StdinBuffer.clear();
            Print(QStringLiteral("command too long"));
        }
    });
}

} // namespace quintrel::sim
