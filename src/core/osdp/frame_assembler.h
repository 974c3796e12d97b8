#pragma once
// Gathers received bytes into frames. A frame starts at 0x53; its LEN, once known, says
// how many bytes it has. Bytes whose LEN no frame can have (below 7, below the header its
// control byte announces, above the buffer) were a false start in noise: the bytes taken
// after it are scanned again for the next 0x53, so a frame right behind noise is kept.

#include "osdp/types.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quintrel {

class TFrameAssembler {
  public:
    enum class TStep {
        Pending,     // the byte was taken (or dropped outside a frame)
        SecondStart, // a second 0x53 right after the first: the frame starts there instead
        Frame,       // a frame is complete in Data() and Held(); Reset() before the next byte
    };

    TStep Feed(std::uint8_t b);
    void Reset() { Count = 0; }
    const std::uint8_t* Data() const { return Bytes.data(); }
    std::size_t Held() const { return Count; }
    // LEN of the frame being gathered, once its two bytes are in; 0 before.
    std::size_t Length() const {
        return Count >= 4 ? static_cast<std::size_t>(Bytes[2] | (Bytes[3] << 8)) : 0;
    }

  private:
    bool PlausibleSoFar() const;
    void Resynchronise();

    std::array<std::uint8_t, kFrameBufferSize> Bytes{};
    std::size_t Count = 0;
};

} // namespace quintrel
