#include "crypto/secure_session.h"
#include "osdp/bytes.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace quintrel;
using quintrel::test::Bytes;

namespace {

template <typename TArray = TAesBlock> TArray Arr(const std::string& hex) {
    const auto bytes = Bytes(hex);
    TArray out{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), out.size()), out.begin());
    return out;
}

// Reference values from vectors/secure_channel.md (computed independently with
// python3-cryptography).
TSecureSession ReferenceSession() {
    TSecureSession s;
    s.RndA = Arr<TRnd>("A0 A1 A2 A3 A4 A5 A6 A7");
    s.RndB = Arr<TRnd>("B0 B1 B2 B3 B4 B5 B6 B7");
    s.Cuid = Arr<TRnd>("7C 4E 15 09 12 34 56 78");
    DeriveSessionKeys(s, ScbkD);
    s.ServerCryptogram = ComputeServerCryptogram(s);
    s.ClientCryptogram = ExpectedClientCryptogram(s);
    s.LastMac = ComputeInitialRmac(s);
    return s;
}

// One CBC step under the given key, written out so the expected MACs below do not
// go through ComputeMac's own block splitting.
void MacStep(const TAesKey& key, const std::string& block, TAesBlock& chain) {
    TAesBlock work = Arr(block);
    AesCbcEncrypt(key.data(), work.data(), work.size(), chain);
}

} // namespace

TEST(SecureHandshake, ReferenceExchange) {
    const TSecureSession s = ReferenceSession();
    EXPECT_EQ(s.SEnc, Arr("AA 6B 7A BE 6F 33 4D B9 7D FA DD 34 89 E3 C7 6A"));
    EXPECT_EQ(s.SMac1, Arr("DE FF 1E B0 5C C9 40 F1 B9 07 BD 07 83 25 9E 12"));
    EXPECT_EQ(s.SMac2, Arr("4E 39 35 7F BF 0F CA 81 76 D9 E5 71 56 3A 56 A2"));
    EXPECT_EQ(s.ClientCryptogram, Arr("E0 BB EF 5E 8F 7B 56 2A F7 C0 FE 04 39 DA F9 51"));
    EXPECT_EQ(s.ServerCryptogram, Arr("50 09 A1 BC D7 2E B6 FD BF 6E A0 96 38 67 50 CB"));
    EXPECT_EQ(s.LastMac, Arr("50 08 2A 57 F1 1A BA 6D DC 35 49 FC 9D 91 1C BF"));
    EXPECT_EQ(DiversifyKey(Arr("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"), s.Cuid),
              Arr("26 AB A1 E0 00 D7 25 33 AF 6F AD 59 44 32 5E 8D"));
}

// A comparison that stops early, or looks at only part of the block, lets a
// forged cryptogram through.
TEST(SecureHandshake, ClientCryptogramMustMatchEveryByte) {
    TSecureSession s = ReferenceSession();
    EXPECT_TRUE(ClientCryptogramMatches(s));
    for (std::size_t i = 0; i < s.ClientCryptogram.size(); ++i) {
        TSecureSession forged = s;
        forged.ClientCryptogram[i] ^= 0x01;
        EXPECT_FALSE(ClientCryptogramMatches(forged)) << "byte " << i;
    }
}

TEST(SecureFrames, ReferenceMacChainAndPayloads) {
    const struct {
        const char* Frame; // without the mark byte; the MAC is the 4 bytes before the CRC
        const char* FullMac;
    } frames[] = {
        {"53 00 0E 00 0D 02 15 60 61 D5 5F B8 9F 90",
         "61 D5 5F B8 FC 9E 59 85 25 41 48 0E 2A D6 E2 2F"},
        {"53 80 0E 00 0D 02 16 40 16 1C 3F 31 D4 7F",
         "16 1C 3F 31 0D 34 98 6F 0D E2 51 48 20 8C B2 45"},
        {"53 00 1E 00 0E 02 17 69 13 BF 46 0A 5A 87 9A 3E 79 42 A2 AE 1D 37 53 00 C8 0D E8 55 36 "
         "E4",
         "C8 0D E8 55 64 99 FF 6F 3D 01 F8 1C 76 71 9B D3"},
        {"53 80 1E 00 0E 02 18 45 07 4B F1 28 FB 18 47 20 CD E4 D0 93 5B 6D E9 A4 3F DD FF 54 C5 "
         "16",
         "3F DD FF 54 6D A7 A7 C6 BE 23 AF 02 14 91 B1 60"},
    };
    // Frames 3 and 4 carry 16 encrypted bytes after the command/reply code.
    const TAesBlock plain[] = {
        Arr("00 00 02 01 01 02 00 0A 00 00 00 00 01 01 80 00"),
        Arr("7C 4E 15 09 01 78 56 34 12 01 02 03 80 00 00 00"),
    };

    TSecureSession s = ReferenceSession();
    for (int n = 0; n < 4; ++n) {
        const auto frame = Bytes(frames[n].Frame);
        if (n >= 2) {
            TAesBlock data{};
            std::copy_n(frame.begin() + 8, 16, data.begin());
            TAesBlock iv = s.LastMac;
            InvertBytes(iv.data(), static_cast<int>(iv.size()));
            AesCbcDecrypt(s.SEnc.data(), data.data(), data.size(), iv);
            EXPECT_EQ(data, plain[n - 2]) << "frame " << n + 1;
        }
        s.LastMac = ComputeMac(frame.data(), frame.size() - 6, s);
        EXPECT_EQ(s.LastMac, Arr(frames[n].FullMac)) << "frame " << n + 1;
    }
}

TEST(MacChain, PaddingAndKeyPerBlock) {
    TSecureSession s;
    s.SMac1 = Arr("000102030405060708090A0B0C0D0E0F");
    s.SMac2 = Arr("F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF");
    s.LastMac = Arr("5A5A5A5A000000001111111122222222");
    const auto data = Bytes("101112131415161718191A1B1C1D1E1F 202122232425262728292A2B2C2D2E2F 30");

    // 8 bytes: one short block under S-MAC2 only.
    TAesBlock expected = s.LastMac;
    MacStep(s.SMac2, "1011121314151617 80", expected);
    EXPECT_EQ(ComputeMac(data.data(), 8, s), expected);

    // Exactly one block: still the last block, so S-MAC2 and no 0x80 block after it.
    expected = s.LastMac;
    MacStep(s.SMac2, "101112131415161718191A1B1C1D1E1F", expected);
    EXPECT_EQ(ComputeMac(data.data(), 16, s), expected);

    // 17 bytes: a whole block under S-MAC1, then one byte padded under S-MAC2.
    expected = s.LastMac;
    MacStep(s.SMac1, "101112131415161718191A1B1C1D1E1F", expected);
    MacStep(s.SMac2, "20 80", expected);
    EXPECT_EQ(ComputeMac(data.data(), 17, s), expected);

    // 32 bytes: S-MAC1 then S-MAC2, no padding block.
    expected = s.LastMac;
    MacStep(s.SMac1, "101112131415161718191A1B1C1D1E1F", expected);
    MacStep(s.SMac2, "202122232425262728292A2B2C2D2E2F", expected);
    EXPECT_EQ(ComputeMac(data.data(), 32, s), expected);

    // Nothing at all: one padding block, and no read through the pointer.
    expected = s.LastMac;
    MacStep(s.SMac2, "80", expected);
    EXPECT_EQ(ComputeMac(nullptr, 0, s), expected);
}
