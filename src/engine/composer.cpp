#include "composer.h"

#include "log/hex.h"
#include "maintenance/file_transfer.h"

#include <QRandomGenerator>

namespace quintrel {

namespace {

bool IsRepeatingDialog(std::uint8_t code) {
    return code == 0x68 || code == 0x69 || code == 0x6A;
}
bool IsSecureChannelCommand(std::uint8_t code) {
    return code >= 0x75 && code <= 0x77;
}

} // namespace

TComposer::TCompose TComposer::Compose(std::uint8_t code, TOsdpRequest& request) {
    std::uint8_t* cursor = request.PayloadStart();
    bool accepted = true;
    switch (code) {
    case 0x61:
    case 0x62:
        *cursor++ = 0x00;
        break;
    case 0x68:
        if (const auto v = Ui.AskOutputControl())
            BuildOutputControl(*v, cursor);
        else
            accepted = false;
        break;
    case 0x69:
        if (const auto v = Ui.AskLedControl())
            BuildLedControl(*v, cursor);
        else
            accepted = false;
        break;
    case 0x6A:
        if (const auto v = Ui.AskBuzzerControl())
            BuildBuzzerControl(*v, cursor);
        else
            accepted = false;
        break;
    case 0x6E: {
        const auto v = Ui.AskComSet();
        if (!v) {
            accepted = false;
            break;
        }
        bool ok = false;
        const uint baud = v->BaudText.toUInt(&ok);
        if (!ok) {
            Fail(QStringLiteral("'%1' is not a valid integer value").arg(v->BaudText));
            return TCompose::Failed;
        }
        BuildComSet(TComSet{v->Address, baud}, cursor);
        break;
    }
    case 0x7C: {
        QString error;
        accepted = FileTransfer && FileTransfer->BuildNext(cursor, &error);
        if (!error.isEmpty()) {
            Fail(error);
            return TCompose::Failed;
        }
        break;
    }
    case 0x75:
    case 0x76:
    case 0x77: {
        TSecureSession& session = Engine.Devices()[request.Address].Session;
        const TKeyPrompt prompt = [this](const std::string& p, const std::string& d) {
            return Ui.AskKey(p, d);
        };
        TSecurityHeader header;
        std::string keyError; // a typed key that is no key: said, not passed over
        if (code == 0x75) {
            accepted = BuildKeySet(cursor, session, Keys, prompt, &keyError);
        } else if (code == 0x76) {
            const auto random = RandomByte ? RandomByte : [] {
                return static_cast<std::uint8_t>(QRandomGenerator::global()->bounded(256));
            };
            // Built aside: the open session stays until this challenge really leaves.
            Handshake.emplace();
            accepted = BuildChallenge(cursor, header, *Handshake, Keys, prompt, random, &keyError);
        } else {
            accepted = BuildServerCryptogram(cursor, header, session, Keys);
            if (!accepted)
                Engine.Log(QStringLiteral("Secure channel with %1 not established (cryptogram "
                                          "mismatch); %2")
                               .arg(request.Address)
                               .arg(MismatchHint()));
        }
        if (!keyError.empty()) {
            Fail(QString::fromStdString(keyError));
            return TCompose::Failed;
        }
        request.ScbLength = header.Length;
        request.ScbType = header.Type;
        request.ScbData[0] = header.Data;
        break;
    }
    default:
        break;
    }
    request.SetPayloadEnd(cursor);
    return accepted ? TCompose::Accepted : TCompose::Declined;
}

// What a cryptogram that does not hold says about the key: the reader computed it with
// another one than was given.
QString TComposer::MismatchHint() const {
    if (Keys.UseScbkD)
        return QStringLiteral("the reader has a key of its own: untick Use default key and give "
                              "its key");
    if (Keys.DiversifyMasterkey)
        return QStringLiteral("the reader's key is not diversified from this master key");
    return QStringLiteral("the reader's key is not the one given");
}

void TComposer::DropHandshake() {
    if (!Handshake) return;
    WipeSession(*Handshake);
    Handshake.reset();
}

void TComposer::Fail(const QString& text) {
    if (FromReply)
        Engine.Log(text);
    else
        Ui.ShowError(text);
}

void TComposer::IssueFromReply(int tag, int address) {
    const bool outer = FromReply;
    FromReply = true;
    OnSendCmdClick(tag, address);
    FromReply = outer;
}

void TComposer::OnSendCmdClick(int tag, int address) {
    const auto code = static_cast<std::uint8_t>(tag & 0xFF);
    const auto target = static_cast<std::uint8_t>(address & 0x7F);
    if (code == 0) {
        Fail(QStringLiteral("Not yet implemented"));
        return;
    }
    // The broadcast address has no secure-channel record to work on.
    if (IsSecureChannelCommand(code) && target >= kDeviceCount) {
        Fail(QStringLiteral(
            "Error: the secure channel needs a single device address, not BROADCAST"));
        return;
    }
    for (;;) {
        TOsdpRequest request;
        request.Command = code;
        request.Address = target;
        if (Compose(code, request) != TCompose::Accepted) {
            DropHandshake();
            break;
        }

        // A file's fragments are no commands of the user's: they stay out of the history.
        if (code != kFileTransferCommand) {
            QString hex = QString::asprintf("%.2X ", code);
            hex += QString::fromStdString(
                BytesToHex(request.Payload.data(), request.PayloadLength, true));
            Ui.AddToHistory(hex);
        }
        // What a reply calls for (the handshake's next step, a file's next fragment) and a
        // file's first fragment are the procedure's own frames, not commands to announce.
        const TOrigin origin =
            FromReply || code == kFileTransferCommand ? TOrigin::Routine : TOrigin::User;
        QString error;
        const bool queued = Handshake ? Engine.QueueHandshake(request, *Handshake, &error, origin)
                                      : Engine.QueueRequest(request, &error, origin);
        DropHandshake();
        if (!queued) {
            Fail(error);
            return;
        }
        if (!IsRepeatingDialog(code)) break;
    }
    Ui.RepaintPollList();
}

namespace {

// The first character that is neither a hex digit, a blank nor part of "0x" or "0X"; -1
// when there is none. Counted in characters, not in the bytes of their encoding.
qsizetype FirstNonHex(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('0') && i + 1 < text.size() &&
            text[i + 1].toLower() == QLatin1Char('x')) {
            ++i;
            continue;
        }
        if (c == QLatin1Char(' ') || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
            (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            continue;
        return i;
    }
    return -1;
}

// The first group of digits between blanks (its "0x" prefixes aside) whose count is odd:
// half a byte is a typing slip, not a byte.
QString OddGroup(const QString& text) {
    for (const QString& group : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QString digits = group;
        digits.remove(QStringLiteral("0x"), Qt::CaseInsensitive);
        if (digits.size() % 2 != 0) return group;
    }
    return {};
}

} // namespace

bool TComposer::SendHex(const QString& text, int address) {
    // The typed line is sent as it stands or not at all: a character that is not hex
    // would otherwise silently become a zero byte.
    const qsizetype bad = FirstNonHex(text.trimmed());
    if (bad >= 0) {
        Fail(QStringLiteral("Error: \"%1\" is not a hexadecimal digit; nothing was sent")
                 .arg(text.trimmed().at(bad)));
        return false;
    }
    const QString odd = OddGroup(text.trimmed());
    if (!odd.isEmpty()) {
        Fail(QStringLiteral("Error: \"%1\" has an odd number of hex digits; nothing was sent")
                 .arg(odd));
        return false;
    }
    const QString stored = Ui.AddToHistory(text);
    const std::string digits =
        QString(stored).replace(QStringLiteral("0X"), QStringLiteral("0x")).toStdString();
    std::array<std::uint8_t, HexCapacity + 1> bytes{};
    // Read one byte more than fits, to tell a command that is too long from one that fills
    // the buffer exactly: a too-long command is refused rather than cut and sent.
    const std::size_t count = HexToBytes(digits, bytes.data(), bytes.size());
    if (count == 0) return false;
    if (count > HexCapacity) {
        Ui.ShowError(QStringLiteral("Error: the command is longer than %1 bytes; nothing was sent")
                         .arg(HexCapacity));
        return false;
    }
    TOsdpRequest request;
    request.Command = bytes[0];
    request.Address = static_cast<std::uint8_t>(address & 0x7F);
    std::copy(bytes.begin() + 1, bytes.begin() + static_cast<std::ptrdiff_t>(count),
              request.Payload.begin());
    request.PayloadLength = static_cast<std::uint16_t>(count - 1);
    QString error;
    if (!Engine.QueueRequest(request, &error)) {
        Ui.ShowError(error);
        return false;
    }
    Engine.ShowStatus(1, QStringLiteral("Command to %1").arg(request.Address));
    return true;
}

} // namespace quintrel
