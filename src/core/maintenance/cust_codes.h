#pragma once
// How customer codes are numbered by people (CF, DF and GF codes) and by the reader.

#include "maintenance/mfg_channel.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quintrel {

// The reader's representation of customer-code numbers 0..999: all different, low 4 bits
// zero (a DF code keeps its last decimal digit there). Entry n is
// ((n * 1657 + 419) mod 4096) * 16: 1657 is odd, so n -> n * 1657 + 419 is one-to-one
// modulo 4096 and no two of the 1000 entries meet.
constexpr std::uint16_t CodeTableEntry(int n) {
    return static_cast<std::uint16_t>(((n * 1657 + 419) % 4096) << 4);
}
extern const std::array<std::uint16_t, 1000> CodeTable;

// "EFCB", "CF%.3d", "DF%.4d", "GF%.3d", or empty for a type or value without a name.
std::string CustCodeText(const TCustCode& code);
// The names joined by ", ", or "« customer codes unknown »" when that is empty.
std::string ListText(const TCustCodeList& list);

// The check modes as the editor lists them: "Read any" (0), "Only valid customer-code"
// (1), "Valid customer-code + other formats" (3). A mode of 2 or more shows as the last.
constexpr int CheckModeIndex(int mode) {
    return mode < 0 ? -1 : mode >= 2 ? 2 : mode;
}
constexpr int CheckModeByte(int index) {
    return index <= 0 ? 0 : index == 1 ? 1 : 3;
}

enum class TCodeKind { CF, DF, GF };
// The entry a typed number adds: CF 1..999, DF 1..9999, GF 1..255; nothing out of range.
std::optional<TCustCode> CodeToAdd(TCodeKind kind, long long number);

} // namespace quintrel
