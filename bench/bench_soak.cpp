// A soak against line noise: the engine against the simulated reader with a share of reply
// bytes flipped, dropped or inserted, exchange after exchange, headless. It reports the valid
// replies against the replies the reader sent undamaged (none may be lost), damaged frames
// taken as valid (no more than the CRC lets through), time-outs, the longest stall, and the
// resident memory at the start, the middle and the end. Exits non-zero when an undamaged reply
// was lost, the line stood still for a second, or damaged frames got through more often than
// the CRC allows.
//   bench_soak [EXCHANGES [SHARE [TIMEOUT_MS [SEED]]]]   default 1000000 exchanges at 0.01,
//   300 ms, the reader's own seed; runs side by side need seeds of their own
// A shorter reply time-out (the simulated reader answers within a millisecond) gets through
// more exchanges in the same time; the noise is handled the same way.

#include "bench_support.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>

using namespace quintrel;

namespace {

double ResidentMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments();
    const long long exchanges = args.size() > 1 ? args[1].toLongLong() : 1000000;
    const QString share = args.size() > 2 ? args[2] : QStringLiteral("0.01");
    const int timeoutMs = args.size() > 3 ? args[3].toInt() : TEngine::ReplyTimeoutMs;
    QStringList pdArgs{QStringLiteral("--line-noise"), share};
    if (args.size() > 4) pdArgs << QStringLiteral("--noise-seed") << args[4];

    QProcess pd;
    TEngine engine;
    // Every answer here is an empty ACK from 0, with one of the four sequence numbers: a
    // frame taken as valid that is not byte for byte one of these got through damaged.
    QList<QByteArray> acks;
    for (std::uint8_t sequence = 0; sequence < 4; ++sequence) {
        TOsdpRequest ack;
        ack.Command = 0x40;
        TDeviceState device;
        device.Sequence = sequence;
        std::array<std::uint8_t, kFrameBufferSize> tx{};
        const TEncodeResult r = EncodeFrame(ack, &device, true, tx.data(), true);
        acks << QByteArray(reinterpret_cast<const char*>(tx.data()),
                           static_cast<qsizetype>(r.Length));
    }
    long long valid = 0, wrong = 0, timeouts = 0;
    QByteArray lastFrame;
    QObject::connect(&engine, &TEngine::LineFrame, [&](bool sent, const QByteArray& frame) {
        if (!sent) lastFrame = frame;
    });
    QObject::connect(&engine, &TEngine::FrameReceived, [&] {
        ++valid;
        if (!acks.contains(lastFrame)) {
            // Shown as they come, so that a run that fails says what got through.
            if (++wrong <= 20) out << "taken as valid: " << lastFrame.toHex(' ') << Qt::endl;
        }
    });
    QObject::connect(&engine, &TEngine::StatusText, [&](int panel, const QString& text) {
        if (panel == 2 && text.startsWith(QLatin1String("Timeout"))) ++timeouts;
    });
    if (!bench::ConnectToPd(pd, engine, pdArgs, 1, out)) return 1;
    engine.StopPolling();
    engine.WaitExchangeDone();
    engine.SetReplyTimeout(timeoutMs);

    const double rssStart = ResidentMb();
    double rssMiddle = 0;
    qint64 longest = 0;
    QElapsedTimer all, one;
    all.start();
    TOsdpRequest poll;
    poll.Command = 0x60;
    for (long long i = 0; i < exchanges; ++i) {
        one.start();
        if (!engine.SendRequest(poll)) {
            out << "the link failed" << Qt::endl;
            return 1;
        }
        engine.WaitExchangeDone();
        longest = std::max(longest, one.elapsed());
        if (i == exchanges / 2) rssMiddle = ResidentMb();
    }
    const double seconds = static_cast<double>(all.nsecsElapsed()) / 1e9;
    const double rssEnd = ResidentMb();

    pd.readAllStandardOutput();
    pd.write("stats\n");
    pd.waitForBytesWritten(1000);
    QString stats;
    for (int i = 0; i < 50 && !stats.contains(QLatin1String("undamaged")); ++i) {
        pd.waitForReadyRead(100);
        stats += QString::fromUtf8(pd.readAllStandardOutput());
    }
    const QStringList words = stats.simplified().split(QLatin1Char(' '));
    const long long sent = words.value(1).toLongLong();
    const long long undamaged = words.value(3).toLongLong();
    const long long lost = std::max(0LL, undamaged - (valid - wrong));
    out << QString::asprintf(
               "%lld exchanges at %s byte damage, %d ms time-out, in %.1f s: replies sent %lld, "
               "undamaged %lld, "
               "valid received %lld, undamaged lost %lld, damaged taken as valid %lld of %lld "
               "damaged, time-outs %lld, longest stall %lld ms, resident %.1f / %.1f / %.1f MB",
               exchanges, qPrintable(share), engine.ReplyTimeout(), seconds, sent, undamaged, valid,
               lost, wrong, sent - undamaged, timeouts, longest, rssStart, rssMiddle, rssEnd)
        << Qt::endl;
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    // A 16-bit CRC lets about one damaged frame in 65 536 through; far more than that is a
    // check that does not hold.
    const long long allowed = 1 + 4 * (sent - undamaged) / 65536;
    if (wrong > allowed)
        out << "more damaged frames taken as valid than the CRC lets through (at most " << allowed
            << ")" << Qt::endl;
    return lost > 0 || longest >= 1000 || wrong > allowed ? 1 : 0;
}
