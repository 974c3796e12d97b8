// The passive follower of secure sessions: captures written by another tool, and a reference
// exchange whose values come from vectors/secure_channel.md in the project's shared reference
// material (computed independently with python3-cryptography, cross-checked by a second
// implementation); the values are copied here.

#include "capture/capture_format.h"
#include "capture/session_follower.h"
#include "osdp/bytes.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <fstream>
#include <random>

using namespace quintrel;
using quintrel::test::Bytes;
using quintrel::test::Hex;

namespace {

using TFrames = std::vector<std::vector<std::uint8_t>>;

bool CheckBytesHold(const std::vector<std::uint8_t>& f) {
    if (f.size() < 8) return false;
    if (!(f[4] & 0x04)) return CalcChecksum(f.data(), f.size()) == 0;
    const std::uint16_t crc = CalcCrc16(f.data(), f.size() - 2);
    return f[f.size() - 2] == (crc & 0xFF) && f[f.size() - 1] == (crc >> 8);
}

void SetCheckBytes(std::vector<std::uint8_t>& f) {
    f[2] = static_cast<std::uint8_t>(f.size());
    f[3] = static_cast<std::uint8_t>(f.size() >> 8);
    const std::uint16_t crc = CalcCrc16(f.data(), f.size() - 2);
    f[f.size() - 2] = static_cast<std::uint8_t>(crc);
    f[f.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
}

// The frames of a capture whose check bytes hold, without their mark bytes.
TFrames Capture(const char* name) {
    std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "../data/captures" / name);
    TFrames frames;
    std::string line, error;
    while (std::getline(in, line)) {
        TCaptureRecord r;
        if (!ParseCaptureLine(line, r, error)) continue;
        const auto start =
            std::find_if(r.Data.begin(), r.Data.end(), [](auto b) { return b != 0xFF; });
        std::vector<std::uint8_t> f(start, r.Data.end());
        if (CheckBytesHold(f)) frames.push_back(std::move(f));
    }
    return frames;
}

std::vector<TFollowed> FollowAll(const TFrames& frames, TFollowerKeys keys = {}) {
    TSessionFollower follower(std::move(keys));
    std::vector<TFollowed> out;
    for (const auto& f : frames)
        out.push_back(follower.Follow(f.data(), f.size()));
    return out;
}

std::vector<std::string> Notes(const std::vector<TFollowed>& followed) {
    std::vector<std::string> notes;
    for (const TFollowed& f : followed)
        notes.insert(notes.end(), f.Notes.begin(), f.Notes.end());
    return notes;
}

TAesKey Key(const std::string& hex) {
    TAesKey k{};
    const auto b = Bytes(hex);
    std::copy_n(b.begin(), 16, k.begin());
    return k;
}

const std::string kOpenedDefault = "Secure channel with 0 opened (default key)";
const std::string kUnknown = "Secure channel with 0: key unknown, frames not read";
const std::string kMacDiffers = "Secure channel with 0: MAC differs, frames not read";
const std::string kWentOn = "Secure channel with 0: the panel went on without the last reply";
const std::string kPlainReply = "Secure channel with 0 ended (plain reply)";
const TAesKey kNewKey = Key("00112233445566778899AABBCCDDEEFF");

} // namespace

TEST(SessionFollower, ReadsEveryProtectedFrameOfBothCapturedSessionsWithTheDefaultKey) {
    const TFrames frames = Capture("reader-side-secure.osdpcap");
    ASSERT_GT(frames.size(), 1800u);
    const std::vector<TFollowed> followed = FollowAll(frames);
    int protectedFrames = 0;
    for (const TFollowed& f : followed) {
        protectedFrames += f.Protected;
        EXPECT_EQ(f.Read, f.Protected);
    }
    EXPECT_GT(protectedFrames, 1000);
    // The panel polls in plain inside the first session; after the second session's COMSET
    // it starts its count again at sequence 0 (its chain goes on from its own commands) while
    // the reader, restarted by that 0, answers in plain: each said once, no reply called lost.
    const std::vector<std::string> expected = {
        kOpenedDefault,
        "Secure channel with 0: the panel sent POLL plain inside the session",
        kPlainReply,
        "Secure channel with 0 opened (key from osdp_KEYSET)",
        "Secure channel with 0: the panel restarted its count (sequence 0) inside the session",
        kPlainReply};
    EXPECT_EQ(Notes(followed), expected);

    // What was read makes sense: the new key, and the identity read in secure and in plain.
    std::vector<std::string> keySets, identities;
    for (const TFollowed& f : followed) {
        if (f.Read && f.Code == 0x75 && !f.Reply) keySets.push_back(Hex(f.Data));
        if (f.Read && f.Code == 0x45 && f.Reply) identities.push_back(Hex(f.Data));
    }
    EXPECT_EQ(keySets,
              std::vector<std::string>{"01 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"});
    ASSERT_EQ(identities.size(), 2u); // one in each session; the plain one is not read here
    EXPECT_EQ(identities[0], "0A 00 17 03 00 CA FE DE ED 01 6F 00");
    EXPECT_EQ(identities[1], identities[0]);
    const auto plainId = std::find_if(frames.rbegin(), frames.rend(),
                                      [](const auto& f) { return f[1] == 0x80 && f[5] == 0x45; });
    ASSERT_NE(plainId, frames.rend());
    EXPECT_EQ(Hex(plainId->data() + 6, 12), identities[0]);
}

