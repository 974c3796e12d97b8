#include "support/fake_device.h"

#include "osdp/frame_codec.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <array>

namespace quintrel::test {

TFakeDevice::TFakeDevice() {
    Clock.start();
    Reply = [](const TSentFrame& f) { return Ack(f); };
    connect(&Server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = Server.nextPendingConnection()) {
            Peer = s;
            // Replies leave at once, as from a reader, not when TCP sees fit.
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(s, &QTcpSocket::readyRead, this, &TFakeDevice::OnData);
        }
    });
}

bool TFakeDevice::Listen(quint16 port) {
    return Server.listen(QHostAddress::LocalHost, port);
}

QString TFakeDevice::PortName() const {
    return QStringLiteral("127.0.0.1:%1").arg(Server.serverPort());
}

bool TFakeDevice::WaitConnected(int ms) {
    return QTest::qWaitFor([this] { return !Peer.isNull(); }, ms);
}

void TFakeDevice::Drop() {
    if (Peer) Peer->abort();
    Server.close();
}

void TFakeDevice::SendRaw(const QByteArray& bytes) {
    if (!Peer) return;
    Peer->write(bytes);
    Peer->flush();
}

// A real event loop, not QTest::qWaitFor (which sleeps 10 ms between passes): the engine's
// timers and the device's answers keep their own pace while a test waits.
bool TFakeDevice::WaitFrames(std::size_t count, int ms) {
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (Frames.size() >= count) loop.quit();
    };
    const auto arrived = connect(this, &TFakeDevice::FrameArrived, &loop, check);
    deadline.start(ms);
    if (Frames.size() < count) loop.exec();
    disconnect(arrived);
    return Frames.size() >= count;
}

void TFakeDevice::OnData() {
    Pending += Peer->readAll();
    for (;;) {
        const qsizetype start = Pending.indexOf('\x53');
        if (start < 0) {
            Pending.clear();
            return;
        }
        Pending.remove(0, start);
        if (Pending.size() < 4) return;
        const int length =
            static_cast<std::uint8_t>(Pending[2]) | (static_cast<std::uint8_t>(Pending[3]) << 8);
        if (Pending.size() < length) return;
        TSentFrame f;
        f.Bytes = Pending.left(length);
        f.Address = static_cast<std::uint8_t>(f.Bytes[1]) & 0x7F;
        f.Sequence = static_cast<std::uint8_t>(f.Bytes[4]) & 0x03;
        const int n = (f.Bytes[4] & 0x08) ? static_cast<std::uint8_t>(f.Bytes[5]) : 0;
        f.Code = 5 + n < f.Bytes.size() ? static_cast<std::uint8_t>(f.Bytes[5 + n]) : 0;
        Pending.remove(0, length);
        f.ReceivedMs = static_cast<double>(Clock.nsecsElapsed()) / 1e6;
        Frames.push_back(f);
        emit FrameArrived();
        const QByteArray answer = Reply ? Reply(f) : QByteArray();
        if (!answer.isEmpty()) {
            SendRaw(answer);
            Frames.back().RepliedMs = static_cast<double>(Clock.nsecsElapsed()) / 1e6;
        }
    }
}

QByteArray TFakeDevice::BuildReply(std::uint8_t address, std::uint8_t sequence, std::uint8_t code,
                                   const QByteArray& data, bool useCrc) {
    TOsdpRequest r;
    r.Command = code;
    r.Address = address;
    r.PayloadLength = static_cast<std::uint16_t>(data.size());
    std::copy(data.begin(), data.end(), r.Payload.begin());
    TDeviceState state;
    state.Sequence = sequence;
    std::array<std::uint8_t, kFrameBufferSize> tx{};
    const TEncodeResult e =
        EncodeFrame(r, address < kDeviceCount ? &state : nullptr, useCrc, tx.data(), true);
    QByteArray out(1, '\xFF');
    out.append(reinterpret_cast<const char*>(tx.data()), static_cast<qsizetype>(e.Length));
    return out;
}

} // namespace quintrel::test
