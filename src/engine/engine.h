#pragma once
// The control panel's half of the OSDP conversation: one frame at a time on the
// link, the receive assembly, the reply time-out, the sequence numbers and device
// states, the poll cycle over the selected addresses, the ring of waiting requests,
// the synchronous reply wait and the boot mode that lends the line to a bootloader.
//
// The engine owns the protocol state; the window owns widgets only. It speaks
// outward through signals and asks the few things only the window knows through
// IEngineHost.

#include "capture/overheard.h"
#include "decode/vendor_list.h"
#include "link/link.h"
#include "osdp/frame_assembler.h"
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

// How an exchange ended: a valid reply, no reply in time, a reply that failed its check
// bytes (or its layout), or one that arrived intact but failed its security (MAC, session).
enum class TExchangeEnd { Reply, Timeout, BadCheck, BadSecurity };

// Who submitted a request: a person (a menu command, the hex line, a maintenance request), or
// a procedure that sends by itself (the next step of a secure-channel handshake, the fragments
// of a file, the probes of a search). The window announces only a person's commands.
enum class TOrigin { User, Routine };

// How a command other than osdp_POLL ended, once no repeat of it follows.
struct TCommandEnd {
    std::uint8_t Address = 0; // the address it went to (127: broadcast)
    std::uint8_t Command = 0;
    TOrigin Origin = TOrigin::User;
    TExchangeEnd End = TExchangeEnd::Timeout;
    std::uint8_t Reply = 0; // with End == Reply: the reply's code and its plain data
    QByteArray Data;
};

struct TViewFlags {
    bool Raw = false;
    bool Description = true;
    bool Poll = false;
};

class TEngine : public QObject {
    Q_OBJECT

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
    std::array<TDeviceState, kDeviceCount>& Devices() { return DeviceStates; }
    const std::array<TDeviceState, kDeviceCount>& Devices() const { return DeviceStates; }

    // Settings the window shows and the settings file keeps.
    bool UseCrc = true;
    // A session that ended because the line failed is opened again with the same key at the
    // device's next answer.
    bool ReopenSessions = true;
    // Silence is the expected answer (a search of the line): a device's time-out is not
    // logged line by line, the searcher sums it up.
    bool QuietTimeouts = false;
    TViewFlags View;
    std::uint32_t MfgId = 0x7C4E15;
    TVendorList Vendors;
    int PollInterval() const { return PollIntervalMs; }
    // A negative interval counts as 0.
    void SetPollInterval(int ms) { PollIntervalMs = ms < 0 ? 0 : ms; }

    // The reply time-out of the frames sent from now on: 300 ms, or less for a search that
    // waits a shorter time per address (1..300).
    int ReplyTimeout() const { return ReplyWait; }
    void SetReplyTimeout(int ms) {
        ReplyWait = ms < 1 ? 1 : ms > ReplyTimeoutMs ? ReplyTimeoutMs : ms;
    }

    bool Polling() const { return IsPolling; }
    // True while Disconnect waits for the last exchange to finish.
    bool Disconnecting() const { return IsDisconnecting; }
    int CurrentAddress() const { return LastAddress; }

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
    // Until the exchange in progress, a repeat that is due and (while not polling) every
    // queued request are done; it ends within a reply time-out after the last frame sent.
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
    // went to, or after that exchange ended): logged and checked, nothing more.
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
    // time-out, a damaged reply, BUSY to the last attempt, the port closed before its reply).
    void CommandEnded(const quintrel::TCommandEnd& end);

