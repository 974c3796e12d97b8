#pragma once
// The time stamp in front of every log line.

#include <string>

namespace quintrel {

// "hh:nn:ss:zzz": hours, minutes and seconds with two digits and milliseconds with three,
// joined by the time separator. Out-of-range parts are shown as given, never truncated.
std::string FormatTimeStamp(int hours, int minutes, int seconds, int milliseconds,
                            char separator = ':');

} // namespace quintrel
