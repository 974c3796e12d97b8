#include "maintenance/file_transfer_driver.h"

#include "maintenance/file_transfer.h"

#include <algorithm>
#include <array>
#include <limits>

namespace quintrel {

TFileTransfer::TFileTransfer(TEngine& engine, IEngineHost* host, QObject* parent)
    : QObject(parent), Engine(engine), Host(host) {
    NextTimer.setSingleShot(true);
    NextTimer.setTimerType(Qt::PreciseTimer);
    // The next fragment is issued from a timer, never from inside frame processing.
    connect(&NextTimer, &QTimer::timeout, this, [this] {
        if (TransferOpen && !AllSent && Host) Host->IssueMenuCommand(kFileTransferCommand, -1);
    });
    connect(&Engine, &TEngine::FrameReceived, this, &TFileTransfer::OnFrame);
    connect(&Engine, &TEngine::Disconnected, this, [this] {
        if (TransferOpen)
            End(QStringLiteral("File transfer to %1 ended at disconnect after %2 of %3 bytes")
                    .arg(Address)
                    .arg(TransferOffset)
                    .arg(TransferSize));
    });
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
    MaxFragment = 0;
    AllSent = false;
    Address = Host ? std::max(Host->SelectedAddress(), 0) : 0;
    Clock.start();
    emit Changed();
    return true;
}

void TFileTransfer::Close() {
    NextTimer.stop();
    TransferFile.close();
    TransferOpen = false;
    AllSent = false;
}

void TFileTransfer::End(const QString& text) {
    Engine.Log(text);
    Close();
    emit Changed();
}

// A person stops the transfer: said with how far it came. A fragment already on its way
// still goes; its status is not taken for another transfer's.
void TFileTransfer::Abandon() {
    if (!TransferOpen) return;
    End(QStringLiteral("File transfer to %1 stopped after %2 of %3 bytes")
            .arg(Address)
            .arg(TransferOffset)
            .arg(TransferSize));
}

void TFileTransfer::Stop() {
    if (!TransferOpen && !TransferFile.isOpen()) return;
    Close();
    emit Changed();
}

bool TFileTransfer::BuildNext(std::uint8_t*& cursor, QString* error) {
    if (!TransferOpen || AllSent) return false;
    std::array<std::uint8_t, kFileFragmentSize> fragment{};
    const qint64 room = MaxFragment > 0 ? std::min<qint64>(MaxFragment, kFileFragmentSize)
                                        : static_cast<qint64>(kFileFragmentSize);
    const qint64 n = TransferFile.read(reinterpret_cast<char*>(fragment.data()), room);
    if (n < 0) {
        if (error)
            *error = QStringLiteral("Error: cannot read %1: %2")
                         .arg(TransferFile.fileName(), TransferFile.errorString());
        Close();
        emit Changed();
        return false;
    }
    TransferFragment = static_cast<quint16>(n);
    const bool wrote = n > 0;
    if (wrote) {
        BuildFileTransfer(cursor, TransferSize, TransferOffset, fragment.data(), TransferFragment);
        TransferOffset += TransferFragment;
        // The composer submits the fragment next: only that submission's status counts.
        AwaitedSubmission = Engine.LastSubmission() + 1;
    }
    // The last fragment is out: the file is done with, and its status ends the transfer.
    if (TransferFile.atEnd()) {
        TransferFile.close();
        AllSent = wrote;
        if (!wrote) TransferOpen = false; // an empty file: nothing to send, nothing to await
    }
    emit Changed();
    return wrote;
}

void TFileTransfer::OnFrame(std::uint8_t address, std::uint8_t code, const QByteArray& data) {
    if (code != kFtStatReply || !TransferOpen) return;
    // The status of a fragment of this transfer, the last one sent: a late answer to one of
    // an earlier transfer's says nothing about this one.
    if (Engine.AnsweredSubmission() != AwaitedSubmission) return;
    const auto status = ParseFtStat(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                    static_cast<std::size_t>(data.size()));
    if (!status) return;
    Address = address;
    if (status->Status < 0) {
        End(QStringLiteral("File transfer to %1 ended by the device (status %2) after %3 of "
                           "%4 bytes")
                .arg(address)
                .arg(status->Status)
                .arg(TransferOffset)
                .arg(TransferSize));
        return;
    }
    if (AllSent) {
        End(QStringLiteral("File transfer to %1 complete: %2 bytes in %3 s")
                .arg(address)
                .arg(TransferSize)
                .arg(static_cast<double>(Clock.elapsed()) / 1000.0, 0, 'f', 1));
        return;
    }
    // A device that asks for smaller messages gets smaller fragments (at least one byte).
    MaxFragment = status->MaxMessage;
    // A device that asks for time (to write its flash, say) gets it.
    NextTimer.start(status->DelayMs);
}

} // namespace quintrel
