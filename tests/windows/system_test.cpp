// The Windows system calls of the programs, under Wine.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace varnel {
namespace {

TEST(WindowsSystemTest, DecodesKoreanTextUpToTheFirstByteThatStartsNoCharacter) {
    std::string out;
    // "한국" in CP949, then a lone lead byte.
    EXPECT_EQ(DecodeCp949Prefix("a\xC7\xD1\xB1\xB9\xFF", out), 5u);
    EXPECT_EQ(out, "a\xED\x95\x9C\xEA\xB5\xAD");
}

TEST(WindowsSystemTest, ReplacesAFileWhole) {
    const std::string path = ::testing::TempDir() + "varnel-replace.txt";
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(path, "old", error)) << error;
    ASSERT_TRUE(WriteFileAtomically(path, "new text", error)) << error;
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "new text");
    file.close();
    std::remove(path.c_str());
    EXPECT_FALSE(WriteFileAtomically(::testing::TempDir() + "no-such-dir/x", "x", error));
}

}  // namespace
}  // namespace varnel
