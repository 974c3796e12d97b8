// The time stamp in front of each log line.

#include "log/time_stamp.h"

#include <gtest/gtest.h>

using namespace quintrel;

TEST(TimeStamp, FixedWidthFields) {
    EXPECT_EQ(FormatTimeStamp(14, 3, 27, 54), "14:03:27:054");
    EXPECT_EQ(FormatTimeStamp(0, 0, 0, 0), "00:00:00:000");
    EXPECT_EQ(FormatTimeStamp(23, 59, 59, 999), "23:59:59:999");
    EXPECT_EQ(FormatTimeStamp(9, 5, 7, 5, '.'), "09.05.07.005");
}