  private:
    void OnTriggerAvail(int count);
    void ListenToBytes(int count);
    void OnHeard(const TOverheardReader::THeardFrame& frame);
    void HeardReply(const TOverheardReader::THeardFrame& frame);
    void HeardUnanswered();
    void SetHeardStatus(std::uint8_t address, std::uint8_t status);
    // True when the rest of this notification's bytes must wait for the next one.
    bool AssembleByte(std::uint8_t b);
    // True when the frame answered the exchange in progress.
    bool ProcessFrame(std::uint8_t* frame, std::size_t count, bool open);
    void LogUnawaited(std::uint8_t* frame, std::size_t count);
    void EmitLineFrame(bool sent, const std::uint8_t* frame, std::size_t count);
    void TransmitFrame();
    void SendRepeat();
    bool SendNow(const TOsdpRequest& request, QString* error, TOrigin origin);
    bool Enqueue(const TOsdpRequest& request, QString* error, TOrigin origin);
    // The frame in TxLine goes again; cause is how its last send ended.
    void DueRepeat(TExchangeEnd cause, std::uint8_t reply = 0);
    void EndCommand(TExchangeEnd end, std::uint8_t reply = 0, const std::uint8_t* data = nullptr,
                    std::size_t length = 0);
    void SendQueued();
    bool LineBusy() const;
    void Kick();
    void NextSlot();
    bool QueueEmpty() const { return QueueRead == QueueWrite; }
    void ClearQueue();
    void SessionLost(int address);
    void StartReopen(int address);
    void AnswerReopenCryptogram(int address);
    void OnInitialMac(int address, const std::uint8_t* data, std::uint8_t scbData);
    void ExchangeFailed(const char* reason, bool intact);
    void RestartSequence(int address, const QString& reason);
    bool LastFrameWasHandshake() const;
    void EndHandshake(int address, const QString& reason);
    void ReportSessionEnd(int address, std::uint8_t before, const QString& reason);
    void EndEverySession(const QString& reason);
    void OnTimeout();
    qint64 TimeoutLeftMs() const;
    void OnTurnaround();
    void OnPollTimer();
    void ContinuePolling();
    void PollStep(int address);
    void OnLinkLost(const QString& reason);
    void ConnectionLost(const QString& reason);
    void TryReconnect();
    bool OpenLink(bool listening, QString* error);
    void StopReconnecting();
    void DispatchReply(std::uint8_t address, std::uint8_t code, const std::uint8_t* data,
                       std::size_t length, std::uint8_t scbType, std::uint8_t scbData);
    void ResetAssembly() { Assembly.Reset(); }
    bool ShouldLogTraffic(std::uint8_t code, bool sending) const;
    int TurnaroundMs() const;

    IEngineHost* Host;
    TLink CP1;
    std::array<TDeviceState, kDeviceCount> DeviceStates{};
    std::array<TOsdpRequest, RingSize> Ring{};
    std::array<TOrigin, RingSize> RingOrigin{};
    int QueueWrite = 0;
    int QueueRead = 0;

    TFrameAssembler Assembly;
    // The frame is built one byte in, behind the 0xFF mark byte that precedes it on the line.
    std::array<std::uint8_t, kFrameBufferSize + 1> TxLine{0xFF};
    std::uint8_t* TxBuffer() { return TxLine.data() + 1; }
    std::size_t TxLength = 0;
    // The request behind the frame in TxLine, so a repeat is described like the original.
    TOsdpRequest LastRequest{};
    TOrigin LastOrigin = TOrigin::User;
    std::uint8_t LastScbLength = 0;
    std::uint8_t LastScbType = 0;
    qint64 RoundTripUs = -1; // of the reply being processed
    int Attempts = 0;        // sends of the frame in TxLine so far
    bool RepeatDue = false;  // the frame in TxLine goes again after the turnaround
    TExchangeEnd RepeatCause = TExchangeEnd::Timeout; // how the send before the repeat ended
    std::uint8_t RepeatReply = 0;                     // and the reply's code (BUSY)
    bool ExchangeOpen = false; // a frame is out and neither a reply nor the time-out came

    QTimer CommTimer;
    QTimer PollTimer;
    QTimer TurnaroundTimer;
    QTimer ReplyTimer;
    QTimer BootTimer;
    QTimer DisconnectTimer;
    QTimer ReconnectTimer;
    // Qt may fire a timer a little early; these tell how long has really passed.
    QElapsedTimer SentClock;  // since the frame was sent
    QElapsedTimer ByteClock;  // since the assembly last grew
    QElapsedTimer PollClock;  // since the poll step
    QElapsedTimer ReplyClock; // since the last reply that answered an exchange
    // Requests submitted and requests that have left the ring (sent, refused or dropped), and
    // when the last one left: the reply wait counts from there.
    std::uint64_t Submitted = 0;
    std::uint64_t Dispatched = 0;
    QElapsedTimer DispatchClock;
    // Devices whose last exchange ended with a reply: only they get a repeat after a time-out.
    std::array<bool, kDeviceCount> Answered{};
    // The key of each session opened, kept to open it again after a line failure.
    struct TReopen {
        bool Armed = false;   // a session was opened with this key
        bool Pending = false; // it ended with the line: open it at the next answer
        bool Running = false; // the handshake in progress is ours
        std::uint8_t KeyType = 0;
        TAesKey Key{};
        TRnd RndA{}; // of our challenge, to tell it from one the user sends
    };
    std::array<TReopen, kDeviceCount> Reopen{};
    int BootTag = 0;
    bool BootModeOn = false;
    std::uint8_t Awaited = 0;

    bool IsPolling = false;
    bool IsDisconnecting = false;
    int ReplyWait = ReplyTimeoutMs;
    bool PollStepDue = false;
    int PollIntervalMs = 0;
    int LastAddress = 0;
    bool LostReported = false;
    bool ReconnectOn = false;
    bool LastSendFailedOnWrite = false;
    QString LastWriteError;

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
