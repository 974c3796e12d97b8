// The whole window polling 8 simulated readers with the Devices tab in front (offscreen):
// the CPU the program takes, per cent of one core, over 20 s (or the first argument's
// seconds), with polling lines shown in the log and with them hidden.

#include "about/form_about.h"
#include "devices/device_table.h"
#include "form_main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <sys/resource.h>

using namespace quintrel;

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    constexpr int kReaders = 8;

    QProcess pd;
    QStringList args{QStringLiteral("--listen"), QStringLiteral("0")};
    for (int a = 0; a < kReaders; ++a)
        args << QStringLiteral("--address") << QString::number(a);
    pd.start(QStringLiteral(QUINTREL_PD_PATH), args);
    pd.waitForReadyRead(5000);
    const auto port = QRegularExpression(QStringLiteral(":(\\d+)"))
                          .match(QString::fromUtf8(pd.readAllStandardOutput()))
                          .captured(1);

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
    for (int a = 0; a < kReaders; ++a)
        engine.SetSelected(a, true);
    engine.Port().SetPortName(QStringLiteral("127.0.0.1:") + port);
    QString error;
    if (!engine.OpenPort(&error)) {
        out << "cannot open: " << error << Qt::endl;
        return 1;
    }
    window.UpdateControls();

    for (const bool pollShown : {false, true}) {
        engine.View.Poll = pollShown;
        QTest::qWait(1000); // settle: every reader answered, the table has its rows
        const qint64 polls0 = window.DeviceTable().Stats(0).Polls;
        qint64 all0 = 0;
        for (int a = 0; a < kReaders; ++a)
            all0 += window.DeviceTable().Stats(a).Polls;
        const qint64 repaints0 = window.DeviceTable().Repaints();
        const double cpu0 = CpuSeconds();
        QElapsedTimer t;
        t.start();
        QTest::qWait(seconds * 1000);
        const double wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
        const double cpu = CpuSeconds() - cpu0;
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
