// The message log: 1 000 000 lines (or as many as the first argument says) appended as fast
// as they come and shown in the log's own box, offscreen, repainted every 50 ms as the
// log's batch timer does. Reports memory and time per line (all included), the repaint of
// one batch, a jump to the end and a page scroll, a find over every line (a word near the
// end, case ignored and matched), and a clear.

#include "logview/log_memo.h"
#include "logview/log_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
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

double Ms(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    quintrel::TLogView log;
    quintrel::TLogMemo* memo = log.CreateMemo(nullptr);
    memo->resize(800, 400);
    memo->show();
    QTextStream out(stdout);

    const int lines = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
    app.processEvents();
    const long before = ResidentKiB();
    QElapsedTimer t, sinceBatch;
    t.start();
    sinceBatch.start();
    qint64 worstBatchNs = 0, batches = 0;
    for (int i = 0; i < lines; ++i) {
        log.LogLine(
            QStringLiteral("< addr=3: RES_ID(MANUF=7C4E15, MODEL=09, HWVER=01, SERNO=12345678, "
                           "FWVER=1.2.3) %1")
                .arg(i));
        if (sinceBatch.elapsed() < quintrel::TLogView::BatchIntervalMs) continue;
        sinceBatch.start();
        QElapsedTimer b;
        b.start();
        log.Flush();
        memo->repaint();
        worstBatchNs = std::max(worstBatchNs, b.nsecsElapsed());
        ++batches;
    }
    const double appendMs = Ms(t);
    const long after = ResidentKiB();
    out << QString::asprintf("%d lines: %.2f us/line with %lld repaints, worst repaint %.2f ms, "
                             "memory %.0f bytes/line (RSS %ld -> %ld KiB, store %.0f bytes/line)",
                             lines, 1000.0 * appendMs / lines, static_cast<long long>(batches),
                             static_cast<double>(worstBatchNs) / 1e6,
                             1024.0 * static_cast<double>(after - before) / lines, before, after,
                             static_cast<double>(log.Store().MemoryBytes()) / lines)
        << Qt::endl;

    t.start();
    memo->verticalScrollBar()->setValue(0);
    memo->repaint();
    const double home = Ms(t);
    t.start();
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
    memo->repaint();
    const double end = Ms(t);
    t.start();
    memo->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    memo->repaint();
    const double page = Ms(t);
    out << QString::asprintf("Ctrl+Home %.2f ms, Ctrl+End %.2f ms, page up %.2f ms", home, end,
                             page)
        << Qt::endl;

    const std::string needle = "FWVER=1.2.3) " + std::to_string(lines - 7);
    for (const bool matchCase : {false, true}) {
        t.start();
        quintrel::TLogPosition hit;
        const bool found = log.Store().Find(needle, matchCase, {}, true, false, hit);
        const double findMs = Ms(t);
        t.start();
        std::size_t earlier = 0;
        const std::size_t all = log.Store().CountMatches("serno", matchCase, hit, &earlier);
        out << QString::asprintf("find %s: %s at line %zu in %.1f ms; counting \"serno\" (%zu "
                                 "matches) %.1f ms",
                                 matchCase ? "matching case" : "ignoring case",
                                 found ? "found" : "NOT FOUND", hit.Line, findMs, all, Ms(t))
            << Qt::endl;
    }

    t.start();
    log.Clear();
    memo->repaint();
    out << QString::asprintf("clear %.2f ms, RSS after %ld KiB", Ms(t), ResidentKiB()) << Qt::endl;
    delete memo;
    return 0;
}
