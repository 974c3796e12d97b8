#pragma once
// A device inside the test process, on the far end of a loopback TCP connection: it
// sees every frame the engine sends and answers with exactly the bytes the test
// chooses, so assembly and fault handling can be driven byte by byte.

#include "osdp/types.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <vector>

namespace quintrel::test {

struct TSentFrame {
    std::uint8_t Address = 0;
    std::uint8_t Sequence = 0;
    std::uint8_t Code = 0;
    QByteArray Bytes; // the frame without the mark byte
    // When it arrived and when its reply left (-1: none), in ms since the device was made.
    double ReceivedMs = 0;
    double RepliedMs = -1;
};

class TFakeDevice : public QObject {
    Q_OBJECT

  public:
    TFakeDevice();
    bool Listen(quint16 port = 0); // 0: any free port
    QString PortName() const;
    bool WaitConnected(int ms = 3000);
    void Drop();

    // Bytes to send for each frame received; empty = stay silent. Default: a plain ACK.
    std::function<QByteArray(const TSentFrame&)> Reply;
    void SendRaw(const QByteArray& bytes);
    std::vector<TSentFrame> Frames;
    bool WaitFrames(std::size_t count, int ms = 3000);

    // A reply frame as a device builds it, in the command's check mode.
    static QByteArray BuildReply(std::uint8_t address, std::uint8_t sequence, std::uint8_t code,
                                 const QByteArray& data = {}, bool useCrc = true);
    static QByteArray Ack(const TSentFrame& f) { return BuildReply(f.Address, f.Sequence, 0x40); }

  signals:
    void FrameArrived();

  private:
    void OnData();
    QTcpServer Server;
    QPointer<QTcpSocket> Peer;
    QByteArray Pending;
    QElapsedTimer Clock;
};

} // namespace quintrel::test
