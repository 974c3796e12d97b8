#include "maintenance/cust_codes.h"

#include <cstdio>

namespace quintrel {

namespace {

constexpr std::array<std::uint16_t, 1000> MakeCodeTable() {
    std::array<std::uint16_t, 1000> table{};
    for (int n = 0; n < 1000; ++n)
        table[static_cast<std::size_t>(n)] = CodeTableEntry(n);
    return table;
}

int CodeNumber(std::uint16_t value) {
    for (int n = 0; n < 1000; ++n)
        if (CodeTable[static_cast<std::size_t>(n)] == value) return n;
    return -1;
}

std::string Format(const char* format, int number) {
    char text[16];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

} // namespace

const std::array<std::uint16_t, 1000> CodeTable = MakeCodeTable();

std::string CustCodeText(const TCustCode& code) {
    switch (code.CodeType) {
    case 2:
        return "EFCB";
    case 4:
    case 5: {
        const int n = CodeNumber(code.Value);
        return n < 0 ? std::string() : Format("CF%.3d", n);
    }
    case 6:
    case 7: {
        const int n = CodeNumber(static_cast<std::uint16_t>(code.Value & 0xFFF0));
        return n < 0 ? std::string() : Format("DF%.4d", n * 10 + (code.Value & 0x000F));
    }
    case 8:
    case 9:
    case 10:
    case 11:
        return Format("GF%.3d", code.Value);
    default:
        return {};
    }
}

std::string ListText(const TCustCodeList& list) {
    std::string text;
    for (int i = 0; i < list.Count; ++i) {
        if (!text.empty()) text += ", ";
        text += CustCodeText(list.Items[static_cast<std::size_t>(i)]);
    }
    return text.empty() ? "« customer codes unknown »" : text;
}

std::optional<TCustCode> CodeToAdd(TCodeKind kind, long long number) {
    switch (kind) {
    case TCodeKind::CF:
        if (number < 1 || number > 999) return std::nullopt;
        return TCustCode{4, CodeTable[static_cast<std::size_t>(number)]};
    case TCodeKind::DF:
        if (number < 1 || number > 9999) return std::nullopt;
        return TCustCode{6, static_cast<std::uint16_t>(
                                CodeTable[static_cast<std::size_t>(number / 10)] + number % 10)};
    case TCodeKind::GF:
        if (number < 1 || number > 255) return std::nullopt;
        return TCustCode{8, static_cast<std::uint16_t>(number)};
    }
    return std::nullopt;
}

} // namespace quintrel
