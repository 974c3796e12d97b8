#pragma once
// What the benchmarks share: the simulated reader on a free loopback port and an engine
// connected to it.

#include "engine.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>

#include <sys/resource.h>

namespace quintrel::bench {

// Starts quintrel-pd with args, ticks addresses 0..addresses-1 and connects the engine,
// which starts polling. False, with the reason on out, when that fails.
inline bool ConnectToPd(QProcess& pd, TEngine& engine, QStringList args, int addresses,
                        QTextStream& out) {
    args << QStringLiteral("--listen") << QStringLiteral("0");
    pd.start(QStringLiteral(QUINTREL_PD_PATH), args);
    pd.waitForReadyRead(5000);
    const auto m = QRegularExpression(QStringLiteral(":(\\d+)"))
                       .match(QString::fromUtf8(pd.readAllStandardOutput()));
    std::array<bool, kDeviceCount> ticks{};
    for (int a = 0; a < addresses; ++a)
        ticks[static_cast<std::size_t>(a)] = true;
    engine.SetSelection(ticks);
    engine.Port().SetPortName(QStringLiteral("127.0.0.1:") + m.captured(1));
    QString error;
    if (engine.OpenPort(&error)) return true;
    out << "cannot open: " << error << Qt::endl;
    return false;
}

// CPU time this process has used, user and system, in seconds.
inline double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Mean time from the write of request's frame (polling stopped) to the end of its exchange;
// the turnaround a request may wait out before its write is not part of it.
inline double MeanExchangeMs(TEngine& engine, const TOsdpRequest& request, int count) {
    engine.StopPolling();
    engine.WaitExchangeDone();
    QElapsedTimer t;
    const auto sent = QObject::connect(&engine, &TEngine::FrameSent, [&] { t.start(); });
    double total = 0;
    for (int i = 0; i < count; ++i) {
        engine.QueueRequest(request);
        engine.WaitExchangeDone();
        total += static_cast<double>(t.nsecsElapsed()) / 1e6;
    }
    QObject::disconnect(sent);
    return total / count;
}

} // namespace quintrel::bench
