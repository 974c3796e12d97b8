#pragma once
// The simulated line: a TCP listener, a TCP client or a serial device carrying
// frames to the readers of a TSimBus, with the faults a real line shows on demand.

#include "sim/sim_bus.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <random>

class QIODevice;
class QSerialPort;
class QTcpServer;
class QSocketNotifier;
class QTimer;

namespace quintrel::sim {

class TPtyLine;

struct TLineConfig {
    QString ListenAddress = QStringLiteral("127.0.0.1");
    int ListenPort = 0; // --listen
    QString ConnectTo;  // --connect host:port
    QString SerialPath; // --serial
    QString PtyPath;    // --pty: a pseudo-terminal of our own, linked here
    int Baud = 9600;
    int SplitChunk = 0;            // send replies in pieces of this many bytes ...
    int SplitGapMs = 0;            // ... with this pause between them
    bool Garbage = false;          // noise bytes before every reply
    int DropAfter = 0;             // close the connection after this many frames
    int NoiseEveryMs = 0;          // a random byte on the line this often
    double LineNoise = 0;          // the share of reply bytes flipped, dropped or with one inserted
    double DropShare = 0;          // the share of replies lost whole (the reader keeps them)
    int CardEveryMs = 0;           // a card read, numbered from 1 (32 bits), this often
    unsigned NoiseSeed = 20261207; // the same seed gives the same damage, run after run
    int InterByteMs = 200; // a frame in assembly is dropped after this much quiet (0: never)
    bool Verbose = false;
};

class TSimLine : public QObject {
    Q_OBJECT

  public:
    TSimLine(TSimBus& bus, const TLineConfig& config, QObject* parent = nullptr);
    bool Start(QString* error);
    // One command typed on standard input (see --help).
    QString Command(const QString& line);
    void WatchStandardInput();

  private:
    void Attach(QIODevice* device);
    void OnReadyRead();
    void Feed(std::uint8_t b);
    void Send(const std::vector<std::uint8_t>& bytes);
    void SendReplies(const std::vector<TBusReply>& replies);
    void WriteNow(const QByteArray& bytes);
    void SendNoise();
    QByteArray Damage(const std::vector<std::uint8_t>& bytes);
    void FeedBoot(std::uint8_t b);
    void ApplyLineSpeed();
    void SetLineSpeed(int baud);
    bool HeardAtOurSpeed() const;

    TSimBus& Bus;
    TLineConfig Config;
    QTcpServer* Server = nullptr;
    QSerialPort* Serial = nullptr;
    QPointer<QIODevice> Device;
    std::vector<std::uint8_t> Assembly;
    QElapsedTimer ByteGap; // since the last byte of the frame in assembly
    int RepliesWaiting = 0; // answers held back by --answer-delay or late, not yet sent
    int SplitOnceAt = 0;   // the next reply: its first bytes, then the rest after a gap
    int SplitOnceGapMs = 0;
    QSocketNotifier* Stdin = nullptr;
    QByteArray StdinBuffer;
    std::size_t FramesSeen = 0;
    std::mt19937 NoiseRandom;
    std::size_t RepliesSent = 0;
    std::size_t RepliesUndamaged = 0; // what a receiver must get, every one of them
    std::size_t RepliesDropped = 0;
    std::uint64_t CardsPresented = 0;
    TPtyLine* Pty = nullptr;
    int LineBaud = 9600;        // the speed the readers listen at
    int OsdpBaud = 9600;        // ... and the one they return to after the bootloader
    QTimer* BootIdle = nullptr; // the new firmware starts once the line is quiet
};

} // namespace quintrel::sim
