#include "maintenance/firmware_updater.h"

#include "maintenance/mfg_channel.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace quintrel {

namespace {

constexpr int kBootBaud = 9600;
constexpr int kFastBaud = 57600;

std::uint8_t RateIndex(int baud) {
    const auto it = std::find(kBootRates.begin(), kBootRates.end(), baud);
    return static_cast<std::uint8_t>(it - kBootRates.begin());
}

TFirmwareCheck Refused(std::string reason) {
    TFirmwareCheck check;
    check.Reason = std::move(reason);
    return check;
}

} // namespace

TFirmwareCheck OpenFirmwareFile(const QString& path, const std::array<std::uint8_t, 4>& expected) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) return Refused("no such file");
    if (!info.isFile()) return Refused("not a regular file");
    if (info.size() > TFirmwareUpdater::LargestFile) return Refused("larger than 16 MB");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return Refused("cannot be read");
    // The file may have grown since it was looked at: one byte more than allowed tells.
    const QByteArray text = file.read(TFirmwareUpdater::LargestFile + 1);
    if (file.error() != QFileDevice::NoError) return Refused("cannot be read");
    if (text.size() > TFirmwareUpdater::LargestFile) return Refused("larger than 16 MB");
    return LoadFirmwareFile(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())), expected);
}

TFirmwareUpdater::TFirmwareUpdater(TEngine& engine) : Engine(engine) {
    Engine.HandleBootByte = [this](std::uint8_t b) {
        switch (Replies.Feed(b)) {
        case TBootReplyAssembler::TResult::Positive:
            Engine.SetBootMode(0, 0);
            break;
        case TBootReplyAssembler::TResult::Negative:
            Engine.SetBootMode(0, 2);
            break;
        case TBootReplyAssembler::TResult::Pending:
            break;
        }
    };
}

TFirmwareUpdater::~TFirmwareUpdater() {
    Engine.HandleBootByte = nullptr;
}

bool TFirmwareUpdater::Send(std::uint8_t command, const std::uint8_t* data, std::size_t n) {
    std::array<std::uint8_t, kBootFrameCapacity> frame{};
    const std::size_t count = BuildBootFrame(command, data, n, frame);
    return count > 0 && Engine.SendBootBlock(frame.data(), static_cast<int>(count), kBootTimeoutMs);
}

// A pause that keeps the window and the line alive.
void TFirmwareUpdater::Pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QString TFirmwareUpdater::Run(const TFirmwareFile& file, const TBootTarget& target,
                              std::uint8_t address) {
    TLink& port = Engine.Port();
    const int noted = port.Baud();
    if (!port.IsOpen()) return QStringLiteral("Error: no connection");
    const QString error = Steps(file, target, address);
    if (port.Baud() != noted) port.SetBaud(noted);
    return error;
}

QString TFirmwareUpdater::Steps(const TFirmwareFile& file, const TBootTarget& target,
                                std::uint8_t address) {
    TLink& port = Engine.Port();
    const auto total = static_cast<int>(file.Records.size());
    if (Progress) Progress(0, total);
    Engine.SendRequest(EnterBootloader(Engine.MfgId, address, target.Password));
    Engine.WaitExchangeDone();
    Pause(EnterPauseMs);

    if (port.Baud() != kBootBaud) port.SetBaud(kBootBaud);
    if (!Send(bcSync)) return QStringLiteral("Error: bootloader communication failed");
    if (!SendByte(bcStart, 1))
        return QStringLiteral("Error: bootloader communication failed (code 2)");
    SendByte(bcSetSpeed, RateIndex(kFastBaud)); // the bootloader answers before it switches
    Replies.Clear();
    port.SetBaud(kFastBaud);
    // A bootloader that did not follow is still where it was last reached: 9600.
    if (!Send(bcSync)) port.SetBaud(kBootBaud);

    const std::array<std::uint8_t, 4>& code = file.DeviceCode;
    if (!Send(bcUnlock, code.data(), code.size()))
        return QStringLiteral("Error: failed to unlock bootloader");
    if (!SendByte(bcErase, 0)) return QStringLiteral("Error: failed to erase flash");
    if (!SendByte(bcPrepare, file.HeaderFlag == 0 ? 1 : 0))
        return QStringLiteral("Error: bootloader communication failed (code 3)");

    for (int i = 0; i < total; ++i) {
        const std::vector<std::uint8_t>& record = file.Records[static_cast<std::size_t>(i)];
        bool written = false;
        for (int attempt = 0; attempt < RecordAttempts && !written; ++attempt) {
            written = Send(bcWrite, record.data(), record.size());
            if (Progress) Progress(written ? i + 1 : i, total);
            if (!port.IsOpen()) break; // the connection was lost: no use trying again
        }
        if (!written)
            return QStringLiteral("Error: bootloader communication failed (code 4-%1)").arg(i);
    }
    return {};
}

} // namespace quintrel
