#include "sim/sim_boot.h"

#include <utility>

namespace quintrel::sim {

namespace {

std::vector<std::uint8_t> Reply(std::uint8_t command, bool positive) {
    std::vector<std::uint8_t> r = {static_cast<std::uint8_t>(0xA0 + command),
                                   static_cast<std::uint8_t>(positive ? 0x40 : 0x80), 0, 0};
    std::size_t count = 2;
    AppendBootCrc(r.data(), count);
    return r;
}

// The data lengths a length code may stand for: a multiple of 16 also announces the
// shorter lengths with bit 3 set that round up to it.
std::pair<std::size_t, std::size_t> Candidates(std::uint8_t code) {
    const std::size_t announced = DecodeBootLength(code);
    if (announced >= 16 && announced % 16 == 0) return {announced - 8, announced};
    return {announced, announced};
}

} // namespace

void TSimBootloader::Enter(int address) {
    IsActive = true;
    ReaderAddress = address;
    Assembly.clear();
    Unlocked = false;
    FramesSeen = 0;
    Failures = 0;
}

std::vector<std::uint8_t> TSimBootloader::ImageBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const auto& r : Image)
        bytes.insert(bytes.end(), r.begin(), r.end());
    return bytes;
}

std::vector<std::uint8_t> TSimBootloader::Feed(std::uint8_t b) {
    if (Assembly.empty() && (b & 0xF8) != 0xA0) return {}; // not a frame start
    Assembly.push_back(b);
    if (Assembly.size() < 4) return {};
    const auto [shortest, longest] = Candidates(Assembly[1]);
    const std::size_t n = Assembly.size() - 4;
    if (n < shortest) return {};
    const bool crcOk = CheckBootCrc(Assembly.data(), Assembly.size());
    if (!crcOk && n < longest) return {};
    std::vector<std::uint8_t> frame;
    frame.swap(Assembly);
    ++FramesSeen;
    std::vector<std::uint8_t> reply =
        crcOk ? Run(frame.data(), frame.size()) : Reply(frame[0] & 0x07, false);
    if (FramesSeen == Faults.DropFrame) return {};
    return reply;
}

std::vector<std::uint8_t> TSimBootloader::Run(const std::uint8_t* frame, std::size_t count) {
    const std::uint8_t command = frame[0] & 0x07;
    const std::uint8_t* data = frame + 2;
    const std::size_t n = count - 4;
    switch (command) {
    case bcSync:
    case bcStart:
        return Reply(command, true);
    case bcSetSpeed:
        if (n != 1 || data[0] >= kBootRates.size()) return Reply(command, false);
        if (!Faults.IgnoreSpeed) PendingBaud = kBootRates[data[0]];
        return Reply(command, true);
    case bcUnlock:
        Unlocked = !Faults.RefuseUnlock && n == 4 &&
                   std::equal(DeviceCode.begin(), DeviceCode.end(), data);
        return Reply(command, Unlocked);
    case bcErase:
        if (Unlocked) Image.clear();
        return Reply(command, Unlocked);
    case bcPrepare:
        return Reply(command, Unlocked);
    case bcWrite:
        if (!Unlocked || n == 0) return Reply(command, false);
        if (static_cast<int>(Image.size()) == Faults.FailRecord && Failures < Faults.FailTimes) {
            ++Failures;
            return Reply(command, false);
        }
        Image.emplace_back(data, data + n);
        return Reply(command, true);
    default:
        return Reply(command, false);
    }
}

} // namespace quintrel::sim
