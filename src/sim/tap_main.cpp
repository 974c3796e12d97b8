// quintrel-tap: a line to listen to. Panel, readers and any number of listeners join one
// bus, as on an RS-485 pair, over TCP and over pseudo-terminals.

#include "tap_bus.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QStringList>
#include <QTextStream>

using namespace quintrel::sim;

namespace {

const char* const kHelp = R"help(Usage: quintrel-tap ENDPOINTS [OPTIONS]

A line to listen to. Every endpoint joins one bus, as devices on an RS-485 pair
do: every byte one of them writes is heard, in order, by all the others, and
never by the writer itself. Bytes that two endpoints write at once do not
collide as on a real pair: each piece the tap reads is passed on whole.

Endpoints (each repeatable; at least one):
  --listen PORT          TCP on 127.0.0.1: every client that connects joins the
                         bus. PORT 0 picks a free port; the line
                         "listening on ADDRESS:PORT" tells which.
  --bind ADDRESS         listen on ADDRESS instead of 127.0.0.1
  --pty PATH             a pseudo-terminal of its own, linked at PATH (the line
                         "pty DEVICE linked at PATH" names its device); whatever
                         opens it is on the bus. Bytes for it while nobody has it
                         open are lost, as on a pair with nobody listening, and so
                         is what its last user left unread.

Options:
  --backlog BYTES        the most that waits for an endpoint that does not read
                         fast enough (default 16777216); what does not fit is lost
                         to that endpoint, as to a receiver that overflows
  --record               print on standard output "joined N tcp ADDRESS:PORT",
                         "joined N pty PATH" and "left N" as endpoints come and go,
                         and "opened N" and "closed N" as the first user of a
                         pseudo-terminal opens it and the last one closes it
  -h, --help             this text      -v, --version    the version

Endpoints are numbered from 1 in joining order, the pseudo-terminals first in
the order given.

Commands on standard input, one per line:
  stats    one line each endpoint: "endpoint N wrote BYTES bytes, heard BYTES bytes"
  quit
)help";

int Fail(const QString& message) {
    QTextStream(stderr) << "quintrel-tap: " << message << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    TTapConfig config;

    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            QTextStream(stdout) << kHelp;
            return 0;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--version")) {
            QTextStream(stdout) << "quintrel-tap " << QUINTREL_VERSION << '\n';
            return 0;
        } else if (a == QLatin1String("--listen")) {
            bool ok = false;
            const int port = value().toInt(&ok);
            if (!ok || port < 0 || port > 65535)
                return Fail(QStringLiteral("--listen needs a port 0..65535"));
            config.ListenPorts << port;
        } else if (a == QLatin1String("--bind")) {
            config.ListenAddress = value();
            if (QHostAddress(config.ListenAddress).isNull())
                return Fail(QStringLiteral("--bind needs an IP address"));
        } else if (a == QLatin1String("--pty")) {
            const QString path = value();
            if (path.isEmpty()) return Fail(QStringLiteral("--pty needs a path"));
            if (config.PtyPaths.contains(path))
                return Fail(QStringLiteral("--pty %1 is given twice").arg(path));
            config.PtyPaths << path;
        } else if (a == QLatin1String("--backlog")) {
            bool ok = false;
            config.Backlog = value().toLongLong(&ok);
            if (!ok || config.Backlog < 0)
                return Fail(QStringLiteral("--backlog needs a number of bytes"));
        } else if (a == QLatin1String("--record")) {
            config.Record = true;
        } else {
            return Fail(QStringLiteral("unknown option %1 (see --help)").arg(a));
        }
    }
    if (config.ListenPorts.isEmpty() && config.PtyPaths.isEmpty())
        return Fail(QStringLiteral("give --listen or --pty (see --help)"));

    TTapBus bus(config);
    QString error;
    if (!bus.Start(&error)) return Fail(error);
    bus.WatchStandardInput();
    return app.exec();
}
