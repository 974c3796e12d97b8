// The poll cycle against the simulated reader over loopback: polls per second
// against the bound 1 / (reply time + turnaround), CPU time per poll, the CPU the
// connected program uses while polling and while idle, the turnaround as measured
// on the line, and the earliest and latest reply time-out against a silent reader.

#include "bench_support.h"
#include "engine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
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
    return 0;
}
