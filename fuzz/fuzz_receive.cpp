// The receive path: line bytes through the frame assembler, frame decoding with sessions
// in every state (keys from the input), the secure-reply check and the reply description.
// It must never crash, read or write outside a buffer, or loop.

#include "crypto/secure_session.h"
#include "decode/describe.h"
#include "osdp/frame_assembler.h"
#include "osdp/frame_codec.h"

#include <cstring>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 17) return 0;
    // Byte 0: the session state of addresses 0..3 (two bits each); 1..16: their keys.
    std::array<TDeviceState, kDeviceCount> devices{};
    TAesKey key;
    std::memcpy(key.data(), data + 1, 16);
    const std::uint8_t states[4] = {ssNone, ssChallengeSent, ssScryptSent, ssEstablished};
    for (int a = 0; a < 4; ++a) {
        TSecureSession& s = devices[static_cast<std::size_t>(a)].Session;
        s.RndA = {data[1], data[2], data[3], data[4], data[5], data[6], data[7], data[8]};
        DeriveSessionKeys(s, key);
        s.LastMac.fill(data[9]);
        s.State = states[(data[0] >> (2 * a)) & 3];
    }
    TVendorList vendors;
    std::uint32_t mfgId = 0;
    TFrameAssembler assembler;
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    for (std::size_t i = 17; i < size; ++i) {
        if (assembler.Feed(data[i]) != TFrameAssembler::TStep::Frame) continue;
        const std::size_t count = assembler.Held();
        std::memcpy(frame.data(), assembler.Data(), count);
        assembler.Reset();
        PeekFrame(frame.data(), count);
        const TDecodedFrame f = DecodeFrame(frame.data(), count, devices);
        if (f.Valid) DescribeReply(f.Code, frame.data() + f.DataStart, f.DataLength, vendors, mfgId);
    }
    return 0;
}
