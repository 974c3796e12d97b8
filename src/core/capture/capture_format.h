#pragma once
// Capture files (.osdpcap): one JSON object per line, one frame per object, the form
// that other OSDP tools write and read:
//   {"timeSec":"1765152000","timeNano":"123456789","io":"output","data":" 53 00 08 00 ...",
//    "osdpTraceVersion":"1","osdpSource":"Quintrel 1.0"}
// timeSec and timeNano are the wall-clock time (seconds since 1970, UTC, and the
// nanoseconds within that second), written as strings of digits; io is "output" for a
// frame the writer sent, "input" for one it received ("out" and "in" with some writers) and
// "trace" for one seen by a listener on the line; data is the bytes in hex, lower case with
// a blank before each byte. Which side wrote a file is not recorded, so a frame's direction
// is its address byte's (see overheard.h); a record may hold mark bytes (0xFF) before the
// start byte, part of a frame or several frames.
//
// The reader is lenient where writers differ: numbers or strings for the times, hex in
// either case with or without blanks, dashes or colons between bytes, fields in any order,
// extra fields skipped. What it cannot read it rejects with a reason, never more.

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

// How captured frames are shown: their bytes, their words, and the polls among them.
struct TCaptureView {
    bool Raw = false;
    bool Description = true;
    bool Poll = false;
    bool Keys = false; // key bytes in frames shown
};

} // namespace quintrel
