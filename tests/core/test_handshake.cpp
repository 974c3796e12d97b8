// The secure-channel composers: prompts, records and the bytes they write.
// Reference values from vectors/secure_channel.md (computed independently with
// python3-cryptography).

#include "crypto/handshake.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

namespace {

template <std::size_t N> std::array<std::uint8_t, N> Array(const std::string& hex) {
    std::array<std::uint8_t, N> a{};
    const auto v = Bytes(hex);
    std::copy_n(v.begin(), N, a.begin());
    return a;
}

struct Handshake : ::testing::Test {
    TSecureSession session;
    TKeyOptions options;
    std::array<std::uint8_t, 64> payload{};
    std::uint8_t* cursor = payload.data();
    TSecurityHeader header;
    std::vector<std::pair<std::string, std::string>> asked; // prompt, default text
    std::vector<std::optional<std::string>> answers;

    TKeyPrompt Prompt() {
        return [this](const std::string& p, const std::string& d) -> std::optional<std::string> {
            asked.emplace_back(p, d);
            if (answers.empty()) return std::nullopt;
            auto a = answers.front();
            answers.erase(answers.begin());
            return a;
        };
    }
    static std::uint8_t Counter() {
        static std::uint8_t next = 0xA0;
        return next++;
    }
    std::size_t Written() const { return static_cast<std::size_t>(cursor - payload.data()); }

    void ReferenceDeviceAnswer() {
        session.RndA = Array<8>("A0 A1 A2 A3 A4 A5 A6 A7");
        session.RndB = Array<8>("B0 B1 B2 B3 B4 B5 B6 B7");
        session.Cuid = Array<8>("7C 4E 15 09 12 34 56 78");
        session.ClientCryptogram = Array<16>("E0 BB EF 5E 8F 7B 56 2A F7 C0 FE 04 39 DA F9 51");
        session.State = ssCryptReceived;
    }
};

} // namespace

TEST_F(Handshake, ChallengeWithDefaultKeyAsksNothing) {
    session.State = ssEstablished;
    session.SEnc.fill(0x55);
    ASSERT_TRUE(BuildChallenge(cursor, header, session, options, Prompt(), Counter));
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(session.State, ssChallengeSent);
    EXPECT_EQ(session.SEnc, TAesKey{}); // an open session is dropped at once
    EXPECT_EQ(header.Length, 3);
    EXPECT_EQ(header.Type, 0x11);
    EXPECT_EQ(header.Data, 0x00);
    EXPECT_EQ(Written(), 8u);
    EXPECT_EQ(Hex(payload.data(), 8), Hex(session.RndA.data(), 8));
}

