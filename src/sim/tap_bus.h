#pragma once
// The tap: endpoints joined as devices on one RS-485 pair are. Every byte an endpoint writes
// is heard, in the order the tap read it, by every other endpoint and never by the writer.
// Endpoints are TCP clients of the tap's listening ports and users of its pseudo-terminals.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

namespace quintrel::sim {

class TTapPty;

struct TTapConfig {
    QString ListenAddress = QStringLiteral("127.0.0.1");
    QList<int> ListenPorts; // --listen, each
    QStringList PtyPaths;   // --pty, each
    // What is held for an endpoint that does not read fast enough; beyond it, it misses bytes.
    qint64 Backlog = 16 * 1024 * 1024;
    bool Record = false; // print joins and departures
};

class TTapBus : public QObject {
    Q_OBJECT

  public:
    explicit TTapBus(const TTapConfig& config, QObject* parent = nullptr);
    bool Start(QString* error);
    // One command typed on standard input; the lines it answers with.
    QStringList Command(const QString& line);
    void WatchStandardInput();

  private:
    struct TEndpoint {
        QTcpSocket* Socket = nullptr; // one of these two
        TTapPty* Pty = nullptr;
        qint64 Wrote = 0;
        qint64 Heard = 0;
    };

    int Join(TEndpoint endpoint, const QString& where);
    void Accept(QTcpServer* server);
    void Leave(int number);
    void Spread(int from, const QByteArray& bytes);
    qint64 Deliver(TEndpoint& to, const QByteArray& bytes);
    void Record(const QString& line);

    TTapConfig Config;
    std::map<int, TEndpoint> Endpoints; // by number, counted from 1 in joining order
    int LastNumber = 0;
    QSocketNotifier* Stdin = nullptr;
    QByteArray StdinBuffer;
};

} // namespace quintrel::sim
