// The firmware update against the simulated bootloader on a pseudo-terminal: records per
// second against the wire bound at 57600 baud (the bytes both ways at 5760 bytes/s, plus
// the simulator's own reply time). A pseudo-terminal has no line timing of its own, so the
// figure shows how much of a real line's time the program itself would add.

#include "bench_support.h"
#include "maintenance/firmware_updater.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

using namespace quintrel;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTemporaryDir dir;
    QProcess pd;
    pd.start(QStringLiteral(QUINTREL_PD_PATH),
             {QStringLiteral("--pty"), dir.filePath(QStringLiteral("reader"))});
    pd.waitForReadyRead(5000);
    const QString line = QString::fromUtf8(pd.readAllStandardOutput());
    const QString path = line.section(QLatin1Char(' '), 1, 1);

    TEngine engine;
    std::array<bool, kDeviceCount> ticks{};
    ticks[0] = true;
    engine.SetSelection(ticks);
    engine.Port().SetPortName(path);
    QString error;
    if (!engine.OpenPort(&error)) {
        out << "cannot open " << path << ": " << error << Qt::endl;
        return 1;
    }
    engine.StopPolling();
    engine.WaitExchangeDone();

    constexpr int records = 300;
    TFirmwareFile file;
    file.DeviceCode = kRdx900DeviceCode;
    for (int r = 0; r < records; ++r)
        file.Records.emplace_back(kBootDataCapacity, static_cast<std::uint8_t>(r));

    TFirmwareUpdater updater(engine);
    QElapsedTimer writing;
    int written = 0;
    updater.Progress = [&](int n, int) {
        if (n == 1) writing.start(); // from the first record on: the set-up steps are apart
        written = n;
    };
    QElapsedTimer t;
    t.start();
    error = updater.Run(file, TBootTarget{kRdx900Password, kRdx900DeviceCode}, 0);
    const double total = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const double seconds = static_cast<double>(writing.nsecsElapsed()) / 1e9;
    if (!error.isEmpty() || written != records) {
        out << "update failed: " << error << Qt::endl;
        return 1;
    }
    // One record: 2 + 54 + 2 bytes out, 4 bytes back; the simulator answers in about 0.1 ms.
    const double wireMs = (kBootDataCapacity + 4 + 4) * 1000.0 / 5760.0 + 0.1;
    const double rate = (records - 1) / seconds;
    const double bound = 1000.0 / wireMs;
    out << QString::asprintf("firmware update: %d records of %zu bytes in %.2f s (%.2f s in all), "
                             "%.0f records/s, wire bound at 57600 baud %.1f records/s (%.1fx)",
                             records, kBootDataCapacity, seconds, total, rate, bound, rate / bound)
        << Qt::endl;
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    return 0;
}
