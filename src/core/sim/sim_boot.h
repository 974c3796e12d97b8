#pragma once
// The reader's bootloader on the raw line: entered through the maker's osdp_MFG with the
// right password, it takes the bootloader's frames (checking their CRC and length codes),
// keeps the records written, and changes the line speed when asked. Qt-free.

#include "maintenance/bootloader.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quintrel::sim {

struct TBootFaults {
    int FailRecord = -1; // this record (counted from 0) ...
    int FailTimes = 0;   // ... is refused this many times before it is taken
    int DropFrame = 0;   // the reply to this bootloader frame (counted from 1) is lost
    bool RefuseUnlock = false;
    bool IgnoreSpeed = false; // answers the speed change but stays where it is
};

class TSimBootloader {
  public:
    TBootFaults Faults;
    std::array<std::uint8_t, 4> DeviceCode = kRdx900DeviceCode;

    bool Active() const { return IsActive; }
    int Address() const { return ReaderAddress; }
    void Enter(int address);
    void Leave() { IsActive = false; }
    // One byte from the line; the reply to send when it completes a frame.
    std::vector<std::uint8_t> Feed(std::uint8_t b);
    // A line speed the last command asked for (0: none).
    int TakeSpeedChange() { return std::exchange(PendingBaud, 0); }

    const std::vector<std::vector<std::uint8_t>>& Records() const { return Image; }
    std::vector<std::uint8_t> ImageBytes() const;

  private:
    std::vector<std::uint8_t> Run(const std::uint8_t* frame, std::size_t count);

    bool IsActive = false;
    int ReaderAddress = 0;
    std::vector<std::uint8_t> Assembly;
    std::vector<std::vector<std::uint8_t>> Image;
    bool Unlocked = false;
    int FramesSeen = 0;
    int Failures = 0;
    int PendingBaud = 0;
};

} // namespace quintrel::sim
