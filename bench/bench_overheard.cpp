// Overheard traffic: reading and describing a capture of 10^6 frames (frames per second), and
// the CPU an engine uses to listen to a line loaded end to end at 115200 baud (share of one
// core). The line is a loopback TCP peer that writes command/reply pairs back to back at the
// rate 115200 baud carries (11 520 bytes a second), paced every 10 ms; its own CPU is counted
// too, so the figure is an upper bound.
//   bench_overheard [FRAMES [SECONDS]]

#include "bench_support.h"
#include "capture/capture_file.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <vector>

using namespace quintrel;

namespace {

QByteArray Frame(std::uint8_t code, std::initializer_list<std::uint8_t> payload, bool reply,
                 std::uint8_t sequence) {
    TOsdpRequest request;
    request.Command = code;
    request.Address = 0;
    std::copy(payload.begin(), payload.end(), request.Payload.begin());
    request.PayloadLength = static_cast<std::uint16_t>(payload.size());
    TDeviceState device;
    device.Sequence = sequence;
    std::vector<std::uint8_t> tx(kFrameBufferSize);
    const TEncodeResult r = EncodeFrame(request, &device, true, tx.data(), reply);
    return QByteArray(reinterpret_cast<const char*>(tx.data()), static_cast<qsizetype>(r.Length));
}

// A poll and its ACK, with every tenth pair an LED command and a card read instead.
std::vector<QByteArray> Traffic(int pairs) {
    std::vector<QByteArray> frames;
    for (int i = 0; i < pairs; ++i) {
        const auto seq = static_cast<std::uint8_t>(1 + i % 3);
        if (i % 10 == 9) {
            frames.push_back(Frame(0x69, {0, 0, 2, 1, 1, 2, 0, 10, 0, 0, 0, 0, 1, 1}, false, seq));
            frames.push_back(Frame(0x50, {0, 1, 26, 0, 0x09, 0x50, 0xD6, 0x00}, true, seq));
        } else {
            frames.push_back(Frame(0x60, {}, false, seq));
            frames.push_back(Frame(0x40, {}, true, seq));
        }
    }
    return frames;
}

double ReadCapture(int frameCount, QTextStream& out) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.osdpcap"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return 0;
        TCaptureRecord record;
        record.Source = "bench";
        for (const QByteArray& f : Traffic(frameCount / 2)) {
            record.Io = (f[1] & 0x80) ? TCaptureIo::Input : TCaptureIo::Output;
            record.Data.assign(f.begin(), f.end());
            ++record.Nanos;
            const std::string line = FormatCaptureLine(record) + '\n';
            file.write(line.data(), static_cast<qint64>(line.size()));
        }
    }
    const TVendorList vendors;
    qint64 lines = 0;
    QElapsedTimer t;
    t.start();
    const TCaptureReadResult read = ReadCaptureFile(
        path, TCaptureView{false, true, true}, vendors,
        [&](const QTime&, const QString&) { ++lines; });
    const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    out << "capture of " << read.Frames << " frames read and described in " << seconds
        << " s: " << static_cast<qint64>(static_cast<double>(read.Frames) / seconds)
        << " frames/s (" << lines << " log lines)" << Qt::endl;
    return static_cast<double>(read.Frames) / seconds;
}

void Listen(int seconds, QTextStream& out) {
    QTcpServer line;
    line.listen(QHostAddress::LocalHost);
    QTcpSocket* peer = nullptr;
    QObject::connect(&line, &QTcpServer::newConnection, [&] { peer = line.nextPendingConnection(); });
    TEngine engine;
    engine.View = TViewFlags{.Raw = false, .Description = true, .Poll = true};
    qint64 lines = 0;
    QObject::connect(&engine, &TEngine::LogLine, [&](const QString&) { ++lines; });
    engine.Port().SetPortName(QStringLiteral("127.0.0.1:%1").arg(line.serverPort()));
    QString error;
    if (!engine.StartListening(&error)) {
        out << "cannot listen: " << error << Qt::endl;
        return;
    }
    const std::vector<QByteArray> frames = Traffic(100000);
    QByteArray stream;
    for (const QByteArray& f : frames)
        stream += f;
    constexpr double kBytesPerSecond = 115200.0 / 10;
    qint64 written = 0;
    QElapsedTimer clock;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (!peer) return;
        if (!clock.isValid()) clock.start();
        const auto due = static_cast<qint64>(static_cast<double>(clock.nsecsElapsed()) / 1e9 *
                                             kBytesPerSecond);
        if (due > written) {
            peer->write(stream.mid(written % stream.size(), due - written));
            written = due;
        }
    });
    pace.start(10);
    QEventLoop wait;
    QTimer::singleShot(300, &wait, &QEventLoop::quit); // the peer joins
    wait.exec();
    const double cpu0 = bench::CpuSeconds();
    QElapsedTimer t;
    t.start();
    QTimer::singleShot(seconds * 1000, &wait, &QEventLoop::quit);
    wait.exec();
    const double wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const double cpu = bench::CpuSeconds() - cpu0;
    out << "listening at 115200 baud for " << wall << " s: " << written << " bytes, " << lines
        << " log lines, CPU " << cpu << " s = " << 100.0 * cpu / wall << " % of a core"
        << Qt::endl;
    engine.Disconnect();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    ReadCapture(frames, out);
    Listen(seconds, out);
    return 0;
}
