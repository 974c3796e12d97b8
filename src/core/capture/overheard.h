#pragma once
// The reader of overheard traffic: bytes as they were heard on each side of a line (from a
// capture file's records, or from a port that only listens) in, checked frames and the log
// lines that describe them out, the way the live log says them. Each side's bytes go through
// the same frame assembler the live path uses, so a record may hold part of a frame or several
// frames, and mark bytes or noise before a start byte are skipped. A frame's direction comes
// from its address byte (bit 7 set: a reply), whatever the side it was heard on.

#include "capture/capture_format.h"
#include "decode/vendor_list.h"
#include "osdp/frame_assembler.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quintrel {

class TOverheardReader {
  public:
    // A frame's lines; time is the frame's last byte's time in nanoseconds since 1970.
    using TSink = std::function<void(std::int64_t time, const std::string& line)>;

    // Bytes of one side that stop coming for this long end the frame they were part of.
    static constexpr std::int64_t FrameGapNs = 200'000'000;

    TOverheardReader(const TCaptureView& view, const TVendorList& vendors, TSink sink);

    // Bytes heard on one side (the capture's io: each writer's sides are its own) at a time.
    void Feed(TCaptureIo side, std::int64_t time, const std::uint8_t* bytes, std::size_t count);
    // The end of the traffic: a frame still incomplete is reported.
    void Finish();

    std::size_t Frames() const { return FrameCount; }
    std::size_t Damaged() const { return DamagedCount; }

  private:
    struct TSide {
        TFrameAssembler Assembler;
        std::int64_t LastTime = 0;
    };
    void Complete(const std::uint8_t* frame, std::size_t count, std::int64_t time);
    void Incomplete(TSide& side);

    TCaptureView View;
    const TVendorList& Vendors;
    TSink Sink;
    std::array<TSide, 3> Sides;
    std::size_t FrameCount = 0;
    std::size_t DamagedCount = 0;
};

// The lines a whole frame (start byte to check bytes) gives under the view.
std::vector<std::string> DescribeOverheardFrame(const std::uint8_t* frame, std::size_t count,
                                                const TCaptureView& view,
                                                const TVendorList& vendors);

} // namespace quintrel
