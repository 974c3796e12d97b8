#pragma once
// Payloads of the standard commands composed from the dialogs. The dialogs return these plain
// values and the builders turn them into bytes, so the byte layout is testable without a window.
//
// A byte taken from a number is the value's low 8 bits; a time (units of 100 ms) is written as
// its low byte and then bits 8 to 15. Each builder writes at cursor and advances it; the caller
// sizes the buffer.

#include <cstdint>

namespace quintrel {

// osdp_OUT, 4 bytes. The time goes out whatever the control code, even where the device
// ignores it.
struct TOutputControl {
    int OutputNumber = 0;
    int ControlCode = 5; // timed ON
    int Time = 10;
};

// osdp_LED for reader 0, 14 bytes: a temporary setting (blinking green for a second by
// default) and a permanent one (untouched by default).
struct TLedControl {
    int LedNumber = 0;
    int TempControlCode = 2; // set
    int TempOnTime = 1;
    int TempOffTime = 1;
    int TempOnColor = 2; // green
    int TempOffColor = 0;
    int TempTime = 10;
    int PermControlCode = 0; // no change
    int PermOnTime = 0;
    int PermOffTime = 0;
    int PermOnColor = 1; // red
    int PermOffColor = 1;
};

// osdp_BUZ for reader 0, 5 bytes.
struct TBuzzerControl {
    int ToneCode = 2; // set
    int OnTime = 1;
    int OffTime = 2;
    int Count = 3;
};

// osdp_COMSET, 5 bytes: the new address and baud rate the device switches to.
struct TComSet {
    int Address = 0;
    std::uint32_t Baud = 9600;
};

void BuildOutputControl(const TOutputControl& values, std::uint8_t*& cursor);
void BuildLedControl(const TLedControl& values, std::uint8_t*& cursor);
void BuildBuzzerControl(const TBuzzerControl& values, std::uint8_t*& cursor);
void BuildComSet(const TComSet& values, std::uint8_t*& cursor);

} // namespace quintrel
