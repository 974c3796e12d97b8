// The whole window polling 8 simulated readers (offscreen), with each tab in front in turn
// and the polling lines hidden from the log and shown: the CPU the program takes, per cent
// of one core and microseconds per poll, the poll rate and the table's repaints, over 10 s
// each (or the first argument's seconds). The waits run a real event loop, so polling keeps
// its own pace: a wait that sleeps between passes would slow the cycle it measures.

#include "about/form_about.h"
#include "bench_support.h"
#include "devices/device_table.h"
#include "form_main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using namespace quintrel;

namespace {

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 AllPolls(TDeviceTable& table, int readers) {
    qint64 polls = 0;
    for (int a = 0; a < readers; ++a)
        polls += table.Stats(a).Polls;
    return polls;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    constexpr int kReaders = 8;

    QTemporaryDir dir;
    TFormMainOptions options;
    options.IniPath = dir.filePath(QStringLiteral("quintrel.ini"));
    options.VendorPath = dir.filePath(QStringLiteral("oui.csv"));
    options.ShowStartupErrors = false;
    TFormAbout about;
    TFormMain window(about, options);
    window.showNormal();
    auto* pages = window.findChild<QTabWidget*>(QStringLiteral("PageControl1"));
    TEngine& engine = window.Engine();
    TDeviceTable& table = window.DeviceTable();
    QProcess pd;
    QStringList args;
    for (int a = 0; a < kReaders; ++a)
        args << QStringLiteral("--address") << QString::number(a);
    if (!bench::ConnectToPd(pd, engine, args, kReaders, out)) return 1;
    window.UpdateControls();

    for (int tab = 0; tab < pages->count(); ++tab) {
        pages->setCurrentIndex(tab);
        for (const bool pollShown : {false, true}) {
            engine.View.Poll = pollShown;
            RunFor(1000); // settle: every reader answered, the table has its rows
            const qint64 polls0 = AllPolls(table, kReaders);
            const qint64 repaints0 = table.Repaints();
            const double cpu0 = bench::CpuSeconds();
            QElapsedTimer t;
            t.start();
            RunFor(seconds * 1000);
            const double wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
            const double cpu = bench::CpuSeconds() - cpu0;
            const auto polls = static_cast<double>(AllPolls(table, kReaders) - polls0);
            out << QString::asprintf(
                       "%-13s tab, polling lines %-6s: %5.2f %% of a core, %6.1f polls/s, "
                       "%5.1f us CPU per poll, %4.1f table repaints/s (%d readers, %.0f s)",
                       qPrintable(pages->tabText(tab)), pollShown ? "shown" : "hidden",
                       100.0 * cpu / wall, polls / wall, polls > 0 ? 1e6 * cpu / polls : 0.0,
                       static_cast<double>(table.Repaints() - repaints0) / wall, kReaders, wall)
                << Qt::endl;
        }
    }
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    return 0;
}
