// The poll cycle against the simulated reader over loopback: polls per second
// against the bound 1 / (reply time + turnaround), CPU time per poll, the CPU the
// connected program uses while polling and while idle, the turnaround as measured
// on the line, and the earliest and latest reply time-out against a silent reader.

#include "bench_support.h"
#include "engine.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <vector>

using namespace quintrel;

namespace {

// Lets the event loop run for ms without spinning, so the CPU figures are the engine's.
void Run(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The least a poll cycle can cost, for comparison: a socket, a precise 20 ms timer, one POLL
// frame, its reply read, nothing else. CPU microseconds per poll over the given time.
double ReferenceCpuPerPoll(int ms, double* rate) {
    QProcess pd;
    pd.start(QStringLiteral(QUINTREL_PD_PATH), {QStringLiteral("--listen"), QStringLiteral("0")});
    pd.waitForReadyRead(5000);
    const auto m = QRegularExpression(QStringLiteral(":(\\d+)"))
                       .match(QString::fromUtf8(pd.readAllStandardOutput()));
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(m.captured(1).toInt()));
    if (!socket.waitForConnected(3000)) return 0;
    std::array<QByteArray, 4> frames; // sequence 0, then 1, 2, 3 round and round
    for (int seq = 0; seq < 4; ++seq) {
        TOsdpRequest poll;
        poll.Command = 0x60;
        TDeviceState device;
        device.Sequence = static_cast<std::uint8_t>(seq);
        std::array<std::uint8_t, kFrameBufferSize + 1> tx{0xFF};
        const TEncodeResult f = EncodeFrame(poll, &device, true, tx.data() + 1);
        frames[static_cast<std::size_t>(seq)] = QByteArray(reinterpret_cast<const char*>(tx.data()),
                                                           static_cast<qsizetype>(f.Length + 1));
    }
    int polls = 0;
    QByteArray in;
    QTimer next;
    next.setSingleShot(true);
    next.setTimerType(Qt::PreciseTimer);
    QObject::connect(&next, &QTimer::timeout,
                     [&] { socket.write(frames[static_cast<std::size_t>(polls % 3 + 1)]); });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        in += socket.readAll();
        const qsizetype start = in.indexOf(char(0x53));
        if (start < 0 || in.size() < start + 4) return;
        const int length = static_cast<std::uint8_t>(in[start + 2]) |
                           static_cast<std::uint8_t>(in[start + 3]) << 8;
        if (in.size() < start + length) return;
        in.remove(0, start + length);
        ++polls;
        next.start(20);
    });
    socket.write(frames[0]);
    Run(300); // past the first exchange
    const int before = polls;
    const double cpu0 = bench::CpuSeconds();
    QElapsedTimer t;
    t.start();
    Run(ms);
    const double cpu = bench::CpuSeconds() - cpu0;
    *rate = (polls - before) / (static_cast<double>(t.elapsed()) / 1000.0);
    socket.close();
    pd.kill();
    pd.waitForFinished();
    return polls > before ? 1e6 * cpu / (polls - before) : 0;
}

// The engine's CPU per poll against the reference's, in pairs run one after the other so both
// meet the same machine; the median of the ratios.
void CompareWithReference(QTextStream& out) {
    std::vector<double> ratios;
    double engineUs = 0, referenceUs = 0, engineRate = 0, referenceRate = 0;
    for (int pair = 0; pair < 7; ++pair) {
        QProcess pd;
        TEngine engine;
        int replies = 0;
        QObject::connect(&engine, &TEngine::FrameReceived, [&] { ++replies; });
        if (!bench::ConnectToPd(pd, engine, {}, 1, out)) return;
        Run(300);
        replies = 0;
        const double cpu0 = bench::CpuSeconds();
        QElapsedTimer t;
        t.start();
        Run(3000);
        const double e = 1e6 * (bench::CpuSeconds() - cpu0) / std::max(replies, 1);
        engineRate = replies / (static_cast<double>(t.elapsed()) / 1000.0);
        engine.Disconnect();
        pd.kill();
        pd.waitForFinished();
        const double r = ReferenceCpuPerPoll(3000, &referenceRate);
        if (r <= 0) return;
        ratios.push_back(e / r);
        engineUs += e / 7;
        referenceUs += r / 7;
    }
    std::sort(ratios.begin(), ratios.end());
    out << QString::asprintf("CPU per poll against the minimal reference, 7 pairs of 3 s: engine "
                             "%.1f us (%.1f polls/s), reference %.1f us (%.1f polls/s), ratio "
                             "median %.2f (%.2f to %.2f)",
                             engineUs, engineRate, referenceUs, referenceRate, ratios[3],
                             ratios.front(), ratios.back())
        << Qt::endl;
}

