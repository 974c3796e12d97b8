// The engine when it only listens: the port is open but nothing is written to it. Every byte
// heard goes to the reader of overheard traffic, and what its frames say reaches the log, the
// Devices tab and the poll list through the signals the live path uses.

#include "engine.h"

#include "osdp/frame_codec.h"

#include <chrono>
#include <vector>

namespace quintrel {

namespace {

constexpr std::uint8_t kPoll = 0x60;

} // namespace

void TEngine::SetOverheardKeys(const TFollowerKeys& keys) {
    OverheardKeys = keys;
    if (Overheard) Overheard->SetKeys(keys);
}

bool TEngine::StartListening(QString* error) {
    if (CP1.IsOpen()) {
        if (error) *error = QStringLiteral("Error: %1 is already open").arg(CP1.DisplayName());
        return false;
    }
    if (!OpenLink(true, error)) return false;
    ListenMode = true;
    HeardAddresses.fill(false);
    HeardSecure.fill(false);
    HeardCommand = THeardCommand{};
    for (TDeviceState& d : DeviceStates)
        d.Status = dsOk;
    Overheard = std::make_unique<TOverheardReader>(
        TCaptureView{View.Raw, View.Description, View.Poll, View.Keys}, Vendors,
        [this](std::int64_t, const std::string& line) {
            emit LogLine(QString::fromStdString(line));
        });
    Overheard->SetFrameSink([this](const TOverheardReader::THeardFrame& f) { OnHeard(f); });
    Overheard->SetKeys(OverheardKeys);
    ShowStatus(0, CP1.IsTcp() ? QStringLiteral("Listening on %1").arg(CP1.DisplayName())
                                   : QStringLiteral("Listening on %1 at %2 baud")
                                         .arg(CP1.DisplayName())
                                         .arg(CP1.Baud()));
    emit ListeningStarted();
    emit PollListChanged();
    emit ControlsChanged();
    return true;
}

// Both directions come mixed on one stream: each notification's bytes are one piece of it,
// stamped with the time they were read.
void TEngine::ListenToBytes(int count) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(std::max(count, 0)));
    std::uint8_t b;
    while (static_cast<int>(bytes.size()) < count && CP1.ReadByte(b))
        bytes.push_back(b);
    if (bytes.empty() || !Overheard) return;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    Overheard->SetView(TCaptureView{View.Raw, View.Description, View.Poll, View.Keys});
    Overheard->Feed(TCaptureIo::Trace, ns, bytes.data(), bytes.size());
}

void TEngine::SetHeardStatus(std::uint8_t address, std::uint8_t status) {
    if (address >= kDeviceCount) return;
    HeardAddresses[address] = true;
    TDeviceState& d = DeviceStates[address];
    if (d.Status == status) {
        emit PollListChanged();
        return;
    }
    if (d.Status == dsTimeout && status == dsOk)
        emit LogLine(QStringLiteral("Device %1 answers again").arg(address));
    d.Status = status;
    emit ControlsChanged();
    emit PollListChanged();
}

// Called before the frame's lines are logged, so a command left unanswered is said before
// the command that follows it.
void TEngine::OnHeard(const TOverheardReader::THeardFrame& f) {
    const QByteArray bytes(reinterpret_cast<const char*>(f.Bytes), static_cast<qsizetype>(f.Count));
    emit HeardFrame(bytes, f.Whole, f.FirstTime, f.LastTime);
    if (!f.Intact) {
        // A damaged frame that shows a reply answers the command heard last, badly.
        if (f.Reply && HeardCommand.Open) {
            HeardTimer.stop();
            HeardCommand.Open = false;
            emit ExchangeEnded(HeardCommand.Address, TExchangeEnd::BadCheck, -1);
            ShowStatus(2, QStringLiteral("Invalid message from %1").arg(f.Address));
            SetHeardStatus(HeardCommand.Address, dsError);
        }
        emit InvalidFrame(f.Address);
        return;
    }
    if (f.Address < kDeviceCount && HeardSecure[f.Address] != f.Secure) {
        HeardSecure[f.Address] = f.Secure;
        emit PollListChanged();
    }
    if (f.Reply) {
        HeardReply(f);
        return;
    }
    if (HeardCommand.Open) HeardUnanswered();
    // The same frame again, with a sequence number other than 0, is a repeat of it.
    const bool repeat = bytes == HeardCommand.Bytes && f.Count > 4 && (f.Bytes[4] & 0x03) != 0;
    HeardCommand.Open = true;
    HeardCommand.Address = f.Address;
    HeardCommand.Code = f.Code;
    HeardCommand.LastNs = f.LastTime;
    HeardCommand.Attempt = repeat ? HeardCommand.Attempt + 1 : 1;
    HeardCommand.Bytes = bytes;
    HeardTimer.start();
    if (f.Address < kDeviceCount) HeardAddresses[f.Address] = true;
    emit FrameSent(f.Address, f.Code, HeardCommand.Attempt);
}

void TEngine::HeardReply(const TOverheardReader::THeardFrame& f) {
    const TDecodedFrame peek = PeekFrame(f.Bytes, f.Count);
    const std::size_t start = std::min<std::size_t>(peek.DataStart, f.Count);
    const QByteArray data(reinterpret_cast<const char*>(f.Bytes + start),
                          static_cast<qsizetype>(std::min<std::size_t>(peek.DataLength,
                                                                       f.Count - start)));
    // The answer to the command heard last: from its address, or any answer to a broadcast.
    if (HeardCommand.Open &&
        (HeardCommand.Address == f.Address || HeardCommand.Address >= kDeviceCount)) {
        HeardTimer.stop();
        HeardCommand.Open = false;
        // From the command's last byte to the reply's first.
        const qint64 us = std::max<qint64>(0, (f.FirstTime - HeardCommand.LastNs) / 1000);
        emit ExchangeEnded(f.Address, TExchangeEnd::Reply, us);
        if (HeardCommand.Code != kPoll) {
            TCommandEnd e;
            e.Address = HeardCommand.Address;
            e.Command = HeardCommand.Code;
            e.Origin = TOrigin::Routine; // nobody here asked for it
            e.End = TExchangeEnd::Reply;
            e.Reply = f.Code;
            e.Data = data;
            emit CommandEnded(e);
        }
    }
    ShowStatus(2, QStringLiteral("Message from %1").arg(f.Address));
    SetHeardStatus(f.Address, dsOk);
    emit FrameReceived(f.Address, f.Code, data);
}

void TEngine::HeardUnanswered() {
    HeardTimer.stop();
    HeardCommand.Open = false;
    const std::uint8_t address = HeardCommand.Address;
    emit ExchangeEnded(address, TExchangeEnd::Timeout, -1);
    if (HeardCommand.Code != kPoll) {
        TCommandEnd e;
        e.Address = address;
        e.Command = HeardCommand.Code;
        e.Origin = TOrigin::Routine;
        e.End = TExchangeEnd::Timeout;
        emit CommandEnded(e);
    }
    if (address >= kDeviceCount) return;
    ShowStatus(2, QStringLiteral("Timeout %1").arg(address));
    if (DeviceStates[address].Status != dsTimeout)
        emit LogLine(QStringLiteral("TIMEOUT (no reply from %1)").arg(address));
    SetHeardStatus(address, dsTimeout);
}

} // namespace quintrel
