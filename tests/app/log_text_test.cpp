#include "app/log_text.h"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(LogTextTest, Utf8StaysKoreanCodePageIsDecodedAndStrayBytesStayVisible) {
    EXPECT_EQ(LogTextToUtf8("[PDA:0] OS \xED\x95\x9C\r\n"), "[PDA:0] OS \xED\x95\x9C\r\n");
    EXPECT_EQ(LogTextToUtf8("SalesCode:[\xC7\xD1\xB1\xB9]"),
              "SalesCode:[\xED\x95\x9C\xEA\xB5\xAD]");
    EXPECT_EQ(LogTextToUtf8("a\xFF"
                            "b\xC7"),
              "a\\xFFb\\xC7");
}

}  // namespace
}  // namespace varnel
