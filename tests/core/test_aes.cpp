#include "crypto/aes.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace quintrel;
using quintrel::test::Bytes;

namespace {

TAesBlock Block(const std::string& hex) {
    const auto bytes = Bytes(hex);
    TAesBlock block{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
    return block;
}

} // namespace

// FIPS-197 Appendix C.1 and Appendix B: two keys, so a fault in the key expansion
// cannot hide behind a key of counting bytes. Decrypting in place also proves that
// output may share the input's buffer.
TEST(AesBlock, Fips197VectorsBothWaysInPlace) {
    const char* vectors[][3] = {
        {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
         "69C4E0D86A7B0430D8CDB78070B4C55A"},
        {"2B7E151628AED2A6ABF7158809CF4F3C", "3243F6A8885A308D313198A2E0370734",
         "3925841D02DC09FBDC118597196A0B32"},
    };
    for (const auto& v : vectors) {
        const TAesBlock key = Block(v[0]), plain = Block(v[1]), cipher = Block(v[2]);
        TAesBlock out{};
        AesEncryptBlock(out.data(), plain.data(), key.data());
        EXPECT_EQ(out, cipher) << v[0];
        AesDecryptBlock(out.data(), out.data(), key.data());
        EXPECT_EQ(out, plain) << v[0];
        AesEncryptBlock(out.data(), out.data(), key.data());
        EXPECT_EQ(out, cipher) << v[0];
    }
}

// NIST SP 800-38A F.2.1 (CBC-AES128), first two blocks; also checked against two
// single-block calls chained by hand.
TEST(AesCbc, TwoBlocksAndChainValue) {
    const TAesBlock key = Block("2B7E151628AED2A6ABF7158809CF4F3C");
    const TAesBlock iv = Block("000102030405060708090A0B0C0D0E0F");
    const auto plain = Bytes("6BC1BEE22E409F96E93D7E117393172A AE2D8A571E03AC9C9EB76FAC45AF8E51");
    const auto cipher = Bytes("7649ABAC8119B246CEE98E9B12E9197D 5086CB9B507219EE95DB113A917678B2");

    TAesBlock byHand = iv;
    for (int b = 0; b < 2; ++b) {
        for (int i = 0; i < 16; ++i)
            byHand[i] ^= plain[16 * b + i];
        AesEncryptBlock(byHand.data(), byHand.data(), key.data());
    }
    EXPECT_TRUE(std::equal(byHand.begin(), byHand.end(), cipher.begin() + 16));

    auto data = plain;
    TAesBlock chain = iv;
    AesCbcEncrypt(key.data(), data.data(), data.size(), chain);
    EXPECT_EQ(data, cipher);
    EXPECT_EQ(chain, byHand);

    chain = iv;
    AesCbcDecrypt(key.data(), data.data(), data.size(), chain);
    EXPECT_EQ(data, plain);
    EXPECT_EQ(chain, byHand);
}

TEST(AesCbc, CountEdges) {
    const TAesBlock key = Block("000102030405060708090A0B0C0D0E0F");
    const TAesBlock iv = Block("0123456789ABCDEF0123456789ABCDEF");
    // Exactly 20 bytes long, so a sanitizer run catches any touch past count.
    const auto original = Bytes("00112233445566778899AABBCCDDEEFF 01020304");
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
        EXPECT_EQ(std::vector(data.begin() + 16, data.end()), Bytes("01020304")) << encrypt;
        EXPECT_EQ(chain, encrypt ? expected : firstPlain) << encrypt;
    }
}
