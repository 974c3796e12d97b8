#pragma once
// The control panel's half of the line, without a port or a clock: the device records, the
// ring of waiting requests, the poll order, repeats, sequence numbers, reply matching, the
// time-out and the turnaround, session ends and reopening. Time comes in as a monotonic
// microsecond count with every input; what to do goes out as actions that the caller takes
// with Actions() and carries out in order (write these bytes, log this, report that), and
// NextWake() says when to call Tick() next.
//
// The line's rules each live in one place here:
// - one frame outstanding: Transmit() is the only writer and refuses while a frame awaits
//   its reply, whoever asks (poll, queue, repeat, reopening, a kept frame);
// - each reply answers its own frame: Matches() compares address and sequence number;
// - a repeat goes byte for byte: the bytes in TxLine are sent again, never re-encoded;
// - protected stays protected: Leave() refuses a request composed inside a secure session
//   once that session has ended;
// - every wait ends: an open exchange always has its deadline in NextWake().

#include "crypto/secure_session.h"
#include "decode/vendor_list.h"
#include "line/line_types.h"
#include "osdp/frame_assembler.h"
#include "osdp/types.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quintrel {

class TLineMachine {
  public:
    static constexpr int RingSize = 100;
    static constexpr int MaxAttempts = 3;
    static constexpr std::int64_t kNever = -1;

    TLineMachine();
    ~TLineMachine();
    TLineMachine(const TLineMachine&) = delete;
    TLineMachine& operator=(const TLineMachine&) = delete;

    // Options, read at the moment they matter.
    bool UseCrc = true;
    bool ReopenSessions = true;
    bool QuietTimeouts = false;
    TViewFlags View;
    std::uint32_t MfgId = 0x7C4E15;
    const TVendorList* Vendors = nullptr;
    // A capture wants every frame (LineFrame actions); without one no copy is made.
    bool ReportLineFrames = false;
    // Random bytes for the challenges of a reopening.
    std::function<void(std::uint8_t*, std::size_t)> RandomBytes;

    void SetReplyTimeoutUs(std::int64_t us) { ReplyTimeoutUs = us; }
    std::int64_t ReplyTimeout() const { return ReplyTimeoutUs; }
    void SetPollIntervalUs(std::int64_t us) { PollIntervalUs = us < 0 ? 0 : us; }
    // The line's speed sets the turnaround (20 ms, or longer below 1000 baud) and how long the
    // longest frame takes; over TCP (baud 0) both take their 9600-baud floor.
    void SetLineSpeed(int baud, bool tcp);
    std::int64_t TurnaroundUs() const { return Turnaround; }

    // ---- inputs
    enum class TSubmitMode { Send, Queue };
    struct TSubmitted {
        bool Ok = true;
        bool Immediate = false; // written in this call (a failed write is the caller's to report)
        std::string Error;
    };
    // handshake: the session record a user's osdp_CHLNG opens. It replaces the device's
    // session only when that challenge leaves, so a session stays open (and its end unsaid)
    // until the new handshake really goes, and a challenge that never leaves changes nothing.
    TSubmitted Submit(std::int64_t now, const TOsdpRequest& request, TOrigin origin,
                      TSubmitMode mode, const TSecureSession* handshake = nullptr);
    // One received byte; true when it completed a frame (the caller may want to act on the
    // frame's actions before the next byte).
    bool Receive(std::int64_t now, std::uint8_t byte);
    void Tick(std::int64_t now);
    void StartPolling(std::int64_t now);
    void StopPolling();
    void SetSelection(const std::array<bool, kDeviceCount>& ticked);
    void PortOpened(std::int64_t now);
    // The port closed: the command awaiting its reply, or its repeat, and everything queued
    // end; every session ends.
    void PortClosed();
    // Disconnect: polling and any repeat stop; the exchange in progress may still finish.
    void BeginDisconnect();
    void EndDisconnect() { Disconnecting = false; }
    // The last Write action could not be written.
    void WriteFailed(bool immediate);
    // Someone else wrote to a status panel the machine keeps.
    void StatusOverwritten(int panel);
    void ResetAssembly() { Assembly.Reset(); }

    // ---- output
    std::vector<TLineAction>& Actions() { return Out; }
    bool HasActions() const { return !Out.empty(); }
    std::int64_t NextWake() const;

