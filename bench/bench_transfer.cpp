// File transfer while polling, against the simulated reader over loopback: bytes per
// second against the bound 64 B / (reply time + turnaround), one fragment per exchange.

#include "bench_support.h"
#include "engine.h"
#include "maintenance/file_transfer_driver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryFile>
#include <QTextStream>
#include <QTimer>

using namespace quintrel;

namespace {

// Issues each next fragment as the window would, to address 0.
class THost : public IEngineHost {
  public:
    TEngine* Engine = nullptr;
    TFileTransfer* Transfer = nullptr;
    int SelectedAddress() const override { return 0; }
    void SelectAddress(int) override {}
    void IssueMenuCommand(int tag, int) override {
        TOsdpRequest r;
        r.Command = static_cast<std::uint8_t>(tag);
        std::uint8_t* cursor = r.PayloadStart();
        if (!Transfer->BuildNext(cursor, nullptr)) return;
        r.SetPayloadEnd(cursor);
        Engine->QueueRequest(r);
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QProcess pd;
    THost host;
    TEngine engine(&host);
    TFileTransfer transfer(engine, &host);
    host.Engine = &engine;
    host.Transfer = &transfer;
    if (!bench::ConnectToPd(pd, engine, {}, 1, out)) return 1;
    QString error;

    // Reply time of one fragment-sized exchange: a text command the reader refuses.
    TOsdpRequest text;
    text.Command = 0x6B;
    text.PayloadLength = 75;
    const double replyMs = bench::MeanExchangeMs(engine, text, 50);

    constexpr int size = 16 * 1024;
    QTemporaryFile file;
    file.open();
    file.write(QByteArray(size, '\x42'));
    file.flush();
    engine.StartPolling();
    QEventLoop loop;
    QObject::connect(&transfer, &TFileTransfer::Changed, &loop, [&] {
        if (!transfer.IsOpen()) loop.quit();
    });
    QElapsedTimer t;
    t.start();
    transfer.Start(file.fileName(), &error);
    host.IssueMenuCommand(0x7C, 0);
    loop.exec();
    // The last fragment is out; its status is the end of the transfer.
    engine.WaitExchangeDone();
    const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const double rate = size / seconds;
    const double bound = 64.0 * 1000.0 / (replyMs + 20.0);
    out << QString::asprintf("file transfer while polling: %d bytes in %.2f s, %.0f B/s, bound "
                             "%.0f B/s (reply %.3f ms + 20 ms), %.1f%%",
                             size, seconds, rate, bound, replyMs, 100.0 * rate / bound)
        << Qt::endl;
    engine.Disconnect();
    pd.kill();
    pd.waitForFinished();
    return 0;
}
