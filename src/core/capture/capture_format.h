#pragma once
// Capture files (.osdpcap): one JSON object per line, one frame per object, the form
// that other OSDP tools write and read:
//   {"timeSec":"1765152000","timeNano":"123456789","io":"output","data":"53000800...",
//    "osdpTraceVersion":"1","osdpSource":"Quintrel 1.0"}
// timeSec and timeNano are the wall-clock time (seconds since 1970, UTC, and the
// nanoseconds within that second), written as strings of digits; io is "output" for a
// frame the control panel sent, "input" for one it received and "trace" for one seen by
// a listener on the line; data is the whole frame in hex, start byte to check bytes.
//
// The reader is lenient where writers differ: numbers or strings for the times, hex in
// either case with or without blanks, dashes or colons between bytes, fields in any order,
// extra fields skipped. What it cannot read it rejects with a reason, never more.

#include "decode/vendor_list.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quintrel {

enum class TCaptureIo { Output, Input, Trace };

struct TCaptureRecord {
    std::int64_t Seconds = 0;
    std::int32_t Nanos = 0; // 0..999 999 999
    TCaptureIo Io = TCaptureIo::Trace;
    std::vector<std::uint8_t> Data;
    std::string Source;
};

// The largest frame a record may carry; anything longer is no OSDP frame.
constexpr std::size_t kCaptureMaxData = 4096;

// One line without its line feed.
std::string FormatCaptureLine(const TCaptureRecord& record);

// False (with the reason) for a line that is not a capture record. A blank line is not
// a record either; the caller decides whether to count it.
bool ParseCaptureLine(std::string_view line, TCaptureRecord& record, std::string& error);

// What a captured frame says, the way the live log says it: a description line (the
// frame's words, as "> addr=N: ..." for a command and "< addr=N: ..." for a reply) when
// the frame checks out, a raw hex line, or an error line. Frames protected by a secure
// session cannot be read without its keys and are shown in hex whatever the flags.
struct TCaptureView {
    bool Raw = false;
    bool Description = true;
    bool Poll = false;
};
std::vector<std::string> DescribeCapturedFrame(const TCaptureRecord& record,
                                               const TCaptureView& view,
                                               const TVendorList& vendors);

} // namespace quintrel
