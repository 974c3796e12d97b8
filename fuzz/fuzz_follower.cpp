// Overheard frames through the session follower: any run of frames, each given LEN and CRC
// that hold so that it reaches the follower, with the keys chosen by the first byte. It must
// never crash or read outside a frame, and only a protected frame can come out read.

#include "capture/session_follower.h"
#include "osdp/bytes.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // Byte 0: bit 0 tries SCBK-D, bit 1 gives SCBK-D as the typed key, bit 2 a zero master key.
    TFollowerKeys keys;
    keys.UseDefaultKey = data[0] & 1;
    if (data[0] & 2) keys.Scbk = ScbkD;
    if (data[0] & 4) keys.Master = TAesKey{};
    TSessionFollower follower(keys);
    // Then frames, each as a length byte and that many bytes of the frame without its CRC.
    std::size_t at = 1;
    while (at < size) {
        const std::size_t declared = data[at++];
        const std::size_t n = std::min(declared, size - at);
        std::vector<std::uint8_t> frame(data + at, data + at + n);
        at += n;
        if (frame.size() >= 5) {
            frame.resize(frame.size() + 2);
            frame[0] = 0x53;
            frame[2] = static_cast<std::uint8_t>(frame.size());
            frame[3] = static_cast<std::uint8_t>(frame.size() >> 8);
            frame[4] |= 0x04;
            const std::uint16_t crc = CalcCrc16(frame.data(), frame.size() - 2);
            frame[frame.size() - 2] = static_cast<std::uint8_t>(crc);
            frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
        }
        const TFollowed f = follower.Follow(frame.data(), frame.size());
        if (f.Read && !f.Protected) std::abort();
    }
    return 0;
}