TEST(SessionFollower, PlainTrafficGivesNoNotesAndNothingProtected) {
    for (const TFollowed& f : FollowAll(Capture("reader-side-plain.osdpcap"))) {
        EXPECT_FALSE(f.Protected);
        EXPECT_TRUE(f.Notes.empty());
    }
}

// What each choice of keys, or a damaged frame, makes of the captured sessions: the first
// session runs up to frame 1424, where the panel went on in plain; the second starts later.
TEST(SessionFollower, WrongKeysAndDamageGiveNotesAndHexNeverAWrongReading) {
    struct TCase {
        const char* Name;
        TFollowerKeys Keys;
        bool Damaged; // one byte of the LED command's encrypted data flipped, check bytes made good
        std::vector<std::string> FirstNotes;
        bool FirstRead, SecondRead; // the first session is read up to the damage
    };
    const TAesKey wrong = Key("30313233343536373839303132333435");
    const TAesKey master = Key("000102030405060708090A0B0C0D0E0F");
    const std::string typed = "Secure channel with 0 opened (typed SCBK)";
    // clang-format off
    const TCase cases[] = {
        {"typed key of the second session only", {false, kNewKey, {}}, false, {kUnknown, typed}, false, true},
        {"wrong typed key", {false, wrong, {}}, false, {kUnknown, kUnknown}, false, false},
        {"master key that does not fit", {false, {}, master}, false, {kUnknown, kUnknown}, false, false},
        // The KEYSET after the damage is never read, so the second session's key is unknown.
        {"flipped byte", {}, true, {kOpenedDefault, kMacDiffers, kUnknown}, true, false},
    };
    // clang-format on
    const TFrames frames = Capture("reader-side-secure.osdpcap");
    ASSERT_EQ(Hex(frames[1424]), "53 00 08 00 04 60 EB AA");
    const auto led = std::find_if(frames.begin(), frames.end(),
                                  [](const auto& f) { return f[1] == 0x00 && f[7] == 0x69; });
    ASSERT_NE(led, frames.end());
    const auto ledIndex = static_cast<std::size_t>(led - frames.begin());
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFrames input = frames;
        if (c.Damaged) {
            input[ledIndex][12] ^= 0x01;
            SetCheckBytes(input[ledIndex]);
        }
        const std::vector<TFollowed> followed = FollowAll(input, c.Keys);
        std::vector<std::string> notes = Notes(followed);
        notes.resize(std::min(notes.size(), c.FirstNotes.size()));
        EXPECT_EQ(notes, c.FirstNotes);
        const std::size_t damage = c.Damaged ? ledIndex : 1424;
        for (std::size_t i = 0; i < followed.size(); ++i) {
            if (!followed[i].Protected) continue;
            ASSERT_EQ(followed[i].Read, i < 1424 ? c.FirstRead && i < damage : c.SecondRead)
                << "frame " << i;
        }
    }
}