void Measure(int addresses, QTextStream& out) {
    QProcess pd;
    QStringList args;
    for (int a = 0; a < addresses; ++a)
        args << QStringLiteral("--address") << QString::number(a);
    TEngine engine;
    int replies = 0;
    QObject::connect(&engine, &TEngine::FrameReceived, [&] { ++replies; });
    if (!bench::ConnectToPd(pd, engine, args, addresses, out)) return;
    engine.StopPolling();
    engine.WaitExchangeDone();

    // Reply time: one poll at a time, from the write to the processed reply (a poll submitted
    // within the turnaround after the last reply waits it out before its write).
    QElapsedTimer t;
    double replyMs = 0;
    const int pings = 50;
    for (int i = 0; i < pings; ++i) {
        TOsdpRequest poll;
        poll.Command = 0x60;
        poll.Address = static_cast<std::uint8_t>(i % addresses);
        QEventLoop loop;
        const auto done =
            QObject::connect(&engine, &TEngine::FrameReceived, &loop, &QEventLoop::quit);
        const auto sent = QObject::connect(&engine, &TEngine::FrameSent, &loop, [&] { t.start(); });
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        t.invalidate();
        engine.QueueRequest(poll);
        loop.exec();
        replyMs += t.isValid() ? static_cast<double>(t.nsecsElapsed()) / 1e6 : 1000.0;
        QObject::disconnect(done);
        QObject::disconnect(sent);
    }
    replyMs /= pings;

    const int seconds = 5;
    replies = 0;
    const double cpu0 = bench::CpuSeconds();
    t.start();
    engine.StartPolling();
    Run(seconds * 1000);
    const double elapsed = static_cast<double>(t.elapsed()) / 1000.0;
    const double cpu = bench::CpuSeconds() - cpu0;
    const double rate = replies / elapsed;
    const double bound = 1000.0 / (replyMs + 20.0);
    engine.StopPolling();
    engine.WaitExchangeDone();

    const double idle0 = bench::CpuSeconds();
    Run(3000);
    const double idle = (bench::CpuSeconds() - idle0) / 3.0;

    out << QString::asprintf(
               "%d address(es): reply %.3f ms, %.1f polls/s, bound %.1f polls/s (%.1f%%), "
               "CPU %.1f us/poll, %.2f%% of a core while polling, idle connected %.3f%%",
               addresses, replyMs, rate, bound, 100.0 * rate / bound, 1e6 * cpu / replies,
               100.0 * cpu / elapsed, 100.0 * idle)
        << Qt::endl;
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
}

// The pause between a reply and the next poll, from the engine's own log lines.
void MeasureTurnaround(QTextStream& out) {
    QProcess pd;
    TEngine engine;
    engine.View.Raw = true;
    engine.View.Poll = true;
    QElapsedTimer clock;
    clock.start();
    std::vector<double> gaps;
    qint64 lastReply = -1;
    QObject::connect(&engine, &TEngine::LogLine, [&](const QString& line) {
        if (line.startsWith(QLatin1String("< 53 "))) lastReply = clock.nsecsElapsed();
        if (line.startsWith(QLatin1String("> 53 ")) && lastReply >= 0) {
            gaps.push_back(static_cast<double>(clock.nsecsElapsed() - lastReply) / 1e6);
            lastReply = -1;
        }
    });
    if (!bench::ConnectToPd(pd, engine, {}, 1, out)) return;
    Run(3000);
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    std::sort(gaps.begin(), gaps.end());
    if (gaps.empty()) return;
    out << QString::asprintf("turnaround over %zu polls: min %.2f ms, median %.2f ms, max %.2f ms",
                             gaps.size(), gaps.front(), gaps[gaps.size() / 2], gaps.back())
        << Qt::endl;
}

// From the frame sent to the TIMEOUT line, against a reader that never answers.
void MeasureTimeout(QTextStream& out) {
    QProcess pd;
    TEngine engine;
    QElapsedTimer clock;
    clock.start();
    std::vector<double> waits;
    if (!bench::ConnectToPd(pd, engine, {QStringLiteral("--silent")}, 1, out)) return;
    engine.StopPolling();
    engine.WaitExchangeDone();
    for (int i = 0; i < 20; ++i) {
        TOsdpRequest poll;
        poll.Command = 0x60;
        const qint64 sent = clock.nsecsElapsed();
        engine.QueueRequest(poll);
        engine.WaitExchangeDone();
        waits.push_back(static_cast<double>(clock.nsecsElapsed() - sent) / 1e6);
    }
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    std::sort(waits.begin(), waits.end());
    out << QString::asprintf("reply time-out over %zu frames: earliest %.2f ms, median %.2f ms, "
                             "latest %.2f ms",
                             waits.size(), waits.front(), waits[waits.size() / 2], waits.back())
        << Qt::endl;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    Measure(1, out);
    Measure(8, out);
    MeasureTurnaround(out);
    MeasureTimeout(out);
    CompareWithReference(out);
    return 0;
}
