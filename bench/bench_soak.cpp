// A soak against line noise and lost replies: the engine against the simulated reader with a
// share of reply bytes flipped, dropped or inserted, and a share of replies lost whole,
// exchange after exchange, headless. It reports the valid replies against the replies the
// reader sent undamaged (none may be lost), damaged frames taken as valid (no more than the
// CRC lets through), time-outs, the longest stall, and the resident memory at the start, the
// middle and the end. With card reads on, every card the reader delivered must reach the log
// once: none lost, none twice; in a secure soak the session must hold throughout. Exits
// non-zero when any of that fails, or when the line stood still for a second.
//   bench_soak [EXCHANGES [SHARE [TIMEOUT_MS [SEED]]]] [--drop SHARE] [--cards MS] [--secure]
//   default 1000000 exchanges at 0.01 byte damage, 300 ms, the reader's own seed (runs side
//   by side need seeds of their own); --drop loses that share of replies whole, --cards
//   presents a numbered card read every MS, --secure runs it all in a secure session.
// A shorter reply time-out (the simulated reader answers within a millisecond) gets through
// more exchanges in the same time; the noise is handled the same way.

#include "bench_support.h"
#include "composer.h"
#include "osdp/frame_codec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <set>

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

// The window's part, as far as a soak needs it: the server cryptogram that osdp_CCRYPT calls
// for goes out at once, and no dialog is ever shown.
class TSoakHost : public IEngineHost, public IComposerUi {
  public:
    TComposer* Composer = nullptr;
    int SelectedAddress() const override { return 0; }
    void SelectAddress(int) override {}
    void IssueMenuCommand(int tag, int address) override {
        if (Composer) Composer->IssueFromReply(tag, address < 0 ? 0 : address);
    }
    std::optional<TOutputControl> AskOutputControl() override { return std::nullopt; }
    std::optional<TLedControl> AskLedControl() override { return std::nullopt; }
    std::optional<TBuzzerControl> AskBuzzerControl() override { return std::nullopt; }
    std::optional<TComSetChoice> AskComSet() override { return std::nullopt; }
    std::optional<std::string> AskKey(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    QString AddToHistory(const QString& text) override { return text; }
    void ShowError(const QString& text) override { QTextStream(stderr) << text << Qt::endl; }
    void RepaintPollList() override {}
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QStringList args;
    QString dropShare, cardsMs;
    bool secure = false;
    const QStringList given = app.arguments();
    for (int i = 1; i < given.size(); ++i) {
        if (given[i] == QLatin1String("--drop") && i + 1 < given.size())
            dropShare = given[++i];
        else if (given[i] == QLatin1String("--cards") && i + 1 < given.size())
            cardsMs = given[++i];
        else if (given[i] == QLatin1String("--secure"))
            secure = true;
        else
            args << given[i];
    }
    const long long exchanges = args.size() > 0 ? args[0].toLongLong() : 1000000;
    const QString share = args.size() > 1 ? args[1] : QStringLiteral("0.01");
    const int timeoutMs = args.size() > 2 ? args[2].toInt() : TEngine::ReplyTimeoutMs;
    QStringList pdArgs{QStringLiteral("--line-noise"), share};
    if (args.size() > 3) pdArgs << QStringLiteral("--noise-seed") << args[3];
    if (!dropShare.isEmpty()) pdArgs << QStringLiteral("--drop-share") << dropShare;
    if (!cardsMs.isEmpty()) pdArgs << QStringLiteral("--card-every") << cardsMs;
    // Only plain ACKs can be compared byte for byte with what the reader sends.
    const bool acksOnly = cardsMs.isEmpty() && !secure;

    QProcess pd;
    TSoakHost host;
    TEngine engine(&host);
    TComposer composer(engine, host);
    host.Composer = &composer;
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
    long long valid = 0, wrong = 0, timeouts = 0, unawaited = 0, repeats = 0;
    long long sessionsEnded = 0, reopened = 0, cardsLogged = 0, cardsTwice = 0;
    // Exchanges whose third send failed too: the device starts over, and a standard reader
    // drops the reply it kept (with any card read in it) and any session.
    long long exhausted = 0;
    int attempt = 0;
    std::set<quint32> cards;
    QByteArray lastFrame;
    QObject::connect(&engine, &TEngine::LineFrame, [&](bool sent, const QByteArray& frame) {
        if (!sent) lastFrame = frame;
    });
    QObject::connect(&engine, &TEngine::FrameReceived,
                     [&](std::uint8_t, std::uint8_t code, const QByteArray& data) {
                         ++valid;
                         if (acksOnly && !acks.contains(lastFrame)) {
                             // Shown as they come, so that a run that fails says what got
                             // through.
                             if (++wrong <= 20)
                                 out << "taken as valid: " << lastFrame.toHex(' ') << Qt::endl;
                         }
                         if (code == 0x50 && data.size() == 8) {
                             const auto* b = reinterpret_cast<const std::uint8_t*>(data.data());
                             const quint32 number =
                                 static_cast<quint32>(b[4] << 24 | b[5] << 16 | b[6] << 8 | b[7]);
                             ++cardsLogged;
                             if (!cards.insert(number).second) ++cardsTwice;
                         }
                     });
    QObject::connect(&engine, &TEngine::UnawaitedFrame,
                     [&](std::uint8_t, bool intact) { unawaited += intact ? 1 : 0; });
    QObject::connect(&engine, &TEngine::FrameSent, [&](std::uint8_t, std::uint8_t, int n) {
        repeats += n > 1 ? 1 : 0;
        attempt = n;
    });
    QObject::connect(&engine, &TEngine::ExchangeEnded, [&](std::uint8_t, TExchangeEnd end, qint64) {
        exhausted += end != TExchangeEnd::Reply && attempt >= TEngine::MaxAttempts ? 1 : 0;
    });
    QObject::connect(&engine, &TEngine::StatusText, [&](int panel, const QString& text) {
        if (panel == 2 && text.startsWith(QLatin1String("Timeout"))) ++timeouts;
    });
    QObject::connect(&engine, &TEngine::LogLine, [&](const QString& line) {
        if (line.startsWith(QLatin1String("Secure channel with 0 ended")) ||
            line.startsWith(QLatin1String("Secure channel with 0 not"))) {
            if (++sessionsEnded <= 20) out << line << Qt::endl;
        }
        if (line == QLatin1String("Secure channel with 0 reopened")) ++reopened;
    });
    if (!bench::ConnectToPd(pd, engine, pdArgs, 1, out)) return 1;
    engine.StopPolling();
    engine.WaitExchangeDone();
    if (secure) {
        composer.OnSendCmdClick(0x76, 0);
        QElapsedTimer wait;
        wait.start();
        while (engine.Devices()[0].Session.State != ssEstablished && wait.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        engine.WaitExchangeDone();
        if (engine.Devices()[0].Session.State != ssEstablished) {
            out << "no secure session" << Qt::endl;
            return 1;
        }
    }
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
    // A session lost with the last exchanges is being opened again: a few more polls let it.
    for (int i = 0; i < 10 && secure && engine.Devices()[0].Session.State != ssEstablished; ++i) {
        engine.SendRequest(poll);
        engine.WaitExchangeDone();
    }
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
    const long long dropped = words.value(5).toLongLong();
    const long long delivered = words.value(7).toLongLong();
    // Undamaged replies reach the engine as an answer or, late, as a frame it was not awaiting.
    const long long lost = std::max(0LL, undamaged - (valid - wrong) - unawaited);
    const long long cardsLost = std::max(0LL, delivered - static_cast<long long>(cards.size()));
    const bool sessionHeld = !secure || engine.Devices()[0].Session.State == ssEstablished;
    out << QString::asprintf(
               "%lld exchanges%s at %s byte damage, %s of replies lost whole, %d ms time-out, in "
               "%.1f s: replies sent %lld, undamaged %lld, lost whole %lld, valid received %lld, "
               "undamaged lost %lld, damaged taken as valid %lld of %lld damaged, repeats %lld, "
               "exchanges failed three sends in a row %lld, time-outs %lld, longest stall %lld "
               "ms, resident %.1f / %.1f / %.1f MB",
               exchanges, secure ? " in a secure session" : "", qPrintable(share),
               dropShare.isEmpty() ? "none" : qPrintable(dropShare), engine.ReplyTimeout(), seconds,
               sent, undamaged, dropped, valid, lost, wrong, sent - undamaged, repeats, exhausted,
               timeouts, longest, rssStart, rssMiddle, rssEnd)
        << Qt::endl;
    if (!cardsMs.isEmpty())
        out << QString::asprintf("card reads delivered %lld, logged %lld (%zu different), lost "
                                 "%lld, logged twice %lld",
                                 delivered, cardsLogged, cards.size(), cardsLost, cardsTwice)
            << Qt::endl;
    if (secure)
        out << "secure sessions ended " << sessionsEnded << ", reopened " << reopened
            << (sessionHeld ? ", open at the end" : ", NOT open at the end") << Qt::endl;
    engine.disconnect(); // what the disconnect logs is no part of the soak
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    // A 16-bit CRC lets about one damaged frame in 65 536 through; far more than that is a
    // check that does not hold.
    const long long allowed = 1 + 4 * (sent - undamaged) / 65536;
    if (wrong > allowed)
        out << "more damaged frames taken as valid than the CRC lets through (at most " << allowed
            << ")" << Qt::endl;
    // A card read or a session may be lost only with an exchange that failed three sends.
    const bool failed = lost > 0 || longest >= 1000 || wrong > allowed || cardsLost > exhausted ||
                        cardsTwice > 0 || sessionsEnded > exhausted || !sessionHeld;
    return failed ? 1 : 0;
}
