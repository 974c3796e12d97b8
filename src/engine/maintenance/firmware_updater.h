#pragma once
// The firmware update over the maker's bootloader: the reader is sent into its bootloader
// with osdp_MFG, then the line carries the bootloader's own frames through the engine's
// boot mode. Every wait is the engine's, so the window stays alive while it runs.

#include "engine.h"
#include "maintenance/bootloader.h"

#include <QString>

#include <functional>
#include <string>

namespace quintrel {

struct TBootTarget {
    std::string Password;
    std::array<std::uint8_t, 4> DeviceCode{};
};

// Reads and checks the kfw file at path. Only a regular file is read (a device such as
// /dev/zero or a pipe is refused before it is opened), and no more of it than a firmware
// file can be: a larger one is refused.
TFirmwareCheck OpenFirmwareFile(const QString& path, const std::array<std::uint8_t, 4>& expected);

class TFirmwareUpdater {
  public:
    static constexpr int RecordAttempts = 6;
    static constexpr int EnterPauseMs = 100;
    // A firmware file is a few hundred kilobytes of text; anything far larger is not one.
    static constexpr qint64 LargestFile = 16 * 1024 * 1024;

    explicit TFirmwareUpdater(TEngine& engine);
    ~TFirmwareUpdater();

    // Records written so far out of all, after every attempt.
    std::function<void(int written, int total)> Progress;

    // Updates the reader at address; empty on success, else the error to show. The
    // port's line speed is what it was before, whatever happened.
    QString Run(const TFirmwareFile& file, const TBootTarget& target, std::uint8_t address);

  private:
    bool Send(std::uint8_t command, const std::uint8_t* data = nullptr, std::size_t n = 0);
    bool SendByte(std::uint8_t command, std::uint8_t value) { return Send(command, &value, 1); }
    QString Steps(const TFirmwareFile& file, const TBootTarget& target, std::uint8_t address);
    void Pause(int ms);

    TEngine& Engine;
    TBootReplyAssembler Replies;
};

} // namespace quintrel