namespace {

// The reference exchange: its handshake on a key (with SCBK-D it carries the reference
// cryptograms and initial MAC, checked below) and its four protected frames as given.
const TRnd kRndA{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
const TRnd kRndB{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
const TRnd kCuid{0x7C, 0x4E, 0x15, 0x09, 0x12, 0x34, 0x56, 0x78};

std::vector<std::uint8_t> Frame(const std::string& head, const std::uint8_t* data = nullptr,
                                std::size_t length = 0) {
    std::vector<std::uint8_t> f = Bytes(head);
    f.insert(f.end(), data, data + length);
    f.resize(f.size() + 2);
    SetCheckBytes(f);
    return f;
}

TFrames Handshake(const TAesKey& key, std::uint8_t address = 0) {
    TSecureSession s;
    s.RndA = kRndA;
    s.RndB = kRndB;
    DeriveSessionKeys(s, key);
    const TAesBlock client = ExpectedClientCryptogram(s);
    s.ServerCryptogram = ComputeServerCryptogram(s);
    const TAesBlock rmac = ComputeInitialRmac(s);
    std::vector<std::uint8_t> ccrypt(kCuid.begin(), kCuid.end());
    ccrypt.insert(ccrypt.end(), kRndB.begin(), kRndB.end());
    ccrypt.insert(ccrypt.end(), client.begin(), client.end());
    const std::string to = Hex(&address, 1);
    const std::uint8_t replyAddress = address | 0x80;
    const std::string from = Hex(&replyAddress, 1);
    return {Frame("53 " + to + " 00 00 0C 03 11 00 76", kRndA.data(), 8),
            Frame("53 " + from + " 00 00 0C 03 12 00 76", ccrypt.data(), 32),
            Frame("53 " + to + " 00 00 0D 03 13 00 77", s.ServerCryptogram.data(), 16),
            Frame("53 " + from + " 00 00 0D 03 14 01 78", rmac.data(), 16)};
}

const TFrames kProtected = {
    Bytes("53 00 0E 00 0D 02 15 60 61 D5 5F B8 9F 90"),
    Bytes("53 80 0E 00 0D 02 16 40 16 1C 3F 31 D4 7F"),
    Bytes("53 00 1E 00 0E 02 17 69 13 BF 46 0A 5A 87 9A 3E 79 42 A2 AE 1D 37 53 00 C8 0D E8 55 36 "
          "E4"),
    Bytes("53 80 1E 00 0E 02 18 45 07 4B F1 28 FB 18 47 20 CD E4 D0 93 5B 6D E9 A4 3F DD FF 54 C5 "
          "16"),
};

// A reply to frame 3 whose MAC holds but whose data cannot be right: 16 zero bytes that do
// not decrypt to padding, or 5 bytes that are no whole block. Its MAC is made here with the
// reference S-MAC1 and S-MAC2, chained from the whole MAC of frame 3.
std::vector<std::uint8_t> AnswerToFrame3(std::size_t length) {
    TSecureSession s;
    s.SMac1 = Key("DE FF 1E B0 5C C9 40 F1 B9 07 BD 07 83 25 9E 12");
    s.SMac2 = Key("4E 39 35 7F BF 0F CA 81 76 D9 E5 71 56 3A 56 A2");
    s.LastMac = Key("C8 0D E8 55 64 99 FF 6F 3D 01 F8 1C 76 71 9B D3");
    std::vector<std::uint8_t> f = Bytes("53 80 00 00 0E 02 18 45");
    f.resize(f.size() + length);
    f[2] = static_cast<std::uint8_t>(f.size() + 6); // with the MAC and the CRC
    const TAesBlock mac = ComputeMac(f.data(), f.size(), s);
    f.insert(f.end(), mac.begin(), mac.begin() + 4);
    f.resize(f.size() + 2);
    SetCheckBytes(f);
    return f;
}

// A script of frames: C K S M the handshake on SCBK-D, 1..4 the protected frames,
// D the handshake on the key diversified from master key 00..0F, c a challenge to address 1,
// b a broadcast poll, a a plain ACK with a checksum, r an initial MAC refused, and with one
// byte flipped: s the server cryptogram, x the code of frame 3, y the MAC of frame 4;
// p and q the answers to frame 3 above.
TFrames Script(const std::string& script) {
    const TFrames h = Handshake(ScbkD);
    TFrames out;
    for (const char c : script) {
        const auto at = std::string("CKSM").find(c);
        if (at != std::string::npos) out.push_back(h[at]);
        if (c >= '1' && c <= '4') out.push_back(kProtected[static_cast<std::size_t>(c - '1')]);
        if (c == 'c') out.push_back(Handshake(ScbkD, 1)[0]);
        if (c == 'b') out.push_back(Frame("53 7F 00 00 04 60"));
        if (c == 'D') {
            const TFrames d = Handshake(Key("26 AB A1 E0 00 D7 25 33 AF 6F AD 59 44 32 5E 8D"));
            out.insert(out.end(), d.begin(), d.end());
        }
        if (c == 'p' || c == 'q') out.push_back(AnswerToFrame3(c == 'p' ? 16 : 5));
        if (c == 'a') {
            out.push_back(Bytes("53 80 07 00 01 40 00"));
            out.back()[6] = CalcChecksum(out.back().data(), 6);
        }
        const std::string flips = "rsxy";
        if (flips.find(c) != std::string::npos) {
            const std::size_t i = flips.find(c);
            out.push_back(i < 2 ? h[3 - i] : kProtected[i]);
            out.back()[i == 0 ? 7 : i == 1 ? 12 : i == 2 ? 7 : 25] ^= i == 0 ? 0xFE : 0x01;
            SetCheckBytes(out.back());
        }
    }
    return out;
}

} // namespace

TEST(SessionFollower, ReferenceExchangeReadsInFull) {
    const TFrames h = Handshake(ScbkD);
    EXPECT_NE(Hex(h[1]).find("E0 BB EF 5E 8F 7B 56 2A F7 C0 FE 04 39 DA F9 51"), std::string::npos);
    EXPECT_NE(Hex(h[2]).find("50 09 A1 BC D7 2E B6 FD BF 6E A0 96 38 67 50 CB"), std::string::npos);
    EXPECT_NE(Hex(h[3]).find("50 08 2A 57 F1 1A BA 6D DC 35 49 FC 9D 91 1C BF"), std::string::npos);
    const std::vector<TFollowed> f = FollowAll(Script("CKSM1234"));
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[3].Notes, std::vector<std::string>{kOpenedDefault});
    EXPECT_TRUE(f[4].Read && f[4].Code == 0x60 && f[4].Data.empty() && f[4].ScbType == 0x15);
    EXPECT_TRUE(f[5].Read && f[5].Code == 0x40 && f[5].Data.empty() && f[5].Reply);
    EXPECT_EQ(Hex(f[6].Data), "00 00 02 01 01 02 00 0A 00 00 00 00 01 01");
    EXPECT_EQ(Hex(f[7].Data), "7C 4E 15 09 01 78 56 34 12 01 02 03");
}

TEST(SessionFollower, HandshakesAndChainsOfEveryShape) {
    const std::string hex = "Secure channel with 0: handshake not seen, frames not read";
    const std::string cut = "Secure channel with 0: handshake not complete, frames not read";
    struct TCase {
        const char* Script;
        TFollowerKeys Keys;
        const char* Read; // one digit a protected frame
        std::vector<std::string> Notes;
    };
    // clang-format off
    const TCase cases[] = {
        {"CKSM11234", {}, "11111", {kOpenedDefault}},          // a command sent again unchanged
        {"CKSM1c234", {}, "1111", {kOpenedDefault}},           // another device's challenge
        {"CKSM134", {}, "100", {kOpenedDefault, kMacDiffers}}, // a reply the capture lost
        {"CKSM2", {}, "0", {kOpenedDefault, kMacDiffers}},     // a reply to no command
        {"CKSM12x4", {}, "1100", {kOpenedDefault, kMacDiffers}},
        {"CKSM123y", {}, "1110", {kOpenedDefault, kMacDiffers}},
        {"CKSM1a3", {}, "10", {kOpenedDefault, kPlainReply, kMacDiffers}},
        {"CKSM123p", {}, "1110", {kOpenedDefault, "Secure channel with 0: decrypted data without its padding"}},
        {"CKSM123q", {}, "1110", {kOpenedDefault, "Secure channel with 0: encrypted data of 5 bytes is no whole number of blocks"}},
        {"1234", {}, "0000", {hex}},
        {"CK12", {}, "00", {cut}},
        // Refused, and then used by both ends all the same; or refused indeed.
        {"CKSr12", {}, "11", {"Secure channel with 0: the reader refused the cryptogram (0xFF); the session was used anyway"}},
        {"CKSr2", {}, "0", {"Secure channel with 0 not opened (refused by the device)"}},
        {"CKSrCKSM1", {}, "1", {"Secure channel with 0 not opened (refused by the device)", kOpenedDefault}},
        {"CKsM12", {}, "00", {"Secure channel with 0 not opened (server cryptogram differs)"}},
        {"CKSM1C2", {}, "10", {kOpenedDefault, "Secure channel with 0 ended (new challenge)", cut}},
        {"CKSM1b2", {}, "10", {kOpenedDefault, "Secure channel with 0 ended (broadcast)", hex}},
        {"CKSM12", {false, {}, {}}, "00", {kUnknown}},
        {"CKSM12", {false, ScbkD, {}}, "11", {"Secure channel with 0 opened (typed SCBK)"}},
        {"D", {false, {}, Key("000102030405060708090A0B0C0D0E0F")}, "", {"Secure channel with 0 opened (master key)"}},
    };
    // clang-format on
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Script);
        const std::vector<TFollowed> followed = FollowAll(Script(c.Script), c.Keys);
        std::string read;
        for (const TFollowed& f : followed)
            if (f.Protected) read += f.Read ? '1' : '0';
        EXPECT_EQ(read, c.Read);
        EXPECT_EQ(Notes(followed), c.Notes);
    }
}

