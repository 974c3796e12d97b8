#pragma once
// The readers of the simulated line: each answers the commands addressed to it as a
// real reader would, including the device side of the secure channel. Qt-free, so
// the transport around it stays thin.

#include "maintenance/mfg_channel.h"
#include "osdp/types.h"
#include "sim/sim_boot.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quintrel::sim {

struct TReaderConfig {
    int Address = 0;
    bool Silent = false;
    bool IgnoresBroadcast = false; // takes no notice of a frame to the broadcast address
    std::optional<TAesKey> Scbk;      // the reader's own base key
    std::optional<TAesKey> MasterKey; // or: its key is diversified from this master key
    std::uint32_t Serial = 0x12345678;
    int OptionBytes = 3;   // how many option bytes the reader keeps and reports (1..3)
    int AnswerDelayMs = 0; // every reply goes this long after the command's last byte
};

// What the maker's maintenance commands read and change; a reset gives these values.
struct TMakerState {
    TCustCodeList Codes;
    int Mode = 0;
    TCustCode Last;                                // the last customer code read from a card
    std::array<std::uint8_t, 3> Options{0, 24, 0}; // flags, ID bit length, raw bit length
};

struct TReader {
    TReaderConfig Config;
    std::array<std::uint8_t, 4> Outputs{};
    std::vector<std::vector<std::uint8_t>> Events; // reply payloads waiting for a poll
    std::vector<std::uint8_t> EventCodes;
    // The sequence number of the last command answered (-1: none since power-up) and
    // that answer as it left, undamaged, for a control panel that asks again.
    int LastSequence = -1;
    std::vector<std::uint8_t> LastReply;
    bool LastWasBusy = false;
    TMakerState Maker;
    std::vector<std::uint8_t> File; // osdp_FILETRANSFER: the bytes received so far
    std::uint32_t FileSize = 0;
};

// How closely the readers keep to the protocol.
struct TBusRules {
    bool Lenient = false;          // no sequence checks, no replays, anything answered
    bool AllowPlainKeyset = false; // take osdp_KEYSET outside a secure session
    bool KeysetEndsSession = false;
    bool InstallMode = false;           // the default key opens a session even once a key is set
    bool BroadcastOwnAddress = false;   // a broadcast is answered from the reader's own address
    bool RefuseScrypt = false;          // every server cryptogram is refused (osdp_RMAC_I 0xFF)
    bool RmacWithoutCryptogram = false; // the initial MAC leaves the server cryptogram out
};

// The receive size the readers announce in osdp_PDCAP; a longer frame is not run.
constexpr std::size_t kSimReceiveSize = 1024;

// A reply as it goes on the line: the bytes (mark byte included) and how long after the
// command's last byte they leave.
struct TBusReply {
    std::vector<std::uint8_t> Bytes;
    int DelayMs = 0;
};

class TSimBus {
  public:
    explicit TSimBus(std::vector<TReaderConfig> readers, unsigned seed = 1, TBusRules rules = {});

    // What the readers really did, one line each: "ran ADDR CODE DATA" for a command
    // executed (polls left out), "delivered ADDR CODE DATA" for an event handed over,
    // "session ADDR opened", "session ADDR refused (REASON)", "session ADDR ended (REASON)".
    std::function<void(const std::string&)> Record;

    // One complete frame from the line (the mark byte already stripped). Returns the
    // replies to send back, in the order they leave: none, one, or one from each reader
    // that answers a broadcast (replies that overlap on the line collide into one).
    std::vector<TBusReply> HandleFrame(std::uint8_t* frame, std::size_t count);
    // The line's speed, for osdp_COM and for when broadcast answers overlap.
    void SetLineBaud(int baud) { LineBaud = baud > 0 ? baud : LineBaud; }

    // Events given on the command line or typed on standard input, sent as the reply
    // to a reader's next poll. address < 0 means the first reader.
    bool QueueCard(int address, std::uint64_t bits, int bitCount);
    bool QueueKeys(int address, const std::string& keys);
    void CorruptNextMac() { CorruptMac = true; }
    void SetBadCrcEvery(int n) { BadCrcEvery = n; }
    bool SetSilent(int address, bool silent);
    // The reader lost power and came back: no count, no kept reply, no session, no events
    // waiting; it answers the next frame as a reader fresh from power-up does.
    bool Restart(int address);
    // Faults on demand. Replies and commands are counted from 1 since start.
    void CorruptReply(std::size_t n) { CorruptReplies.push_back(n); }
    void CorruptReplyFromNow(std::size_t n) { CorruptReply(ReplyCount + n); }
    void CorruptReplyTo(std::uint8_t code) { CorruptCodes.push_back(code); }
    void DropCommand(std::size_t n) { DropCommands.push_back(n); }
    void DropCommandFromNow(std::size_t n) { DropCommand(CommandCount + n); }
    // The reader runs the command and keeps its reply for a repeat, but the reply is lost.
    void DropReply(std::size_t n) { DropReplies.push_back(n); }
    void DropReplyFromNow(std::size_t n) { DropReply(ReplyCount + n); }
    // The next reply leaves this much later than it would.
    void LateNext(int ms) { LateMs = ms > 0 ? ms : 0; }
    void AnswerBusy(int n) { BusyLeft = n; }
    void NakPlainNext() { NakPlain = true; }
    void OddBlockNext(std::uint8_t type) { OddBlock = type; }
    // File transfer: the delay every osdp_FTSTAT asks for, the status of the next one,
    // and whether the next fragment goes unanswered.
    void SetFileDelay(int ms) { FileDelayMs = ms; }
    // The largest message every osdp_FTSTAT asks for (0: no limit).
    void SetFileMaxMessage(int bytes) { FileMaxMessage = bytes; }
    void FileStatusNext(int status) { FileStatus = status; }
    void FileSilentNext() { FileSilent = true; }
    bool SetLastCode(int address, TCustCode code);
    // "codes 04:1230,08:0005 mode 3 options E5 18 00"; empty for no such reader.
    std::string MakerText(int address);
    // Text for a received file's bytes (a digest); the line prints the size without it.
    std::function<std::string(const std::vector<std::uint8_t>&)> Digest;

