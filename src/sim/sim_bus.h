#pragma once
// The readers of the simulated line: each answers the commands addressed to it as a
// real reader would, including the device side of the secure channel. Qt-free, so
// the transport around it stays thin.

#include "osdp/types.h"

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quintrel::sim {

struct TReaderConfig {
    int Address = 0;
    bool Silent = false;
    std::optional<TAesKey> Scbk;      // the reader's own base key
    std::optional<TAesKey> MasterKey; // or: its key is diversified from this master key
    std::uint32_t Serial = 0x12345678;
};

struct TReader {
    TReaderConfig Config;
    std::array<std::uint8_t, 4> Outputs{};
    std::vector<std::vector<std::uint8_t>> Events; // reply payloads waiting for a poll
    std::vector<std::uint8_t> EventCodes;
};

class TSimBus {
  public:
    explicit TSimBus(std::vector<TReaderConfig> readers, unsigned seed = 1);

    // One complete frame from the line (the mark byte already stripped). Returns the
    // bytes to send back, mark byte included, or nothing.
    std::vector<std::uint8_t> HandleFrame(std::uint8_t* frame, std::size_t count);

    // Events given on the command line or typed on standard input, sent as the reply
    // to a reader's next poll. address < 0 means the first reader.
    bool QueueCard(int address, std::uint64_t bits, int bitCount);
    bool QueueKeys(int address, const std::string& keys);
    void CorruptNextMac() { CorruptMac = true; }
    void SetBadCrcEvery(int n) { BadCrcEvery = n; }
    bool SetSilent(int address, bool silent);

    // A communication change (osdp_COMSET) answered with the last reply: the line must
    // switch to this speed once the reply is out. 0 = none.
    int TakePendingBaud() {
        const int b = PendingBaud;
        PendingBaud = 0;
        return b;
    }
    std::size_t FramesHandled() const { return Handled; }
    const std::vector<TReader>& Readers() const { return ReaderList; }

  private:
    TReader* Find(int address);
    TAesKey ReaderKey(const TReader& reader, const TRnd& cuid) const;
    TRnd CuidOf(const TReader& reader) const;
    std::vector<std::uint8_t> Answer(TReader& reader, std::uint8_t address, bool useCrc,
                                     std::uint8_t sequence, std::uint8_t code,
                                     const std::uint8_t* data, std::size_t length,
                                     std::uint8_t keyType);
    std::vector<std::uint8_t> Frame(std::uint8_t address, bool useCrc, std::uint8_t sequence,
                                    std::uint8_t code, const std::vector<std::uint8_t>& payload,
                                    std::uint8_t scbType = 0, std::uint8_t scbData = 0);

    std::vector<TReader> ReaderList;
    std::array<TDeviceState, kDeviceCount> Records{};
    std::mt19937 Random;
    bool CorruptMac = false;
    int BadCrcEvery = 0;
    int ReplyCount = 0;
    int PendingBaud = 0;
    std::size_t Handled = 0;
};

} // namespace quintrel::sim
