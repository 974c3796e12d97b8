#include "maintenance/file_transfer_driver.h"

#include "maintenance/file_transfer.h"

#include <array>
#include <limits>

namespace quintrel {

TFileTransfer::TFileTransfer(TEngine& engine, IEngineHost* host, QObject* parent)
    : QObject(parent), Engine(engine), Host(host) {
    NextTimer.setSingleShot(true);
    NextTimer.setTimerType(Qt::PreciseTimer);
    // The next fragment is issued from a timer, never from inside frame processing.
    connect(&NextTimer, &QTimer::timeout, this, [this] {
        if (TransferOpen && Host) Host->IssueMenuCommand(kFileTransferCommand, -1);
    });
    connect(&Engine, &TEngine::FrameReceived, this, &TFileTransfer::OnFrame);
}

bool TFileTransfer::Start(const QString& path, QString* error) {
    Stop();
    TransferFile.setFileName(path);
    if (!TransferFile.open(QIODevice::ReadOnly)) {
        if (error)
            *error =
                QStringLiteral("Error: cannot open %1: %2").arg(path, TransferFile.errorString());
        return false;
    }
    if (TransferFile.size() > std::numeric_limits<quint32>::max()) {
        TransferFile.close();
        if (error) *error = QStringLiteral("Error: %1 is too large to transfer").arg(path);
        return false;
    }
    TransferOpen = true;
    TransferSize = static_cast<quint32>(TransferFile.size());
    TransferOffset = 0;
    TransferFragment = 0;
    emit Changed();
    return true;
}

void TFileTransfer::Close() {
    NextTimer.stop();
    TransferFile.close();
    TransferOpen = false;
}

void TFileTransfer::Stop() {
    if (!TransferOpen && !TransferFile.isOpen()) return;
    Close();
    emit Changed();
}

bool TFileTransfer::BuildNext(std::uint8_t*& cursor, QString* error) {
    if (!TransferOpen) return false;
    std::array<std::uint8_t, kFileFragmentSize> fragment{};
    const qint64 n = TransferFile.read(reinterpret_cast<char*>(fragment.data()), fragment.size());
    if (n < 0) {
        if (error)
            *error = QStringLiteral("Error: cannot read %1: %2")
                         .arg(TransferFile.fileName(), TransferFile.errorString());
        Close();
        emit Changed();
        return false;
    }
    TransferFragment = static_cast<quint16>(n);
    if (TransferFile.atEnd()) Close();
    const bool wrote = n > 0;
    if (wrote) {
        BuildFileTransfer(cursor, TransferSize, TransferOffset, fragment.data(), TransferFragment);
        TransferOffset += TransferFragment;
    }
    emit Changed();
    return wrote;
}

void TFileTransfer::OnFrame(std::uint8_t address, std::uint8_t code, const QByteArray& data) {
    if (code != kFtStatReply || !TransferOpen) return;
    const auto status = ParseFtStat(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                    static_cast<std::size_t>(data.size()));
    if (!status) return;
    if (status->Status < 0) {
        Engine.Log(QStringLiteral("File transfer to %1 ended by the device (status %2) after %3 of "
                                  "%4 bytes")
                       .arg(address)
                       .arg(status->Status)
                       .arg(TransferOffset)
                       .arg(TransferSize));
        Close();
        emit Changed();
        return;
    }
    // A device that asks for time (to write its flash, say) gets it.
    NextTimer.start(status->DelayMs);
}

} // namespace quintrel
