#pragma once
// The control panel's half of the OSDP conversation on a real port: the exchange machine
// (core/line) decides what goes on the line and when; the engine gives it the port's bytes
// and the time, carries out its actions (writes, log lines, signals) and wakes it with one
// timer. Beside it: the synchronous waits, the boot mode that lends the line to a
// bootloader, listening, and reconnecting.
//
// The engine owns the protocol state; the window owns widgets only. It speaks
// outward through signals and asks the few things only the window knows through
// IEngineHost.

#include "capture/overheard.h"
#include "decode/vendor_list.h"
#include "line/line_machine.h"
#include "link/link.h"
#include "osdp/types.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace quintrel {

class IEngineHost {
  public:
    virtual ~IEngineHost() = default;
    // The address chosen in the address box (0..127), or -1 while it has no selection.
    virtual int SelectedAddress() const = 0;
    // The engine follows a device to a new address announced by osdp_COM.
    virtual void SelectAddress(int address) = 0;
    // Compose and submit a menu command that a reply calls for (tag = command code), for
    // the given address, or for the address box's choice when address is -1. It runs
    // inside frame processing: whatever goes wrong belongs in the log, never in a box.
    virtual void IssueMenuCommand(int tag, int address) = 0;
};

// How a command other than osdp_POLL ended, once no repeat of it follows.
struct TCommandEnd {
    std::uint8_t Address = 0; // the address it went to (127: broadcast)
    std::uint8_t Command = 0;
    TOrigin Origin = TOrigin::User;
    TExchangeEnd End = TExchangeEnd::Timeout;
    std::uint8_t Reply = 0; // with End == Reply: the reply's code and its plain data
    QByteArray Data;
};

class TEngine : public QObject {
    Q_OBJECT

    // First, so the option references below bind to it.
    TLineMachine Machine;

  public:
    static constexpr int ReplyTimeoutMs = 300;
    static constexpr int ReplyWaitMs = 1000;
    static constexpr int RingSize = 100;
    // Sends of one frame before the engine gives up on it: an invalid or busy reply, and no
    // reply at all from a device that answered its previous exchange, are answered by the
    // same frame again, byte for byte, up to this many sends in all.
    static constexpr int MaxAttempts = 3;

    explicit TEngine(IEngineHost* host = nullptr, QObject* parent = nullptr);
    ~TEngine() override;

    TLink& Port() { return CP1; }
    const TLink& Port() const { return CP1; }
    std::array<TDeviceState, kDeviceCount>& Devices() { return Machine.Devices(); }
    const std::array<TDeviceState, kDeviceCount>& Devices() const { return Machine.Devices(); }

    // Settings the window shows and the settings file keeps (the machine reads them).
    bool& UseCrc = Machine.UseCrc;
    // A session that ended because the line failed is opened again with the same key at the
    // device's next answer, while this is on at that moment.
    bool& ReopenSessions = Machine.ReopenSessions;
    // Silence is the expected answer (a search of the line): a device's time-out is not
    // logged line by line, the searcher sums it up.
    bool& QuietTimeouts = Machine.QuietTimeouts;
    TViewFlags& View = Machine.View;
    std::uint32_t& MfgId = Machine.MfgId;
    TVendorList Vendors;
    int PollInterval() const { return PollIntervalMs; }
    // A negative interval counts as 0.
    void SetPollInterval(int ms);

    // The reply time-out of the frames sent from now on: 300 ms, or less for a search that
    // waits a shorter time per address (1..300).
    int ReplyTimeout() const { return ReplyWait; }
    void SetReplyTimeout(int ms);

    bool Polling() const { return Machine.Polling(); }
    // True while Disconnect waits for the last exchange to finish.
    bool Disconnecting() const { return IsDisconnecting; }
    int CurrentAddress() const { return Machine.CurrentAddress(); }

