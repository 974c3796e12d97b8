// The log as a screen reader reads it: a log of 10 lines and one of 10 000 000 (or as many as
// the first argument says; one line in ten carries a character of two bytes), each read
// through Qt's accessibility API at random offsets: a range of 200 characters (and ranges
// read on one after the other, as a reader reads), the line at an offset, the word at an
// offset, and the count. Each read should cost the same in both logs, but for the cache
// misses of a random offset in a large one.

#include "logview/log_memo.h"
#include "logview/log_view.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTime>

#include <algorithm>
#include <cstdlib>
#include <random>

namespace {

struct TFigures {
    double RangeUs = 0;
    double OnUs = 0;
    double LineUs = 0;
    double WordUs = 0;
    double CountUs = 0;
};

template <typename Read> double MeanUs(int times, Read&& read) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < times; ++i)
        read();
    return static_cast<double>(t.nsecsElapsed()) / 1e3 / times;
}

TFigures Measure(QAccessibleTextInterface& text) {
    const int count = text.characterCount();
    std::mt19937 random(7);
    std::uniform_int_distribution<int> offset(0, std::max(0, count - 200));
    qsizetype sink = 0;
    TFigures f;
    const int times = 20000;
    f.RangeUs = MeanUs(times, [&] {
        const int at = offset(random);
        sink += text.text(at, at + 200).size();
    });
    // As a reader reads: on from one range to the next.
    int next = offset(random);
    f.OnUs = MeanUs(times, [&] {
        if (next + 200 > count) next = 0;
        sink += text.text(next, next + 200).size();
        next += 200;
    });
    int start = 0, end = 0;
    f.LineUs = MeanUs(times, [&] {
        sink += text.textAtOffset(offset(random), QAccessible::LineBoundary, &start, &end).size();
    });
    f.WordUs = MeanUs(times, [&] {
        sink += text.textAtOffset(offset(random), QAccessible::WordBoundary, &start, &end).size();
    });
    f.CountUs = MeanUs(times, [&] { sink += text.characterCount(); });
    if (sink == 0) QTextStream(stderr) << "nothing read" << Qt::endl;
    return f;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    const long long big = argc > 1 ? std::max(100LL, std::atoll(argv[1])) : 10000000LL;
    for (const long long lines : {10LL, big}) {
        quintrel::TLogView log;
        quintrel::TLogMemo* memo = log.CreateMemo(nullptr);
        QElapsedTimer fill;
        fill.start();
        const QTime time(12, 0);
        for (long long i = 0; i < lines; ++i)
            log.LogLineAt(time, QStringLiteral("< addr=3: RES_ID(MANUF=7C4E15, SERNO=%1)%2")
                                    .arg(i)
                                    .arg(i % 10 == 0 ? QStringLiteral(" 5 \u00B5s") : QString()));
        log.Flush();
        const double fillS = static_cast<double>(fill.elapsed()) / 1e3;
        QAccessibleTextInterface* text =
            QAccessible::queryAccessibleInterface(memo)->textInterface();
        const TFigures f = Measure(*text);
        out << QString::asprintf(
                   "%lld lines (%d characters, filled in %.1f s): range of 200 "
                   "%.2f us (reading on %.2f us), line %.2f us, word %.2f us, count %.3f us",
                   lines, text->characterCount(), fillS, f.RangeUs, f.OnUs, f.LineUs, f.WordUs,
                   f.CountUs)
            << Qt::endl;
        delete memo;
    }
    return 0;
}
