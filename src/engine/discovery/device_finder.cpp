#include "discovery/device_finder.h"

#include "decode/decoders.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

namespace quintrel {

namespace {

constexpr std::uint8_t kId = 0x61;
constexpr std::uint8_t kPdid = 0x45;
constexpr std::uint8_t kNak = 0x41;

void Describe(TFoundDevice& device, const QByteArray& data, const TVendorList& vendors) {
    const auto pdid = ParsePdid(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                static_cast<std::size_t>(data.size()));
    if (!pdid) return;
    device.Vendor = QString::fromStdString(vendors.VendorName(pdid->Vendor));
    device.Model = QString::asprintf("%.2X", pdid->Model);
    device.Serial = QString::asprintf("%.8X", pdid->Serial);
    device.Firmware =
        QString::asprintf("%d.%d.%d", pdid->Firmware[0], pdid->Firmware[1], pdid->Firmware[2]);
}

} // namespace

TDeviceFinder::TDeviceFinder(TEngine& engine, QObject* parent) : QObject(parent), Engine(engine) {}

// One osdp_ID and its answer (the engine repeats a damaged reply's frame by itself). After a
// broadcast the whole wait is listened to: a second answer, or damage, means more readers.
TDeviceFinder::TAnswer TDeviceFinder::Ask(int address, TFoundDevice& device) {
    const bool broadcast = address == kBroadcastAddress;
    TAnswer answer = TAnswer::None;
    int others = 0; // frames heard besides the answer
    QElapsedTimer sent;
    const auto went = connect(&Engine, &TEngine::FrameSent, this,
                              [&](std::uint8_t to, std::uint8_t code, int attempt) {
                                  if (to == address && code == kId && attempt == 1) sent.start();
                              });
    const auto valid = connect(&Engine, &TEngine::FrameReceived, this,
                               [&](std::uint8_t from, std::uint8_t code, const QByteArray& data) {
                                   if (answer == TAnswer::Valid) return;
                                   if (!broadcast && from != address) return;
                                   answer = TAnswer::Valid;
                                   device.Address = from;
                                   if (code == kPdid) Describe(device, data, Engine.Vendors);
                                   if (code == kNak)
                                       device.Note = QStringLiteral("refused osdp_ID");
                               });
    const auto damaged = connect(&Engine, &TEngine::InvalidFrame, this, [&](std::uint8_t) {
        if (answer == TAnswer::None)
            answer = TAnswer::Damaged;
        else
            ++others;
    });
    const auto stray = connect(&Engine, &TEngine::UnawaitedFrame, this,
                               [&](std::uint8_t, bool intact) { others += intact ? 1 : 0; });
    if (!broadcast) Engine.Devices()[address].Sequence = 0; // a fresh start for each
    TOsdpRequest id;
    id.Command = kId;
    id.Address = static_cast<std::uint8_t>(address);
    id.Payload[0] = 0x00;
    id.PayloadLength = 1;
    if (Engine.SendRequest(id, nullptr, TOrigin::Routine)) {
        Engine.WaitExchangeDone();
        if (broadcast && sent.isValid() && Engine.Port().IsOpen()) {
            const qint64 left = Engine.ReplyTimeout() - sent.elapsed();
            if (left > 0) {
                QEventLoop rest;
                QTimer::singleShot(static_cast<int>(left), Qt::PreciseTimer, &rest,
                                   &QEventLoop::quit);
                rest.exec();
            }
        }
    }
    for (const auto& c : {went, valid, damaged, stray})
        disconnect(c);
    if (answer == TAnswer::Damaged) device.Note = QStringLiteral("damaged reply");
    if (broadcast && others > 0) return TAnswer::Several;
    return answer;
}

bool TDeviceFinder::SearchSpeed(int baud, const TFinderOptions& options, int& done, int total) {
    if (baud > 0 && Engine.Port().Baud() != baud) Engine.Port().SetBaud(baud);
    const auto report = [&](TFoundDevice device) {
        device.Baud = baud;
        Results << device;
        emit Found(device);
    };
    // A single reader that answers the broadcast cleanly from its own address, with nothing
    // else heard for the whole wait, names itself: nothing else to ask. An answer from the
    // broadcast address (as standard readers give it), several answers or damage send the
    // search through every address.
    TFoundDevice first;
    if (!options.EveryAddress && Ask(kBroadcastAddress, first) == TAnswer::Valid &&
        first.Address < kDeviceCount) {
        report(first);
        done += options.LastAddress - options.FirstAddress + 1;
        emit Progress(done, total);
        return true;
    }
    for (int a = options.FirstAddress; a <= options.LastAddress; ++a) {
        if (Cancelled || !Engine.Port().IsOpen()) return false;
        TFoundDevice device;
        device.Address = a;
        if (Ask(a, device) != TAnswer::None)
            report(device);
        else
            ++Silent;
        emit Progress(++done, total);
    }
    return true;
}

// "Find devices: 2 found (0 at 9600, 5 at 9600), 125 addresses silent", and how far it got
// when it was cut short.
QString TDeviceFinder::Summary(int done, int total, bool everyAddress) const {
    QStringList found;
    for (const TFoundDevice& device : Results)
        found << (device.Baud > 0 ? QStringLiteral("%1 at %2").arg(device.Address).arg(device.Baud)
                                  : QString::number(device.Address));
    QString text = QStringLiteral("Find devices: %1 found").arg(Results.size());
    if (!found.isEmpty()) text += QStringLiteral(" (%1)").arg(found.join(QStringLiteral(", ")));
    text += QStringLiteral(", %1 address%2 silent").arg(Silent).arg(QLatin1String(Silent == 1 ? "" : "es"));
    if (done < total)
        text += QStringLiteral("; %1 after %2 of %3 addresses")
                    .arg(Cancelled ? QStringLiteral("cancelled") : QStringLiteral("ended"))
                    .arg(done)
                    .arg(total);
    text += everyAddress ? QStringLiteral("; every address asked")
                         : QStringLiteral("; quick search (broadcast first)");
    return text;
}

QList<TFoundDevice> TDeviceFinder::Run(const TFinderOptions& options) {
    Results.clear();
    Cancelled = false;
    IsRunning = true;
    Silent = 0;
    const bool quiet = Engine.QuietTimeouts;
    Engine.QuietTimeouts = true;
    TLink& port = Engine.Port();
    const int noted = port.Baud();
    const bool wasPolling = Engine.Polling();
    if (wasPolling) {
        Engine.StopPolling();
        Engine.WaitExchangeDone();
    }
    Engine.SetReplyTimeout(options.WaitMs);
    QList<int> speeds = port.IsTcp() || options.Speeds.isEmpty() ? QList<int>{0} : options.Speeds;
    const int perSpeed = std::max(0, options.LastAddress - options.FirstAddress + 1);
    const int total = static_cast<int>(speeds.size()) * perSpeed;
    int done = 0;
    for (int baud : speeds)
        if (Cancelled || !port.IsOpen() || !SearchSpeed(baud, options, done, total)) break;
    Engine.SetReplyTimeout(TEngine::ReplyTimeoutMs);
    Engine.QuietTimeouts = quiet;
    Engine.Log(Summary(done, total, options.EveryAddress));
    if (port.Baud() != noted) port.SetBaud(noted);
    if (wasPolling && port.IsOpen()) Engine.StartPolling();
    IsRunning = false;
    return Results;
}

} // namespace quintrel
