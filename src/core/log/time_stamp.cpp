#include "log/time_stamp.h"

#include <cstdio>

namespace quintrel {

std::string FormatTimeStamp(int hours, int minutes, int seconds, int milliseconds, char separator) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%02d%c%02d%c%02d%c%03d", hours, separator,
                                minutes, separator, seconds, separator, milliseconds);
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

} // namespace quintrel