    // ---- state
    std::array<TDeviceState, kDeviceCount>& Devices() { return DeviceStates; }
    const std::array<TDeviceState, kDeviceCount>& Devices() const { return DeviceStates; }
    bool Polling() const { return IsPolling; }
    bool ExchangeOpen() const { return Pending.Open; }
    bool RepeatDue() const { return Repeat; }
    int QueuedCount() const { return Queued; }
    int CurrentAddress() const { return Pending.Address; }
    std::uint64_t SubmittedCount() const { return Submitted; }
    std::uint64_t DispatchedCount() const { return Dispatched; }
    std::int64_t LastDispatchUs() const { return DispatchUs; }
    int NextPollAddress(int after) const;
    std::size_t AssemblyHeld() const { return Assembly.Held(); }
    // The device will be asked its last frame again before anything new.
    bool OwesReply(int address) const;
    // How many copies of these bytes (a key) the machine holds outside the device records
    // and the keys kept for reopening: the requests waiting, the frame in progress, the
    // frames kept and the receive buffer. A key's copies are wiped once its command is done.
    std::size_t CopiesOf(const std::uint8_t* bytes, std::size_t count) const;
    // Session records waiting with their challenges (each holds its base key, as a device
    // record does; it is wiped when its challenge leaves or is dropped).
    std::size_t QueuedHandshakes() const;

  private:
    struct TQueued {
        TOsdpRequest Request;
        TOrigin Origin = TOrigin::User;
        bool Protected = false; // composed while its device's secure channel was open
        std::int64_t QueuedUs = 0;
        std::uint64_t Serial = 0;
        std::unique_ptr<TSecureSession> Handshake; // the session its challenge opens
    };
    // The frame in TxLine and what it was for.
    struct TExchange {
        bool Open = false; // written, and neither its reply nor its time-out came
        std::int64_t SentUs = 0;
        std::uint8_t Address = 0;
        std::uint8_t Sequence = 0;
        TOsdpRequest Request{};
        TOrigin Origin = TOrigin::User;
        std::uint8_t ScbLength = 0;
        std::uint8_t ScbType = 0;
        int Attempts = 0;   // sends in this run of repeats
        int Sends = 0;      // sends of these bytes in all (a kept frame is asked again and again)
        bool Once = false;  // never repeated (the bootloader entry)
        bool Ended = false; // its command has ended already
        bool Again = false; // a kept frame asked again
        std::uint64_t Serial = 0; // the submission it went for; 0 for the machine's own
    };
    // A frame a device left unanswered after answering before: asked again, byte for byte,
    // until the device answers it or shows it restarted.
    struct TKept {
        std::vector<std::uint8_t> Line; // mark byte and frame
        TExchange Exchange;
        std::int64_t AskedUs = -1; // last asked without an answer
    };
    // The key of each session opened, kept to open it again after a line failure.
    struct TReopen {
        bool Armed = false;
        bool Due = false; // ended with the line: open it again at the next answer
        bool ChallengeDue = false;
        bool ScryptDue = false;
        bool Running = false; // the handshake in progress is ours
        std::uint8_t KeyType = 0;
        TAesKey Key{};
        TRnd RndA{};
        TOsdpRequest Scrypt{};
    };

