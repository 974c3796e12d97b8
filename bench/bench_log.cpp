// The message log: 100 000 lines (or as many as the first argument says) appended the way the
// engine sends them, flushed in the log's own batches; time and memory per line. Runs offscreen.

#include "log_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextStream>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        std::getline(status, key);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QPlainTextEdit memo;
    memo.resize(800, 400);
    memo.show();
    quintrel::TLogView log(&memo);
    QTextStream out(stdout);

    const int lines = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    const int batch = 50; // lines between two flushes: about what a busy line gives in 50 ms
    const long before = ResidentKiB();
    QElapsedTimer t;
    t.start();
    qint64 worstBatchNs = 0;
    for (int i = 0; i < lines; i += batch) {
        for (int j = 0; j < batch; ++j)
            log.LogLine(
                QStringLiteral("< addr=3: RES_ID(MANUF=7C4E15, MODEL=09, HWVER=01, SERNO=12345678, "
                               "FWVER=1.2.3) %1")
                    .arg(i + j));
        QElapsedTimer b;
        b.start();
        log.Flush();
        app.processEvents();
        worstBatchNs = std::max(worstBatchNs, b.nsecsElapsed());
    }
    const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
    const long after = ResidentKiB();
    out << QString::asprintf("%d lines: %.1f us/line, worst batch of %d lines %.2f ms, "
                             "memory %.0f bytes/line (RSS %ld -> %ld KiB), blocks in view %d",
                             lines, 1000.0 * ms / lines, batch,
                             static_cast<double>(worstBatchNs) / 1e6,
                             1024.0 * static_cast<double>(after - before) / lines, before, after,
                             memo.document()->blockCount())
        << Qt::endl;
    return 0;
}