TEST_F(Handshake, MasterkeyPromptRemembersTheLastKeyTyped) {
    options.UseScbkD = false;
    answers = {std::string("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")};
    ASSERT_TRUE(BuildChallenge(cursor, header, session, options, Prompt(), Counter));
    EXPECT_EQ(header.Data, 0x01);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].first, "Masterkey: ");
    EXPECT_EQ(asked[0].second, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    cursor = payload.data();
    EXPECT_FALSE(BuildChallenge(cursor, header, session, options, Prompt(), Counter)); // cancelled
    EXPECT_EQ(asked[1].second, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
    EXPECT_EQ(session.State, ssChallengeSent);
    EXPECT_EQ(Written(), 0u);
}

TEST_F(Handshake, ScbkPromptRefusesAnythingButSixteenBytes) {
    options.UseScbkD = false;
    options.DiversifyMasterkey = false;
    answers = {std::string("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE"),
               std::string("00112233445566778899AABBCCDDEEFF00")};
    EXPECT_FALSE(BuildChallenge(cursor, header, session, options, Prompt(), Counter));
    EXPECT_FALSE(BuildChallenge(cursor, header, session, options, Prompt(), Counter));
    EXPECT_EQ(asked[0].first, "SCBK: ");
    EXPECT_EQ(Written(), 0u);
    answers = {std::string("0x000x110x220x330x440x550x660x770x880x990xAA0xBB0xCC0xDD0xEE0xFF")};
    ASSERT_TRUE(BuildChallenge(cursor, header, session, options, Prompt(), Counter));
    EXPECT_EQ(Hex(session.Scbk.data(), 16), "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
}

// A typed key is 32 hex digits or it is refused, and the refusal says what is wrong.
TEST(KeyEntry, SaysWhatIsWrong) {
    const std::string key = "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
    const std::string size = "; a key is 32 hex digits (16 bytes)";
    const struct {
        std::string Typed;
        std::string Error; // empty: the key above
    } cases[] = {
        {key, ""},
        {"0x000x110x220x330x440x550x660x770x880x990xAA0xBB0xCC0xDD0xEE0xFF", ""},
        {"0011 2233 4455 6677 8899 aabb ccdd eeff", ""},
        {key.substr(0, key.size() - 1), "Error: the key has 31 hex digits" + size}, // not F0
        {key + "0", "Error: the key has 33 hex digits" + size},
        {"0", "Error: the key has 1 hex digit" + size},
        {"", "Error: no key was typed" + size},
        {"   ", "Error: no key was typed" + size},
        {"00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE GF",
         "Error: \"G\" is not a hexadecimal digit" + size},
        {"00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE F\xC3\xA9",
         "Error: \"\xC3\xA9\" is not a hexadecimal digit" + size},
        {"\t" + key, "Error: character 09 is not a hexadecimal digit" + size},
        {"00,11", "Error: \",\" is not a hexadecimal digit" + size},
        {"0X000X11", "Error: \"X\" is not a hexadecimal digit" + size},
    };
    for (const auto& c : cases) {
        const TKeyEntry entry = ReadKey(c.Typed);
        EXPECT_EQ(entry.Error, c.Error) << c.Typed;
        EXPECT_EQ(entry.Key.has_value(), c.Error.empty()) << c.Typed;
        if (entry.Key) {
            EXPECT_EQ(Hex(entry.Key->data(), 16), key);
        }
    }
}

// The composers pass the reason on, and keep the key they had; a cancel has no reason.
TEST_F(Handshake, KeyPromptsGiveTheReason) {
    options.DiversifyMasterkey = false;
    session.Scbk.fill(0x42);
    std::string error;
    answers = {std::string("zz")};
    EXPECT_FALSE(BuildKeySet(cursor, session, options, Prompt(), &error));
    EXPECT_EQ(error, "Error: \"z\" is not a hexadecimal digit; a key is 32 hex digits (16 bytes)");
    EXPECT_EQ(session.Scbk[15], 0x42);
    EXPECT_FALSE(BuildKeySet(cursor, session, options, Prompt(), &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(Written(), 0u);
}

TEST_F(Handshake, ServerCryptogramFromReferenceExchange) {
    ReferenceDeviceAnswer();
    ASSERT_TRUE(BuildServerCryptogram(cursor, header, session, options));
    EXPECT_EQ(session.State, ssScryptSent);
    EXPECT_EQ(header.Type, 0x13);
    EXPECT_EQ(Hex(payload.data(), Written()), "50 09 A1 BC D7 2E B6 FD BF 6E A0 96 38 67 50 CB");
    EXPECT_EQ(Hex(session.SMac2.data(), 16), "4E 39 35 7F BF 0F CA 81 76 D9 E5 71 56 3A 56 A2");
}

TEST_F(Handshake, WrongKeyClearsTheRecordAndWritesNothing) {
    ReferenceDeviceAnswer();
    options.UseScbkD = false;
    options.DiversifyMasterkey = false;
    session.Scbk.fill(0x42);
    EXPECT_FALSE(BuildServerCryptogram(cursor, header, session, options));
    EXPECT_EQ(Written(), 0u);
    EXPECT_EQ(session.State, ssNone);
    EXPECT_EQ(session.Cuid, TRnd{});
}

TEST_F(Handshake, DiversifiedKeyComesFromTheDevicesCuid) {
    options.UseScbkD = false;
    options.Masterkey = Array<16>("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
    ReferenceDeviceAnswer();
    EXPECT_FALSE(BuildServerCryptogram(cursor, header, session, options)); // device used SCBK-D

    // A device holding the key diversified from the same master key and its cUID.
    ReferenceDeviceAnswer();
    TSecureSession device = session;
    DeriveSessionKeys(device, Array<16>("26 AB A1 E0 00 D7 25 33 AF 6F AD 59 44 32 5E 8D"));
    session.ClientCryptogram = ExpectedClientCryptogram(device);
    ASSERT_TRUE(BuildServerCryptogram(cursor, header, session, options));
    EXPECT_EQ(header.Data, 0x01);
    EXPECT_EQ(Hex(session.Scbk.data(), 16), "26 AB A1 E0 00 D7 25 33 AF 6F AD 59 44 32 5E 8D");
}

TEST_F(Handshake, KeySetReplacesOnlyTheBaseKey) {
    options.DiversifyMasterkey = false;
    session.State = ssEstablished;
    session.SEnc.fill(0x11);
    answers = {std::string("0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00")};
    ASSERT_TRUE(BuildKeySet(cursor, session, options, Prompt()));
    EXPECT_EQ(Hex(payload.data(), Written()),
              "01 10 0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00");
    EXPECT_EQ(session.State, ssEstablished);
    EXPECT_EQ(session.SEnc[0], 0x11);
    // The next key set offers the key just sent.
    cursor = payload.data();
    EXPECT_FALSE(BuildKeySet(cursor, session, options, Prompt()));
    EXPECT_EQ(asked.back().second, "0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00");
    EXPECT_EQ(Written(), 0u);
}