    static void Wipe(TOsdpRequest& request);
    static void WipeHandshake(TQueued& q);
    // sending (line_machine.cpp)
    bool LineBusy(std::int64_t now) const;
    void Slot(std::int64_t now);
    bool SendQueued(std::int64_t now);
    void PollTurn(std::int64_t now);
    bool Leave(std::int64_t now, const TOsdpRequest& request, TOrigin origin, std::string* error,
               const TSecureSession* handshake = nullptr);
    void OpenHandshake(int address, const TSecureSession& handshake);
    bool AskAgain(std::int64_t now, int address);
    bool Transmit(std::int64_t now);
    bool Enqueue(std::int64_t now, const TOsdpRequest& request, TOrigin origin, std::string* error,
                 const TSecureSession* handshake);
    void DropQueued(TQueued& q, const std::string& why);
    void ClearQueue();
    void OnTimeout(std::int64_t now);
    void KeepFrame();
    bool Repeatable() const;
    bool Keepable() const;
    void DueRepeat(TExchangeEnd cause, std::uint8_t reply = 0);
    std::int64_t Deadline() const;
    // receiving (line_receive.cpp)
    bool Matches(const std::uint8_t* frame, std::size_t count) const;
    void ProcessReply(std::int64_t now, std::uint8_t* frame, std::size_t count);
    void LogUnawaited(std::uint8_t* frame, std::size_t count);
    void ExchangeFailed(const char* reason, bool intact);
    void RestartSequence(int address, const std::string& reason);
    void DispatchReply(std::uint8_t address, std::uint8_t code, const std::uint8_t* data,
                       std::size_t length, std::uint8_t scbType, std::uint8_t scbData);
    // sessions (line_sessions.cpp)
    bool LastFrameWasHandshake() const;
    void EndHandshake(int address, const std::string& reason);
    void ReportSessionEnd(int address, std::uint8_t before, const std::string& reason);
    std::string RefusalHint(int address, const std::string& reason) const;
    void EndEverySession(const std::string& reason);
    void SessionLost(int address);
    void NoteSent(const TOsdpRequest& request);
    void OnCryptogram(int address);
    void OnInitialMac(int address, const std::uint8_t* data, std::uint8_t scbData);
    bool SendReopenStep(std::int64_t now);
    // reports (line_text.cpp)
    TLineAction& Emit(TActionKind kind);
    void Log(std::string text);
    // kind: 0 clear, 1 "Polling N", 2 "Message from N", 3 "Timeout N", 4 "Invalid message from N"
    void Status(int panel, int kind, int address);
    void EndCommand(TExchangeEnd end, std::uint8_t reply = 0, const std::uint8_t* data = nullptr,
                    std::size_t length = 0);
    void ReportSent();
    void ReportExchange(std::uint8_t address, TExchangeEnd end, std::int64_t us);
    bool ShouldLogTraffic(std::uint8_t code, bool sending) const;
    std::string DescribeIn(const std::uint8_t* frame, std::uint8_t address, bool block,
                           std::uint8_t scbType, std::uint8_t code, const std::uint8_t* data,
                           std::size_t length);

    std::array<TDeviceState, kDeviceCount> DeviceStates{};
    std::array<TQueued, RingSize> Ring{};
    int QueueRead = 0;
    int Queued = 0;
    std::uint64_t Submitted = 0;
    std::uint64_t Dispatched = 0;
    std::int64_t DispatchUs = 0;

    TFrameAssembler Assembly;
    std::int64_t LastByteUs = 0;
    std::array<std::uint8_t, kFrameBufferSize> RxFrame{};
    // The frame is built one byte in, behind the 0xFF mark byte that precedes it on the line.
    std::array<std::uint8_t, kFrameBufferSize + 1> TxLine{0xFF};
    std::size_t TxLength = 0;
    TExchange Pending;
    bool Repeat = false;
    TExchangeEnd RepeatCause = TExchangeEnd::Timeout;
    std::uint8_t RepeatReply = 0;
    bool WriteImmediate = false;

    // Devices whose last exchange ended with a reply: only they get a repeat after a time-out.
    std::array<bool, kDeviceCount> AnsweredLast{};
    std::array<std::unique_ptr<TKept>, kDeviceCount> Kept;
    std::array<TReopen, kDeviceCount> Reopen{};
    // The key type of the challenge each device was sent last.
    std::array<std::uint8_t, kDeviceCount> ChallengeKeyType{};

    bool PortOpen = false;
    bool IsPolling = false;
    bool PollFromStart = false;
    bool Disconnecting = false;
    std::int64_t FreeAtUs = 0;   // no frame before this: the turnaround after the last exchange
    std::int64_t NextPollUs = 0; // the poll interval since the last poll
    std::int64_t ReplyTimeoutUs = 300000;
    std::int64_t PollIntervalUs = 0;
    std::int64_t Turnaround = 20000;
    std::int64_t LongestFrameUs = 0;
    // What the machine last wrote to status panels 1 and 2 (kind, address), so a poll
    // cycle does not rebuild the same text at every poll.
    std::array<int, 3> StatusKind{-1, -1, -1};
    std::array<int, 3> StatusAddress{};

    std::vector<TLineAction> Out;
};

} // namespace quintrel
