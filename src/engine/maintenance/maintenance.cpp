#include "maintenance/maintenance.h"

#include "composer.h"
#include "log/hex.h"
#include "osdp/bytes.h"

#include <algorithm>

namespace quintrel {

TMaintenance::TMaintenance(TEngine& engine, QObject* parent) : QObject(parent), Engine(engine) {
    // A direct connection: the records change before a pending wait for the reply ends.
    connect(&Engine, &TEngine::MfgReply, this, [this](std::uint8_t, const QByteArray& data) {
        HandleMfgReply(Records, reinterpret_cast<const std::uint8_t*>(data.constData()),
                       static_cast<std::size_t>(data.size()));
    });
}

bool TMaintenance::Ask(const TOsdpRequest& request) {
    if (!Engine.QueueRequest(request)) return false;
    return Engine.WaitForReply(kMfgReply);
}

void TMaintenance::OnSendMfgCmdClick(int tag, int address, IComposerUi& ui) {
    const auto subCommand = static_cast<std::uint16_t>(tag & 0xFFFF);
    if (subCommand == 0) {
        ui.ShowError(QStringLiteral("Not yet implemented"));
        return;
    }
    TOsdpRequest request;
    std::uint8_t* cursor = BuildMfgRequest(request, Engine.MfgId,
                                           static_cast<std::uint8_t>(address & 0x7F), subCommand);
    if (subCommand == mfcEnterBoot || subCommand == 0x01FA) {
        // Cancel sends the request without a password.
        if (const auto password = ui.AskKey("Password", "")) {
            const std::size_t room =
                kPayloadCapacity - static_cast<std::size_t>(cursor - request.PayloadStart());
            const std::size_t n = std::min(password->size(), room);
            PutBytes(cursor, static_cast<int>(n),
                     reinterpret_cast<const std::uint8_t*>(password->data()));
        }
    }
    request.SetPayloadEnd(cursor);
    ui.AddToHistory(
        QStringLiteral("80 ") +
        QString::fromStdString(BytesToHex(request.Payload.data(), request.PayloadLength, true)));
    QString error;
    if (!Engine.QueueRequest(request, &error)) ui.ShowError(error);
}

} // namespace quintrel
