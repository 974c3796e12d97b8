#include "decode/card_formats.h"

#include <array>
#include <cstdio>

namespace quintrel {

namespace {

// The card's bits, numbered from 1 as the layouts are written.
class TCardBits {
  public:
    TCardBits(const std::uint8_t* bytes, unsigned count) : Bytes(bytes), Count(count) {}
    bool Bit(unsigned n) const {
        const unsigned i = n - 1;
        return (Bytes[i / 8] >> (7 - i % 8) & 1) != 0;
    }
    // Bits first..last as a number, first most significant.
    std::uint64_t Field(unsigned first, unsigned last) const {
        std::uint64_t value = 0;
        for (unsigned n = first; n <= last; ++n)
            value = value << 1 | (Bit(n) ? 1 : 0);
        return value;
    }
    // Ones among the bits first..last that pick (n) accepts.
    template <typename Pick> unsigned Ones(unsigned first, unsigned last, Pick pick) const {
        unsigned ones = 0;
        for (unsigned n = first; n <= last; ++n)
            if (pick(n) && Bit(n)) ++ones;
        return ones;
    }
    unsigned Ones(unsigned first, unsigned last) const {
        return Ones(first, last, [](unsigned) { return true; });
    }
    unsigned Size() const { return Count; }

  private:
    const std::uint8_t* Bytes;
    unsigned Count;
};

bool Even(unsigned ones) {
    return ones % 2 == 0;
}

// A leading even parity over the first half and a trailing odd parity over the second,
// as the 26-, 34- and 37-bit layouts have them; the parity bits count themselves.
bool EdgeParitiesHold(const TCardBits& card, unsigned evenLast, unsigned oddFirst) {
    return Even(card.Ones(1, evenLast)) && !Even(card.Ones(oddFirst, card.Size()));
}

std::string FacilityAndNumber(unsigned bits, std::uint64_t facility, std::uint64_t number,
                              const char* facilityName = "FC") {
    char text[96];
    std::snprintf(text, sizeof text, "%u-bit %s=%llu CN=%llu", bits, facilityName,
                  static_cast<unsigned long long>(facility),
                  static_cast<unsigned long long>(number));
    return text;
}

} // namespace

std::optional<std::string> ReadCardFormat(const std::uint8_t* bytes, unsigned bits) {
    const TCardBits card(bytes, bits);
    switch (bits) {
    case 26: // facility code 8 bits, card number 16
        if (!EdgeParitiesHold(card, 13, 14)) return std::nullopt;
        return FacilityAndNumber(26, card.Field(2, 9), card.Field(10, 25));
    case 34: // facility code 16 bits, card number 16
        if (!EdgeParitiesHold(card, 17, 18)) return std::nullopt;
        return FacilityAndNumber(34, card.Field(2, 17), card.Field(18, 33));
    case 35: { // company code 12 bits, card number 20, three parity bits
        // Bit 2: even over the pairs 3-4, 6-7, ... 33-34; bit 35: odd over the pairs
        // 2-3, 5-6, ... 32-33; bit 1: odd over all 35.
        const unsigned second =
            card.Ones(2, 2) + card.Ones(3, 34, [](unsigned n) { return n % 3 != 2; });
        const unsigned last = card.Ones(2, 35, [](unsigned n) { return n % 3 != 1; });
        if (!Even(second) || Even(last) || Even(card.Ones(1, 35))) return std::nullopt;
        return FacilityAndNumber(35, card.Field(3, 14), card.Field(15, 34), "CC");
    }
    case 37: // facility code 16 bits, card number 19
        if (!EdgeParitiesHold(card, 19, 19)) return std::nullopt;
        return FacilityAndNumber(37, card.Field(2, 17), card.Field(18, 36));
    }
    return std::nullopt;
}

std::string KeypadKeys(const std::uint8_t* codes, std::size_t count) {
    std::string keys;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t code = codes[i];
        if (code == 0x7F || code == 0x2A) {
            keys += '*';
        } else if (code == 0x0D || code == 0x23) {
            keys += '#';
        } else if (code >= 0x41 && code <= 0x44) {
            keys += "F";
            keys += static_cast<char>('1' + (code - 0x41));
        } else if (code > 0x20 && code < 0x7F) {
            keys += static_cast<char>(code);
        } else {
            char item[8];
            std::snprintf(item, sizeof item, "<%.2X>", code);
            keys += item;
        }
    }
    return keys;
}

} // namespace quintrel
