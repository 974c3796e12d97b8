#include "crypto/aes.h"

#include <algorithm>

namespace quintrel {

namespace {

using TTable = std::array<std::uint8_t, 256>;

// clang-format off
constexpr TTable SBox = {
    0x63, 0x7C, 0x77, 0x7B, 0xF2, 0x6B, 0x6F, 0xC5, 0x30, 0x01, 0x67, 0x2B, 0xFE, 0xD7, 0xAB, 0x76,
    0xCA, 0x82, 0xC9, 0x7D, 0xFA, 0x59, 0x47, 0xF0, 0xAD, 0xD4, 0xA2, 0xAF, 0x9C, 0xA4, 0x72, 0xC0,
    0xB7, 0xFD, 0x93, 0x26, 0x36, 0x3F, 0xF7, 0xCC, 0x34, 0xA5, 0xE5, 0xF1, 0x71, 0xD8, 0x31, 0x15,
    0x04, 0xC7, 0x23, 0xC3, 0x18, 0x96, 0x05, 0x9A, 0x07, 0x12, 0x80, 0xE2, 0xEB, 0x27, 0xB2, 0x75,
    0x09, 0x83, 0x2C, 0x1A, 0x1B, 0x6E, 0x5A, 0xA0, 0x52, 0x3B, 0xD6, 0xB3, 0x29, 0xE3, 0x2F, 0x84,
    0x53, 0xD1, 0x00, 0xED, 0x20, 0xFC, 0xB1, 0x5B, 0x6A, 0xCB, 0xBE, 0x39, 0x4A, 0x4C, 0x58, 0xCF,
    0xD0, 0xEF, 0xAA, 0xFB, 0x43, 0x4D, 0x33, 0x85, 0x45, 0xF9, 0x02, 0x7F, 0x50, 0x3C, 0x9F, 0xA8,
    0x51, 0xA3, 0x40, 0x8F, 0x92, 0x9D, 0x38, 0xF5, 0xBC, 0xB6, 0xDA, 0x21, 0x10, 0xFF, 0xF3, 0xD2,
    0xCD, 0x0C, 0x13, 0xEC, 0x5F, 0x97, 0x44, 0x17, 0xC4, 0xA7, 0x7E, 0x3D, 0x64, 0x5D, 0x19, 0x73,
    0x60, 0x81, 0x4F, 0xDC, 0x22, 0x2A, 0x90, 0x88, 0x46, 0xEE, 0xB8, 0x14, 0xDE, 0x5E, 0x0B, 0xDB,
    0xE0, 0x32, 0x3A, 0x0A, 0x49, 0x06, 0x24, 0x5C, 0xC2, 0xD3, 0xAC, 0x62, 0x91, 0x95, 0xE4, 0x79,
    0xE7, 0xC8, 0x37, 0x6D, 0x8D, 0xD5, 0x4E, 0xA9, 0x6C, 0x56, 0xF4, 0xEA, 0x65, 0x7A, 0xAE, 0x08,
    0xBA, 0x78, 0x25, 0x2E, 0x1C, 0xA6, 0xB4, 0xC6, 0xE8, 0xDD, 0x74, 0x1F, 0x4B, 0xBD, 0x8B, 0x8A,
    0x70, 0x3E, 0xB5, 0x66, 0x48, 0x03, 0xF6, 0x0E, 0x61, 0x35, 0x57, 0xB9, 0x86, 0xC1, 0x1D, 0x9E,
    0xE1, 0xF8, 0x98, 0x11, 0x69, 0xD9, 0x8E, 0x94, 0x9B, 0x1E, 0x87, 0xE9, 0xCE, 0x55, 0x28, 0xDF,
    0x8C, 0xA1, 0x89, 0x0D, 0xBF, 0xE6, 0x42, 0x68, 0x41, 0x99, 0x2D, 0x0F, 0xB0, 0x54, 0xBB, 0x16,
};
// clang-format on

constexpr std::array<std::uint8_t, 10> RoundConstants = {0x01, 0x02, 0x04, 0x08, 0x10,
                                                         0x20, 0x40, 0x80, 0x1B, 0x36};

// The remaining tables follow from the S-box and the field arithmetic, so they are
// built by the compiler rather than typed in: one less place for a wrong digit.
constexpr TTable MakeInvSBox() {
    TTable inv{};
    for (int i = 0; i < 256; ++i)
        inv[SBox[i]] = static_cast<std::uint8_t>(i);
    return inv;
}

constexpr std::uint8_t XTime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t GfMul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if (b & 1) product ^= a;
        a = XTime(a);
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

constexpr TTable MakeMulTable(std::uint8_t factor) {
    TTable table{};
    for (int i = 0; i < 256; ++i)
        table[i] = GfMul(static_cast<std::uint8_t>(i), factor);
    return table;
}

constexpr TTable InvSBox = MakeInvSBox();
constexpr TTable Mul2 = MakeMulTable(2);
constexpr TTable Mul3 = MakeMulTable(3);
constexpr TTable Mul9 = MakeMulTable(9);
constexpr TTable Mul11 = MakeMulTable(11);
constexpr TTable Mul13 = MakeMulTable(13);
constexpr TTable Mul14 = MakeMulTable(14);

static_assert(InvSBox[0x63] == 0x00 && InvSBox[0x16] == 0xFF);
static_assert(GfMul(0x57, 0x13) == 0xFE); // the worked product in FIPS-197, 4.2.1

using TState = std::array<std::uint8_t, 16>;

// Round key word w occupies bytes 4w..4w+3, like a state column.
void XorFirstWord(TState& roundKey, std::uint8_t roundConstant) {
    roundKey[0] ^= static_cast<std::uint8_t>(SBox[roundKey[13]] ^ roundConstant);
    roundKey[1] ^= SBox[roundKey[14]];
    roundKey[2] ^= SBox[roundKey[15]];
    roundKey[3] ^= SBox[roundKey[12]];
}

void NextRoundKey(TState& roundKey, std::uint8_t roundConstant) {
    XorFirstWord(roundKey, roundConstant);
    for (int i = 4; i < 16; ++i)
        roundKey[i] ^= roundKey[i - 4];
}

// Exact inverse of NextRoundKey: the later words are restored first because the
// first word's update depends on the original last word.
void PreviousRoundKey(TState& roundKey, std::uint8_t roundConstant) {
    for (int i = 15; i >= 4; --i)
        roundKey[i] ^= roundKey[i - 4];
    XorFirstWord(roundKey, roundConstant);
}

void AddRoundKey(TState& state, const TState& roundKey) {
    for (int i = 0; i < 16; ++i)
        state[i] ^= roundKey[i];
}

// Row r of column c moves to column c - r; SubBytes rides along since it is per byte.
void SubShiftRows(TState& state) {
    const TState in = state;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            state[r + 4 * c] = SBox[in[r + 4 * ((c + r) % 4)]];
}

void InvSubShiftRows(TState& state) {
    const TState in = state;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            state[r + 4 * ((c + r) % 4)] = InvSBox[in[r + 4 * c]];
}

void MixColumns(TState& state) {
    for (int c = 0; c < 16; c += 4) {
        const std::uint8_t a0 = state[c], a1 = state[c + 1], a2 = state[c + 2], a3 = state[c + 3];
        state[c] = Mul2[a0] ^ Mul3[a1] ^ a2 ^ a3;
        state[c + 1] = a0 ^ Mul2[a1] ^ Mul3[a2] ^ a3;
        state[c + 2] = a0 ^ a1 ^ Mul2[a2] ^ Mul3[a3];
        state[c + 3] = Mul3[a0] ^ a1 ^ a2 ^ Mul2[a3];
    }
}

void InvMixColumns(TState& state) {
    for (int c = 0; c < 16; c += 4) {
        const std::uint8_t a0 = state[c], a1 = state[c + 1], a2 = state[c + 2], a3 = state[c + 3];
        state[c] = Mul14[a0] ^ Mul11[a1] ^ Mul13[a2] ^ Mul9[a3];
        state[c + 1] = Mul9[a0] ^ Mul14[a1] ^ Mul11[a2] ^ Mul13[a3];
        state[c + 2] = Mul13[a0] ^ Mul9[a1] ^ Mul14[a2] ^ Mul11[a3];
        state[c + 3] = Mul11[a0] ^ Mul13[a1] ^ Mul9[a2] ^ Mul14[a3];
    }
}

// Copying in before writing out is what lets output, input and key share memory.
TState Load(const std::uint8_t* bytes) {
    TState block;
    std::copy_n(bytes, 16, block.begin());
    return block;
}

} // namespace

void AesEncryptBlock(std::uint8_t* output, const std::uint8_t* input, const std::uint8_t* key) {
    TState state = Load(input);
    TState roundKey = Load(key);
    AddRoundKey(state, roundKey);
    for (int round = 1; round <= 10; ++round) {
        SubShiftRows(state);
        if (round < 10) MixColumns(state);
        NextRoundKey(roundKey, RoundConstants[round - 1]);
        AddRoundKey(state, roundKey);
    }
    std::copy(state.begin(), state.end(), output);
}

void AesDecryptBlock(std::uint8_t* output, const std::uint8_t* input, const std::uint8_t* key) {
    TState state = Load(input);
    TState roundKey = Load(key);
    for (std::uint8_t roundConstant : RoundConstants)
        NextRoundKey(roundKey, roundConstant);
    AddRoundKey(state, roundKey);
    for (int round = 10; round >= 1; --round) {
        InvSubShiftRows(state);
        PreviousRoundKey(roundKey, RoundConstants[round - 1]);
        AddRoundKey(state, roundKey);
        if (round > 1) InvMixColumns(state);
    }
    std::copy(state.begin(), state.end(), output);
}

void AesCbcEncrypt(const std::uint8_t* key, std::uint8_t* data, std::size_t count,
                   TAesBlock& cbcChain) {
    for (std::size_t offset = 0; offset + 16 <= count; offset += 16) {
        std::uint8_t* block = data + offset;
        for (int i = 0; i < 16; ++i)
            block[i] ^= cbcChain[i];
        AesEncryptBlock(block, block, key);
        std::copy_n(block, 16, cbcChain.begin());
    }
}

void AesCbcDecrypt(const std::uint8_t* key, std::uint8_t* data, std::size_t count,
                   TAesBlock& cbcChain) {
    for (std::size_t offset = 0; offset + 16 <= count; offset += 16) {
        std::uint8_t* block = data + offset;
        const TAesBlock cipher = Load(block);
        AesDecryptBlock(block, block, key);
        for (int i = 0; i < 16; ++i)
            block[i] ^= cbcChain[i];
        cbcChain = cipher;
    }
}

} // namespace quintrel
