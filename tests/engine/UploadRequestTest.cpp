#include "engine/UploadRequest.h"

#include <gtest/gtest.h>

using namespace engine;

TEST(UploadRequest, CountsAreWholeNonNegativeDecimals) {
    EXPECT_EQ(ParseCount("0"), 0);
    EXPECT_EQ(ParseCount("9223372036854775807"), INT64_MAX);
    for (const char* refused : {"", "-1", "+1", " 1", "1 ", "1a", "0x10", "9223372036854775808",
                                "18446744073709551615"}) {
        EXPECT_EQ(ParseCount(refused), std::nullopt) << refused;
    }
}

TEST(UploadRequest, IdsAreDecodedThenChecked) {
    EXPECT_EQ(ParseUploadId("abc_DEF-09"), "abc_DEF-09");
    EXPECT_EQ(ParseUploadId("ab%63"), "abc");
    EXPECT_EQ(ParseUploadId(std::string(64, 'a')), std::string(64, 'a'));
    for (const char* refused : {"", "a b", "a+b", "a%2Fb", "a/b", "%zz", "caf%C3%A9", "a.b"}) {
        EXPECT_EQ(ParseUploadId(refused), std::nullopt) << refused;
    }
    EXPECT_EQ(ParseUploadId(std::string(65, 'a')), std::nullopt);
    EXPECT_EQ(ParseUploadId(std::nullopt), std::nullopt);
}

TEST(UploadRequest, ChunkParameters) {
    const auto chunk = ParseChunkParameters("holiday%20clip+1.mp4", "100", "0");
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->name, "holiday clip 1.mp4");
    EXPECT_EQ(chunk->size, 100);
    EXPECT_EQ(chunk->offset, 0);
    // An encoded NUL in the name becomes a control character for the cleaner.
    EXPECT_EQ(ParseChunkParameters("con%00trol.txt", "1", "0")->name, "con\x01trol.txt");
    EXPECT_EQ(ParseChunkParameters("%2500", "1", "0")->name, "%00");
    EXPECT_FALSE(ParseChunkParameters(std::nullopt, "1", "0"));
    EXPECT_FALSE(ParseChunkParameters("a", std::nullopt, "0"));
    EXPECT_FALSE(ParseChunkParameters("a", "1", std::nullopt));
    EXPECT_FALSE(ParseChunkParameters("a%zz", "1", "0"));
    EXPECT_FALSE(ParseChunkParameters("a", "-1", "0"));
    EXPECT_FALSE(ParseChunkParameters("a", "1", "+0"));
    EXPECT_EQ(ParseChunkParameters("a", "%31", "0")->size, 1);
}
