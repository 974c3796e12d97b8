// The whole window polling 8 simulated readers with the Devices tab in front (offscreen):
// the CPU the program takes, per cent of one core, over 20 s (or the first argument's
// seconds), with polling lines shown in the log and with them hidden.

#include "about/form_about.h"
#include "bench_support.h"
#include "devices/device_table.h"
#include "form_main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

using namespace quintrel;

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    constexpr int kReaders = 8;

    QTemporaryDir dir;
    TFormMainOptions options;
    options.IniPath = dir.filePath(QStringLiteral("quintrel.ini"));
    options.VendorPath = dir.filePath(QStringLiteral("oui.csv"));
    options.ShowStartupErrors = false;
    TFormAbout about;
    TFormMain window(about, options);
    window.showNormal();
    // A second argument "log" keeps the Communication tab in front, for comparison.
    const bool devicesTab = !(argc > 2 && QByteArray(argv[2]) == "log");
    window.findChild<QTabWidget*>(QStringLiteral("PageControl1"))
        ->setCurrentIndex(devicesTab ? 1 : 0);
    TEngine& engine = window.Engine();
    QProcess pd;
    QStringList args;
    for (int a = 0; a < kReaders; ++a)
        args << QStringLiteral("--address") << QString::number(a);
    if (!bench::ConnectToPd(pd, engine, args, kReaders, out)) return 1;
    window.UpdateControls();

    for (const bool pollShown : {false, true}) {
        engine.View.Poll = pollShown;
        QTest::qWait(1000); // settle: every reader answered, the table has its rows
        const qint64 polls0 = window.DeviceTable().Stats(0).Polls;
        qint64 all0 = 0;
        for (int a = 0; a < kReaders; ++a)
            all0 += window.DeviceTable().Stats(a).Polls;
        const qint64 repaints0 = window.DeviceTable().Repaints();
        const double cpu0 = bench::CpuSeconds();
        QElapsedTimer t;
        t.start();
        QTest::qWait(seconds * 1000);
        const double wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
        const double cpu = bench::CpuSeconds() - cpu0;
        qint64 polls = -all0;
        for (int a = 0; a < kReaders; ++a)
            polls += window.DeviceTable().Stats(a).Polls;
        out << QString::asprintf(
                   "%s tab, %d readers, polling lines %s: %.2f %% of a core over %.0f s, %.1f "
                   "polls/s "
                   "(reader 0: %lld), %.1f table repaints/s",
                   devicesTab ? "Devices" : "Communication", kReaders,
                   pollShown ? "shown" : "hidden", 100.0 * cpu / wall, wall,
                   static_cast<double>(polls) / wall,
                   static_cast<long long>(window.DeviceTable().Stats(0).Polls - polls0),
                   static_cast<double>(window.DeviceTable().Repaints() - repaints0) / wall)
            << Qt::endl;
    }
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    return 0;
}
