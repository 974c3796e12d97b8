#pragma once
// How the user talks to a device: the hex command line and the OSDP menu. Every
// composed command becomes a request for the engine; the dialogs and key prompts
// that need a person are asked through IComposerUi, so the window supplies widgets
// and tests supply answers.

#include "commands/builders.h"
#include "crypto/handshake.h"
#include "engine.h"
#include "maintenance/file_transfer_driver.h"

#include <QString>

#include <functional>
#include <optional>

namespace quintrel {

struct TComSetChoice {
    int Address = 0;
    QString BaudText; // the selected rate as shown; empty when none is selected
};

class IComposerUi {
  public:
    virtual ~IComposerUi() = default;
    // Each shows its dialog; nothing when the user closed or cancelled it.
    virtual std::optional<TOutputControl> AskOutputControl() = 0;
    virtual std::optional<TLedControl> AskLedControl() = 0;
    virtual std::optional<TBuzzerControl> AskBuzzerControl() = 0;
    virtual std::optional<TComSetChoice> AskComSet() = 0;
    virtual std::optional<std::string> AskKey(const std::string& prompt,
                                              const std::string& defaultText) = 0;
    // The command line's history; returns the stored (trimmed) text.
    virtual QString AddToHistory(const QString& text) = 0;
    virtual void ShowError(const QString& text) = 0;
    virtual void RepaintPollList() = 0;
};

class TComposer {
  public:
    // Largest hex command: one command byte and the payload that fits a frame buffer.
    static constexpr std::size_t HexCapacity = kFrameBufferSize;

    TComposer(TEngine& engine, IComposerUi& ui) : Engine(engine), Ui(ui) {}

    TKeyOptions Keys;
    std::function<std::uint8_t()> RandomByte;
    // The open file transfer, which writes the payload of command 0x7C.
    TFileTransfer* FileTransfer = nullptr;

    // The OSDP menu: tag = command code, address = the address box's selection.
    void OnSendCmdClick(int tag, int address);
    // A command that a reply calls for (osdp_SCRYPT after osdp_CCRYPT). It runs inside
    // frame processing, so every failure goes to the log instead of a box.
    void IssueFromReply(int tag, int address);
    // The hex command line. False when nothing was submitted.
    bool SendHex(const QString& text, int address);

  private:
    enum class TCompose { Accepted, Declined, Failed };
    TCompose Compose(std::uint8_t code, TOsdpRequest& request);

    void Fail(const QString& text);
    void DropHandshake();
    QString MismatchHint() const;

    TEngine& Engine;
    IComposerUi& Ui;
    bool FromReply = false;
    // The session a challenge being composed opens, until it is handed to the engine.
    std::optional<TSecureSession> Handshake;
};

} // namespace quintrel
