// Overheard traffic: reading and describing a capture of 10^6 frames (frames per second), and
// the CPU an engine uses to listen to a line loaded end to end at 115200 baud (share of one
// core). The line is a loopback TCP peer in a child process that writes command/reply pairs
// back to back at the rate 115200 baud carries (11 520 bytes a second), paced every 10 ms.
//   bench_overheard [FRAMES [SECONDS]]

#include "bench_support.h"
#include "capture/capture_file.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <string_view>
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

// The line: a loopback server that writes the traffic to its first client at 115200 baud's
// byte rate, paced every 10 ms. It runs as a child process, so its CPU is not counted.
int RunLine() {
    QTcpServer line;
    line.listen(QHostAddress::LocalHost);
    QTextStream(stdout) << line.serverPort() << Qt::endl;
    QTcpSocket* peer = nullptr;
    QObject::connect(&line, &QTcpServer::newConnection, [&] { peer = line.nextPendingConnection(); });
    QByteArray stream;
    for (const QByteArray& f : Traffic(100000))
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
        for (qint64 at = written; at < due;) {
            const qint64 offset = at % stream.size();
            const qint64 piece = std::min(due - at, stream.size() - offset);
            peer->write(stream.constData() + offset, piece);
            at += piece;
        }
        written = std::max(written, due);
    });
    pace.start(10);
    return QCoreApplication::exec();
}

void Listen(const char* self, int seconds, QTextStream& out) {
    QProcess line;
    line.start(QString::fromLocal8Bit(self), {QStringLiteral("--line")});
    if (!line.waitForReadyRead(5000)) {
        out << "the line did not start" << Qt::endl;
        return;
    }
    const int port = QString::fromUtf8(line.readAllStandardOutput()).trimmed().toInt();
    TEngine engine;
    engine.View = TViewFlags{.Raw = false, .Description = true, .Poll = true};
    qint64 lines = 0;
    QObject::connect(&engine, &TEngine::LogLine, [&](const QString&) { ++lines; });
    engine.Port().SetPortName(QStringLiteral("127.0.0.1:%1").arg(port));
    QString error;
    if (!engine.StartListening(&error)) {
        out << "cannot listen: " << error << Qt::endl;
        return;
    }
    QEventLoop wait;
    QTimer::singleShot(300, &wait, &QEventLoop::quit); // the line starts writing
    wait.exec();
    const qint64 before = lines;
    const double cpu0 = bench::CpuSeconds();
    QElapsedTimer t;
    t.start();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &wait, &QEventLoop::quit);
    wait.exec();
    const double wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const double cpu = bench::CpuSeconds() - cpu0;
    out << "listening at 115200 baud for " << wall << " s: " << lines - before
        << " log lines (every frame described, polls too), CPU " << cpu << " s = "
        << 100.0 * cpu / wall << " % of a core" << Qt::endl;
    engine.Disconnect();
    line.kill();
    line.waitForFinished();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::string_view(argv[1]) == "--line") return RunLine();
    QTextStream out(stdout);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    ReadCapture(frames, out);
    Listen(argv[0], seconds, out);
    return 0;
}