    // Connection. OpenPort starts polling at once; failures come back as text.
    bool OpenPort(QString* error);
    void ClosePort();
    void Disconnect();
    // Listening: the port opens as for OpenPort, but nothing is ever written to it (not even a
    // mark byte) and no polling starts. Every frame heard, in both directions, is logged as
    // the live log says it and reported through the signals the live path uses: a command as
    // FrameSent, its reply as ExchangeEnded and FrameReceived, a command that no reply
    // answers before the next command or within the reply time-out as a time-out. Disconnect
    // ends it. Every request submitted meanwhile is refused with ListenOnlyError.
    bool StartListening(QString* error);
    // The keys tried on the secure sessions heard while listening (the default key is
    // always tried); takes effect at once when listening.
    void SetOverheardKeys(const TFollowerKeys& keys);
    bool Listening() const { return ListenMode; }
    // While listening: a secure session with the device is being read from the line.
    bool HeardSession(int address) const {
        return address >= 0 && address < kDeviceCount && HeardSecure[address];
    }
    // The address was heard (a command to it or a reply from it) since listening began.
    bool Heard(int address) const {
        return address >= 0 && address < kDeviceCount && HeardAddresses[address];
    }
    static QString ListenOnlyError() {
        return QStringLiteral("Error: listening only; nothing is sent");
    }
    // After a lost connection, open the port again every ReconnectIntervalMs until it
    // opens or the user disconnects (Disconnect stops it); each try is one log line.
    // Turning it off stops a reconnection under way.
    static constexpr int ReconnectIntervalMs = 2000;
    void SetReconnect(bool on);
    bool Reconnect() const { return ReconnectOn; }
    bool Reconnecting() const { return ReconnectTimer.isActive(); }
    void SetReconnectInterval(int ms) { ReconnectTimer.setInterval(ms); }

    // Submit: sent at once while the line is free, else queued in the ring of 100 and sent
    // at the next exchange slot (after the exchange in progress, its repeats and the
    // turnaround; while polling, before the next poll, without waiting for the interval).
    // False (with the link's error) when an immediate send could not be written, or (while
    // polling) when the request cannot be framed.
    bool QueueRequest(const TOsdpRequest& request, QString* error = nullptr,
                      TOrigin origin = TOrigin::User);
    bool SendRequest(const TOsdpRequest& request, QString* error = nullptr,
                     TOrigin origin = TOrigin::User);
    // A user's osdp_CHLNG with the session record it opens: the device's session changes only
    // when the challenge leaves.
    bool QueueHandshake(const TOsdpRequest& request, const TSecureSession& session,
                        QString* error = nullptr, TOrigin origin = TOrigin::User);
    // Submissions are numbered in order: the last one's number, and (while FrameReceived is
    // being reported) the number of the one that frame answers, 0 for a poll's answer.
    std::uint64_t LastSubmission() const { return Machine.SubmittedCount(); }
    std::uint64_t AnsweredSubmission() const { return ReplySerial; }
    // Until every request submitted before the call has left (or been refused) and the
    // exchange in progress, with its repeats, is done; requests submitted later are not
    // waited for. It ends within a reply time-out after the last of those frames.
    bool WaitExchangeDone();
    int QueuedCount() const;
    void ShowStatus(int panel, const QString& text);
    void Log(const QString& text) { emit LogLine(text); }

    void StartPolling();
    void StopPolling();
    int NextPollAddress(int after) const;

    // Poll selection: ticking an address that was not selected starts it fresh.
    void SetSelection(const std::array<bool, kDeviceCount>& ticked);
    void SetSelected(int address, bool ticked);
    std::array<bool, kDeviceCount> Selection() const;

    // Reply wait and boot mode. WaitForReply waits for a reply with this code to the
    // request submitted last: up to ReplyWaitMs from the moment that request went out.
    bool WaitForReply(std::uint8_t code);
    void SetBootMode(int intervalMs, int tag);
    bool WaitBootMode();
    bool SendBootBlock(const std::uint8_t* bytes, int count, int timeoutMs);
    bool BootMode() const { return BootModeOn; }
    std::function<void(std::uint8_t)> HandleBootByte;
    std::uint8_t AwaitedReply() const { return Awaited; }

