// Payloads of the dialog commands, byte for byte.

#include "commands/builders.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>

using namespace quintrel;
using quintrel::test::Hex;

namespace {

// Runs a builder into a buffer larger than any of these payloads and returns what it wrote,
// so a builder that writes too much or too little shows in the text.
template <typename TValues>
std::string Build(void (*builder)(const TValues&, std::uint8_t*&), const TValues& values) {
    std::array<std::uint8_t, 32> buffer{};
    std::uint8_t* cursor = buffer.data();
    builder(values, cursor);
    return Hex(buffer.data(), static_cast<std::size_t>(cursor - buffer.data()));
}

} // namespace

TEST(CommandBuilders, DialogDefaults) {
    EXPECT_EQ(Build(BuildOutputControl, TOutputControl{}), "00 05 0A 00");
    EXPECT_EQ(Build(BuildLedControl, TLedControl{}), "00 00 02 01 01 02 00 0A 00 00 00 00 01 01");
    EXPECT_EQ(Build(BuildBuzzerControl, TBuzzerControl{}), "00 02 01 02 03");
    EXPECT_EQ(Build(BuildComSet, TComSet{5, 9600}), "05 80 25 00 00");
}

TEST(CommandBuilders, NumbersKeepLowByteAndTimesGoLowByteFirst) {
    EXPECT_EQ(Build(BuildOutputControl, TOutputControl{256, 6, 300}), "00 06 2C 01");
    // Bits above 15 of a time are dropped, not carried into the neighbouring byte.
    EXPECT_EQ(Build(BuildOutputControl, TOutputControl{1, 2, 0x12345}), "01 02 45 23");
    EXPECT_EQ(Build(BuildComSet, TComSet{127, 115200}), "7F 00 C2 01 00");
}

TEST(CommandBuilders, LedFieldsEachInTheirOwnPlace) {
    // Distinct values, so two swapped fields cannot pass as they can with the defaults.
    const TLedControl led{3, 1, 4, 5, 6, 7, 0x0908, 1, 10, 11, 12, 13};
    EXPECT_EQ(Build(BuildLedControl, led), "00 03 01 04 05 06 07 08 09 01 0A 0B 0C 0D");
    const TBuzzerControl buzzer{1, 20, 30, 0x104};
    EXPECT_EQ(Build(BuildBuzzerControl, buzzer), "00 01 14 1E 04");
}
