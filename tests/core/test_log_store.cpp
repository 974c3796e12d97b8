// The log's line store and its search, across the blocks it keeps its text in.

#include "log/log_store.h"

#include <gtest/gtest.h>

#include <string>

using namespace quintrel;

namespace {

// Enough lines of about 100 bytes to fill several 1 MiB blocks.
void Fill(TLogStore& store, std::size_t lines) {
    for (std::size_t i = 0; i < lines; ++i)
        store.Append("12:00:00:000 < addr=3: RES_ID(MANUF=7C4E15, SERNO=" + std::to_string(i) +
                     (i % 1000 == 999 ? ") Needle" : ")") + std::string(40, '.'));
}

} // namespace

TEST(LogStore, KeepsLinesWholeAcrossBlocksAndClears) {
    TLogStore store;
    Fill(store, 40000); // about 4 MiB: the lines go on in further blocks
    ASSERT_EQ(store.Count(), 40000u);
    EXPECT_GT(store.MemoryBytes(), 3 * TLogStore::BlockSize);
    for (const std::size_t i : {0u, 9999u, 10480u, 39999u})
        EXPECT_TRUE(store.Line(i).find("SERNO=" + std::to_string(i) + ")") != std::string::npos)
            << i;
    EXPECT_EQ(store.Line(40000), ""); // past the end: nothing, never a read outside

    store.Append("a\nb"); // a line feed would split the line
    store.Append(std::string(TLogStore::MaxLineBytes + 10, 'x'));
    EXPECT_EQ(store.Line(40000), "a b");
    EXPECT_EQ(store.Line(40001).size(), TLogStore::MaxLineBytes);
    EXPECT_EQ(store.LongestLine(), TLogStore::MaxLineBytes);

    store.Clear();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.MemoryBytes(), 0u);
    store.Append("again");
    EXPECT_EQ(store.Line(0), "again");
}

TEST(LogStore, FindsForwardBackwardAndWraps) {
    TLogStore store;
    Fill(store, 40000); // "Needle" ends every thousandth line: 999, 1999, ... 39999
    const auto needleAt = [&](std::size_t line) {
        return TLogPosition{line, store.Line(line).find("Needle")};
    };
    struct TCase {
        const char* Name;
        TLogPosition From;
        bool Forward;
        bool Wrap;
        bool Found;
        std::size_t Line;
    };
    const TCase cases[] = {
        {"first from the top", {0, 0}, true, false, true, 999},
        {"on from a hit", {1999, needleAt(1999).Offset + 1}, true, false, true, 2999},
        {"at a hit finds it", needleAt(1999), true, false, true, 1999},
        {"nothing after the last", {39999, needleAt(39999).Offset + 1}, true, false, false, 0},
        {"forward wraps to the first", {39999, needleAt(39999).Offset + 1}, true, true, true, 999},
        {"back from a hit", needleAt(20999), false, false, true, 19999},
        {"back across a block", {10500, 0}, false, false, true, 9999},
        {"nothing before the first", needleAt(999), false, false, false, 0},
        {"backward wraps to the last", needleAt(999), false, true, true, 39999},
    };
    for (const TCase& c : cases) {
        TLogPosition hit;
        const bool found = store.Find("needle", false, c.From, c.Forward, c.Wrap, hit);
        EXPECT_EQ(found, c.Found) << c.Name;
        if (found && c.Found) {
            EXPECT_EQ(hit, needleAt(c.Line)) << c.Name;
        }
    }
    // A match at the very start of a line belongs to that line, not the one before.
    TLogPosition hit;
    for (const std::size_t line : {1u, 10480u, 20000u}) {
        const std::string start(store.Line(line).substr(0, 60));
        ASSERT_TRUE(store.Find(start, true, {}, true, false, hit));
        EXPECT_EQ(hit, (TLogPosition{line, 0})) << start;
    }
    EXPECT_FALSE(store.Find("needle", true, {}, true, true, hit)); // case matched: "Needle" only
    EXPECT_TRUE(store.Find("Needle", true, {}, true, true, hit));
    EXPECT_FALSE(store.Find("", false, {}, true, true, hit));
    EXPECT_FALSE(store.Find(")\n", false, {}, true, true, hit)); // never across lines

    std::size_t before = 0;
    EXPECT_EQ(store.CountMatches("NEEDLE", false, needleAt(2999), &before), 40u);
    EXPECT_EQ(before, 2u);
    // Matches do not overlap: "aaa" holds one "aa".
    TLogStore small;
    small.Append("aaa");
    EXPECT_EQ(small.CountMatches("aa", true, {}, nullptr), 1u);
    EXPECT_TRUE(small.Find("aa", true, {0, 1}, true, true, hit));
    EXPECT_EQ(hit, (TLogPosition{0, 0})); // wrapped: the only match
}