  signals:
    void LogLine(const QString& text);
    void StatusText(int panel, const QString& text);
    void ControlsChanged();
    void PollListChanged();
    // A failure of the link that no user action is waiting for (the window shows a box).
    void ErrorMessage(const QString& text);
    // A valid frame after the engine's own handling; the raw frame and its plain data.
    void FrameReceived(std::uint8_t address, std::uint8_t code, const QByteArray& data);
    // A frame that failed its checks (from the address it shows, which may itself be damaged).
    void InvalidFrame(std::uint8_t address);
    // A frame that answered no exchange (from another address than the one the last frame
    // went to, with another sequence number, or after that exchange ended): logged and
    // checked, nothing more.
    void UnawaitedFrame(std::uint8_t address, bool intact);
    void MfgReply(std::uint8_t address, const QByteArray& data);
    // Every frame as it went out (without the mark byte before it) or came in (before its
    // checks, invalid ones too), for captures.
    void LineFrame(bool sent, const QByteArray& frame);
    // A frame heard while listening, whole or cut short (whole false), with the times of its
    // first and last byte in nanoseconds since 1970, for captures.
    void HeardFrame(const QByteArray& frame, bool whole, qint64 firstNs, qint64 lastNs);
    // The port was closed (by the user or because the link was lost).
    void Disconnected();
    // A frame left for the address; attempt 1 is the first send, more is a repeat.
    void FrameSent(std::uint8_t address, std::uint8_t command, int attempt);
    // The exchange with the address ended; the round trip (send to last byte of the reply)
    // in microseconds, or -1 at a time-out.
    void ExchangeEnded(std::uint8_t address, quintrel::TExchangeEnd end, qint64 roundTripUs);
    // A command other than osdp_POLL is done: answered, or given up after its last send (a
    // time-out, a damaged reply, BUSY to the last attempt, the port closed before its reply),
    // or never sent (NotSent: its secure channel ended, its device owes an answer to an
    // earlier frame, or the port closed while it waited).
    void CommandEnded(const quintrel::TCommandEnd& end);
    // Listening began on a line: what was known of the devices belongs to another one.
    void ListeningStarted();

  protected:
    void connectNotify(const QMetaMethod& signal) override;
    void disconnectNotify(const QMetaMethod& signal) override;

  private:
    // The machine's side: the time, one input's actions carried out, the one wake-up timer.
    qint64 NowUs() const { return Clock.nsecsElapsed() / 1000; }
    void SyncLine();
    void Drain();
    void Perform(TLineAction& action, bool& writeFailed);
    void Rearm();
    void OnWake();
    void Pump();
    bool Submit(const TOsdpRequest& request, QString* error, TOrigin origin,
                TLineMachine::TSubmitMode mode, const TSecureSession* handshake = nullptr);

    void OnTriggerAvail(int count);
    void ListenToBytes(int count);
    void OnHeard(const TOverheardReader::THeardFrame& frame);
    void HeardReply(const TOverheardReader::THeardFrame& frame);
    void HeardUnanswered();
    void SetHeardStatus(std::uint8_t address, std::uint8_t status);
    void OnLinkLost(const QString& reason);
    void ConnectionLost(const QString& reason);
    void TryReconnect();
    bool OpenLink(bool listening, QString* error);
    void StopReconnecting();
    QString ReconnectingText() const;

    IEngineHost* Host;
    TLink CP1;
    std::array<TDeviceState, kDeviceCount>& DeviceStates = Machine.Devices();
    QElapsedTimer Clock;
    QTimer WakeTimer;
    qint64 ArmedUs = TLineMachine::kNever;
    // The error of a write that a caller of SendRequest is waiting to hear, and the loss of
    // the line found while carrying out actions, handled once they are done.
    bool ImmediateWriteFailed = false;
    QString LastWriteError;
    bool LineLostPending = false;
    QString LineLostReason;

    QTimer BootTimer;
    QTimer DisconnectTimer;
    QTimer ReconnectTimer;
    int BootTag = 0;
    bool BootModeOn = false;
    std::uint8_t Awaited = 0;
    std::uint64_t ReplySerial = 0;
    std::array<bool, kDeviceCount> HeardSecure{};

    bool IsDisconnecting = false;
    int ReplyWait = ReplyTimeoutMs;
    int PollIntervalMs = 0;
    bool LostReported = false;
    bool ReconnectOn = false;

    // Listening.
    bool ListenMode = false;
    bool ReconnectListens = false; // a reconnection listens again rather than polling
    std::unique_ptr<TOverheardReader> Overheard;
    TFollowerKeys OverheardKeys;
    std::array<bool, kDeviceCount> HeardAddresses{};
    // The command heard last, while its answer is awaited.
    struct THeardCommand {
        bool Open = false;
        std::uint8_t Address = 0;
        std::uint8_t Code = 0;
        std::int64_t LastNs = 0; // its last byte
        int Attempt = 0;         // the same frame heard again counts as a repeat
        QByteArray Bytes;
    };
    THeardCommand HeardCommand;
    QTimer HeardTimer;
};

} // namespace quintrel
