#include "commands/builders.h"

#include "osdp/bytes.h"

namespace quintrel {

namespace {

void PutNumber(std::uint8_t*& cursor, int value) {
    PutByte(cursor, static_cast<std::uint8_t>(value & 0xFF));
}

void PutTime(std::uint8_t*& cursor, int value) {
    PutWord(cursor, static_cast<std::uint16_t>(value & 0xFFFF), false);
}

} // namespace

void BuildOutputControl(const TOutputControl& values, std::uint8_t*& cursor) {
    PutNumber(cursor, values.OutputNumber);
    PutNumber(cursor, values.ControlCode);
    PutTime(cursor, values.Time);
}

void BuildLedControl(const TLedControl& values, std::uint8_t*& cursor) {
    PutByte(cursor, 0); // reader
    PutNumber(cursor, values.LedNumber);
    PutNumber(cursor, values.TempControlCode);
    PutNumber(cursor, values.TempOnTime);
    PutNumber(cursor, values.TempOffTime);
    PutNumber(cursor, values.TempOnColor);
    PutNumber(cursor, values.TempOffColor);
    PutTime(cursor, values.TempTime);
    PutNumber(cursor, values.PermControlCode);
    PutNumber(cursor, values.PermOnTime);
    PutNumber(cursor, values.PermOffTime);
    PutNumber(cursor, values.PermOnColor);
    PutNumber(cursor, values.PermOffColor);
}

void BuildBuzzerControl(const TBuzzerControl& values, std::uint8_t*& cursor) {
    PutByte(cursor, 0); // reader
    PutNumber(cursor, values.ToneCode);
    PutNumber(cursor, values.OnTime);
    PutNumber(cursor, values.OffTime);
    PutNumber(cursor, values.Count);
}

void BuildComSet(const TComSet& values, std::uint8_t*& cursor) {
    PutNumber(cursor, values.Address);
    PutLong(cursor, values.Baud, false);
}

} // namespace quintrel