    // A communication change (osdp_COMSET) answered with the last reply: the line must
    // switch to this speed once the reply is out. 0 = none.
    int TakePendingBaud() {
        const int b = PendingBaud;
        PendingBaud = 0;
        return b;
    }
    std::size_t FramesHandled() const { return Handled; }
    std::size_t EventsDelivered() const { return Delivered; }

    // The bootloader a reader entered (osdp_MFG 0xEA with the right password); while it is
    // active the line's bytes go to it instead of the OSDP readers.
    TSimBootloader Boot;
    void LeaveBootloader();
    // A line speed to take once the last reply is out (0: none); the bootloader's too.
    int TakeLineSpeed() {
        const int pending = TakePendingBaud();
        const int boot = Boot.TakeSpeedChange();
        return boot ? boot : pending;
    }
    const std::vector<TReader>& Readers() const { return ReaderList; }

  private:
    TReader* Find(int address);
    TReader* First() { return ReaderList.empty() ? nullptr : &ReaderList.front(); }
    std::vector<std::uint8_t> Exchange(TReader& reader, std::uint8_t replyAddress,
                                       std::uint8_t* frame, std::size_t count);
    std::vector<std::uint8_t> Run(TReader& reader, std::uint8_t address, std::uint8_t* frame,
                                  std::size_t count, std::uint8_t code);
    std::vector<std::uint8_t> OnTheWire(std::vector<std::uint8_t> reply, std::uint8_t code);
    std::vector<TBusReply> Collide(std::vector<TBusReply> replies) const;
    void EndReaderSession(int address, const char* reason);
    void NoteSession(int address, const std::string& what);
    std::vector<std::uint8_t> AnswerMfg(TReader& reader, std::uint8_t address, bool useCrc,
                                        std::uint8_t sequence, const std::uint8_t* data,
                                        std::size_t length);
    std::vector<std::uint8_t> AnswerFile(TReader& reader, std::uint8_t address, bool useCrc,
                                         std::uint8_t sequence, const std::uint8_t* data,
                                         std::size_t length);
    void Note(const char* what, int address, std::uint8_t code, const std::uint8_t* data,
              std::size_t length);
    TAesKey ReaderKey(const TReader& reader, const TRnd& cuid) const;
    TRnd CuidOf(const TReader& reader) const;
    std::vector<std::uint8_t> Answer(TReader& reader, std::uint8_t address, bool useCrc,
                                     std::uint8_t sequence, std::uint8_t code,
                                     const std::uint8_t* data, std::size_t length,
                                     std::uint8_t keyType);
    std::vector<std::uint8_t> Frame(std::uint8_t address, bool useCrc, std::uint8_t sequence,
                                    std::uint8_t code, const std::vector<std::uint8_t>& payload,
                                    std::uint8_t scbType = 0, std::uint8_t scbData = 0,
                                    bool plain = false);

    std::vector<TReader> ReaderList;
    std::array<TDeviceState, kDeviceCount> Records{};
    std::mt19937 Random;
    TBusRules Rules;
    bool CorruptMac = false;
    int BadCrcEvery = 0;
    std::size_t ReplyCount = 0;
    std::size_t CommandCount = 0;
    std::vector<std::size_t> CorruptReplies;
    std::vector<std::uint8_t> CorruptCodes;
    std::vector<std::size_t> DropCommands;
    std::vector<std::size_t> DropReplies;
    int LateMs = 0;
    int LineBaud = 9600;
    int BusyLeft = 0;
    bool NakPlain = false;
    std::uint8_t OddBlock = 0;
    int FileDelayMs = 0;
    int FileMaxMessage = 0;
    std::optional<int> FileStatus;
    bool FileSilent = false;
    int PendingBaud = 0;
    std::size_t Handled = 0;
    std::size_t Delivered = 0;
};

} // namespace quintrel::sim
