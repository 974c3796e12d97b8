#pragma once
// One pseudo-terminal on the tap's bus. Whatever opens its terminal side is on the line;
// while nobody has it open, bytes for it are lost, as on a pair with nobody listening.
//
// The tap holds the terminal side open itself, so the controlling side never sees a hang-up
// (which would wake a poll for ever). Whether anyone else has it open is told by the
// kernel's file events (open and close) on the terminal's device, not by polling.

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace quintrel::sim {

class TTapPty : public QObject {
    Q_OBJECT

  public:
    // backlog: how many bytes are held for a user that does not read fast enough.
    explicit TTapPty(qint64 backlog, QObject* parent = nullptr);
    ~TTapPty() override;

    bool Create(const QString& linkPath, QString* error);
    QString TerminalPath() const { return SlavePath; }
    QString LinkPath() const { return Link; }

    // Bytes for whoever has the terminal open; returns how many of them it will get
    // (none while nobody has it open, fewer than given once the backlog is full).
    qint64 Deliver(const QByteArray& bytes);

  signals:
    void Spoke(const QByteArray& bytes);
    // The first user opened the terminal; the last one closed it.
    void Opened();
    void Closed();

  private:
    void OnReadable();
    void OnWritable();
    void OnFileEvents();
    void Vacate();

    qint64 BacklogLimit;
    int Master = -1;
    int Slave = -1;
    int Watch = -1; // inotify descriptor watching the terminal's device
    int Users = 0;  // open file descriptions of the terminal other than our own
    QString SlavePath;
    QString Link;
    QByteArray Backlog;
    qsizetype BacklogSent = 0; // the front of Backlog already written
    QSocketNotifier* ReadNotifier = nullptr;
    QSocketNotifier* WriteNotifier = nullptr;
    QSocketNotifier* WatchNotifier = nullptr;
};

} // namespace quintrel::sim
