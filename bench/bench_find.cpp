// Finding the readers on a line: the time for a full search of addresses 0..126 at one
// speed against the bound 127 x the wait (a silent line), with one standard reader present
// (asked at its address like the others), and with one that names itself in its answer to
// the broadcast, so no address needs asking on its own.

#include "bench_support.h"
#include "discovery/device_finder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>

using namespace quintrel;

namespace {

void Measure(const char* what, const QStringList& args, QTextStream& out) {
    QProcess pd;
    TEngine engine;
    if (!bench::ConnectToPd(pd, engine, args, 1, out)) return;
    TDeviceFinder finder(engine);
    const TFinderOptions options; // 0..126, 100 ms
    QElapsedTimer t;
    t.start();
    const QList<TFoundDevice> found = finder.Run(options);
    const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const double bound = 127 * options.WaitMs / 1000.0;
    out << QString::asprintf("%s: %lld found in %.2f s, bound 127 x %d ms = %.1f s (%.1f%%)", what,
                             static_cast<long long>(found.size()), seconds, options.WaitMs, bound,
                             100.0 * seconds / bound)
        << Qt::endl;
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    Measure("silent line", {QStringLiteral("--silent")}, out);
    // A standard reader answers the broadcast from 0x7F, which names no address: every address
    // is asked. One that answers from its own address names itself at once.
    Measure("one standard reader at 42", {QStringLiteral("--address"), QStringLiteral("42")}, out);
    Measure("one reader at 42 answering from its address",
            {QStringLiteral("--address"), QStringLiteral("42"),
             QStringLiteral("--broadcast-own-address")},
            out);
    return 0;
}
