#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

using namespace quintrel;

namespace {

// Hex digits with optional blanks, as the vectors are printed.
std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char ch : text) {
        if (ch == ' ') continue;
        const int digit = (ch <= '9') ? ch - '0' : (ch | 0x20) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return out;
}

TAesBlock Block(std::string_view text) {
    const auto bytes = Hex(text);
    TAesBlock block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

struct TBlockVector {
    const char* Key;
    const char* Plain;
    const char* Cipher;
};

// FIPS-197 Appendix C.1 and Appendix B: two keys, so a fault in the key expansion
// cannot hide behind a key of simple counting bytes.
const TBlockVector Fips197[] = {
    {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
     "69C4E0D86A7B0430D8CDB78070B4C55A"},
    {"2B7E151628AED2A6ABF7158809CF4F3C", "3243F6A8885A308D313198A2E0370734",
     "3925841D02DC09FBDC118597196A0B32"},
};

} // namespace

TEST(AesBlock, Fips197VectorsBothWays) {
    for (const auto& v : Fips197) {
        const TAesBlock key = Block(v.Key), plain = Block(v.Plain), cipher = Block(v.Cipher);
        TAesBlock out{};
        AesEncryptBlock(out.data(), plain.data(), key.data());
        EXPECT_EQ(out, cipher) << v.Key;
        AesDecryptBlock(out.data(), cipher.data(), key.data());
        EXPECT_EQ(out, plain) << v.Key;
    }
}

TEST(AesBlock, InPlace) {
    const TAesBlock key = Block(Fips197[0].Key);
    TAesBlock buffer = Block(Fips197[0].Plain);
    AesEncryptBlock(buffer.data(), buffer.data(), key.data());
    EXPECT_EQ(buffer, Block(Fips197[0].Cipher));
    AesDecryptBlock(buffer.data(), buffer.data(), key.data());
    EXPECT_EQ(buffer, Block(Fips197[0].Plain));
}

// Decryption runs the key schedule backwards; any key byte whose inverse step is
// wrong shows up as a failed round trip for some key.
TEST(AesBlock, RoundTripOverVariedKeys) {
    TAesBlock key{}, plain{};
    for (int n = 0; n < 64; ++n) {
        for (int i = 0; i < 16; ++i) {
            key[i] = static_cast<std::uint8_t>(n * 37 + i * 91 + (n ^ i) * 13);
            plain[i] = static_cast<std::uint8_t>(n * 11 + i * 29 + 0xA5);
        }
        TAesBlock cipher{}, back{};
        AesEncryptBlock(cipher.data(), plain.data(), key.data());
        AesDecryptBlock(back.data(), cipher.data(), key.data());
        ASSERT_NE(cipher, plain) << n;
        ASSERT_EQ(back, plain) << n;
    }
}

TEST(AesCbc, TwoBlocksChainLikeSingleCalls) {
    const TAesBlock key = Block(Fips197[0].Key);
    const TAesBlock iv = Block("F0E1D2C3B4A5968778695A4B3C2D1E0F");
    std::vector<std::uint8_t> data = Hex("00112233445566778899AABBCCDDEEFF"
                                         "0F0E0D0C0B0A09080706050403020100");
    const std::vector<std::uint8_t> plain = data;

    TAesBlock first{}, second{};
    for (int i = 0; i < 16; ++i)
        first[i] = plain[i] ^ iv[i];
    AesEncryptBlock(first.data(), first.data(), key.data());
    for (int i = 0; i < 16; ++i)
        second[i] = plain[16 + i] ^ first[i];
    AesEncryptBlock(second.data(), second.data(), key.data());

    TAesBlock chain = iv;
    AesCbcEncrypt(key.data(), data.data(), data.size(), chain);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), data.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), data.begin() + 16));
    EXPECT_EQ(chain, second);

    chain = iv;
    AesCbcDecrypt(key.data(), data.data(), data.size(), chain);
    EXPECT_EQ(data, plain);
    EXPECT_EQ(chain, second);
}

// NIST SP 800-38A, F.2.1 / F.2.2 (CBC-AES128): four blocks in one call.
TEST(AesCbc, Sp80038aVector) {
    const TAesBlock key = Block("2B7E151628AED2A6ABF7158809CF4F3C");
    const TAesBlock iv = Block("000102030405060708090A0B0C0D0E0F");
    const auto plain = Hex("6BC1BEE22E409F96E93D7E117393172A AE2D8A571E03AC9C9EB76FAC45AF8E51"
                           "30C81C46A35CE411E5FBC1191A0A52EF F69F2445DF4F9B17AD2B417BE66C3710");
    const auto cipher = Hex("7649ABAC8119B246CEE98E9B12E9197D 5086CB9B507219EE95DB113A917678B2"
                            "73BED6B8E3C1743B7116E69E22229516 3FF1CAA1681FAC09120ECA307586E1A7");
    auto data = plain;
    TAesBlock chain = iv;
    AesCbcEncrypt(key.data(), data.data(), data.size(), chain);
    EXPECT_EQ(data, cipher);
    chain = iv;
    AesCbcDecrypt(key.data(), data.data(), data.size(), chain);
    EXPECT_EQ(data, plain);
}

TEST(AesCbc, CountEdges) {
    const TAesBlock key = Block(Fips197[0].Key);
    const TAesBlock iv = Block("0123456789ABCDEF0123456789ABCDEF");
    // Exactly 20 bytes long, so a sanitizer run catches any touch past count.
    const std::vector<std::uint8_t> original = Hex("00112233445566778899AABBCCDDEEFF 01020304");
    const TAesBlock firstPlain = Block("00112233445566778899AABBCCDDEEFF");

    for (bool encrypt : {true, false}) {
        auto* cbc = encrypt ? &AesCbcEncrypt : &AesCbcDecrypt;
        auto data = original;
        TAesBlock chain = iv;
        cbc(key.data(), data.data(), 0, chain);
        EXPECT_EQ(data, original);
        EXPECT_EQ(chain, iv);

        TAesBlock expected = firstPlain;
        TAesBlock single = iv;
        cbc(key.data(), expected.data(), 16, single);
        cbc(key.data(), data.data(), data.size(), chain);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.begin())) << encrypt;
        EXPECT_EQ(std::vector(data.begin() + 16, data.end()), Hex("01020304")) << encrypt;
        EXPECT_EQ(chain, encrypt ? expected : firstPlain) << encrypt;
    }
}