TEST(SessionFollower, ShortLongAndRandomFramesAreNeverRead) {
    // Each frame goes to a follower with a session open and the poll read, in a buffer sized
    // to the frame so that the sanitizers see any read past it.
    TSessionFollower open;
    for (const auto& f : Script("CKSM1"))
        open.Follow(f.data(), f.size());
    std::mt19937 random(7);
    TFrames input;
    for (const auto& f : kProtected)
        for (std::size_t n = 8; n < f.size() + 20; ++n)
            if (n != f.size()) {
                std::vector<std::uint8_t> g(f.begin(),
                                            f.begin() + static_cast<long>(std::min(n, f.size())));
                g.resize(n, static_cast<std::uint8_t>(random()));
                SetCheckBytes(g);
                input.push_back(g);
            }
    for (int i = 0; i < 3000; ++i) {
        std::vector<std::uint8_t> f(8 + random() % 60);
        for (auto& b : f)
            b = static_cast<std::uint8_t>(random());
        f[0] = 0x53;
        f[1] &= 0x80; // device 0 either way
        if (i % 2) {  // a protected frame of any type and length
            f[4] |= 0x08;
            f[5] = 2;
            f[6] = static_cast<std::uint8_t>(0x15 + i % 4);
        }
        SetCheckBytes(f);
        input.push_back(f);
    }
    for (const auto& f : input) {
        TSessionFollower follower = open;
        ASSERT_FALSE(follower.Follow(f.data(), f.size()).Read) << Hex(f);
    }
    EXPECT_FALSE(open.Follow(nullptr, 0).Read);
    EXPECT_FALSE(open.Follow(kProtected[1].data(), kProtected[1].size() - 1).Read);
    EXPECT_TRUE(open.Follow(kProtected[1].data(), kProtected[1].size()).Read);
}

