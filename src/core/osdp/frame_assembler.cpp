#include "osdp/frame_assembler.h"

#include <cstring>

namespace quintrel {

namespace {
constexpr std::uint8_t kSom = 0x53;
} // namespace

bool TFrameAssembler::PlausibleSoFar() const {
    if (Count < 4) return true;
    const std::size_t length = Length();
    if (length < 7 || length > kFrameBufferSize) return false;
    if (Count < 5) return true;
    const std::uint8_t ctrl = Bytes[4];
    const std::size_t header = 6 + ((ctrl & 0x04) ? 2 : 1) + ((ctrl & 0x08) ? 2 : 0);
    return length >= header;
}

// A false start costs only itself; at most four bytes follow it, since the checks above
// end with the fifth, and none of them can complete a frame.
void TFrameAssembler::Resynchronise() {
    std::array<std::uint8_t, 4> rest{};
    const std::size_t n = Count - 1;
    std::memcpy(rest.data(), Bytes.data() + 1, n);
    Count = 0;
    for (std::size_t i = 0; i < n; ++i)
        Feed(rest[i]);
}

TFrameAssembler::TStep TFrameAssembler::Feed(std::uint8_t b) {
    if (Count == 0) {
        if (b == kSom) Bytes[Count++] = b;
        return TStep::Pending;
    }
    if (Count == 1 && b == kSom) return TStep::SecondStart;
    Bytes[Count++] = b;
    if (!PlausibleSoFar()) {
        Resynchronise();
        return TStep::Pending;
    }
    if (Count < 6 || Count < Length()) return TStep::Pending;
    return TStep::Frame;
}

} // namespace quintrel