// Keys given while a session is being read change nothing in it; and once the follower is
// gone, no byte of a key it was given or found is left in its memory.
TEST(SessionFollower, KeysChangeWithoutDroppingSessionsAndAreWipedAtTheEnd) {
    const TAesKey typed = Key("A5 5A A5 5A A5 5A A5 5A A5 5A A5 5A A5 5A A5 5A");
    TFollowerKeys keys;
    keys.Scbk = typed;
    auto storage = std::make_unique<unsigned char[]>(sizeof(TSessionFollower));
    auto* follower = new (storage.get()) TSessionFollower(keys);
    const TFrames frames = Script("CKSM1234");
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i == 6) {
            TFollowerKeys other;
            other.Master = Key("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
            follower->SetKeys(other); // without the default key, even
        }
        const TFollowed f = follower->Follow(frames[i].data(), frames[i].size());
        if (i >= 4) {
            EXPECT_TRUE(f.Read) << "frame " << i;
        }
    }
    // A session on the typed key, found and then given up with the follower.
    const TFrames own = Handshake(typed);
    follower->SetKeys(keys);
    for (const auto& f : own)
        follower->Follow(f.data(), f.size());
    follower->~TSessionFollower();
    const unsigned char* begin = storage.get();
    const unsigned char* end = begin + sizeof(TSessionFollower);
    EXPECT_EQ(std::search(begin, end, typed.begin(), typed.end()), end);
}
