// The simulator's faults by name, as the programs' command lines give them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/fault_names.h"

namespace varnel {
namespace {

using ::testing::HasSubstr;

TEST(FaultNamesTest, EachNameSetsItsFaultOnItsPort) {
    std::vector<HandsetFaults> ports(3);
    std::string error;
    for (const char* text : {"0:wrong-chunk-sum=7", "0:short-reply=1", "0:missing-reply=2",
                             "0:stall=3", "1:disconnect-after=5000000000", "1:flash-fail=0",
                             "1:flash-no-ack=1", "1:flash-wrong-echo=2", "2:wrong-check-word=4",
                             "2:missing-check-word=3", "2:refuse-handshake=2",
                             "2:slow-reattach=1500", "2:never-reattach", "2:slow=1021:12000"}) {
        ASSERT_TRUE(ApplyPortFault(text, ports, error)) << text << ": " << error;
    }
    EXPECT_EQ(ports[0].wrongChunkSumAt, 7u);
    EXPECT_EQ(ports[0].shortReplyAt, 1u);
    EXPECT_EQ(ports[0].missingReplyAt, 2u);
    EXPECT_EQ(ports[0].stallAt, 3u);
    EXPECT_EQ(ports[1].disconnectAfterBytes, 5000000000u);
    EXPECT_EQ(ports[1].flashFailAt, 0u);
    EXPECT_EQ(ports[1].flashNoAckAt, 1u);
    EXPECT_EQ(ports[1].flashWrongEchoAt, 2u);
    EXPECT_EQ(ports[2].wrongCheckWordAt, 4u);
    EXPECT_EQ(ports[2].missingCheckWordAt, 3u);
    EXPECT_EQ(ports[2].refuseHandshakes, 2u);
    EXPECT_EQ(ports[2].reattachDelayMs, 1500u);
    EXPECT_TRUE(ports[2].neverReattach);
    ASSERT_TRUE(ports[2].slowReply.has_value());
    EXPECT_EQ(ports[2].slowReply->code, 1021u);
    EXPECT_EQ(ports[2].slowReply->delayMs, 12000u);
    EXPECT_FALSE(ports[0].neverReattach);
    EXPECT_FALSE(ports[1].stallAt.has_value());
}

TEST(FaultNamesTest, BadTextsAreRefusedWithTheReason) {
    std::vector<HandsetFaults> ports(2);
    std::string error;
    const std::pair<const char*, const char*> cases[] = {
        {"2:stall=1", "port below 2"},
        {"x:stall=1", "is not PORT:FAULT"},
        {"stall=1", "is not PORT:FAULT"},
        {":stall=1", "is not PORT:FAULT"},
        {"0:stall", "needs a count: stall=N"},
        {"0:stall=", "needs a count"},
        {"0:stall=-1", "needs a count"},
        {"0:stall=1x", "needs a count"},
        {"0:refuse-handshake=4294967296", "needs a count"},
        {"0:never-reattach=1", "takes no count"},
        {"0:Stall=1", "unknown fault 'Stall'"},
        {"0:slow=1021", "needs slow=CODE:MS"},
        {"0:slow=1021:", "needs slow=CODE:MS"},
        {"0:slow=x:5", "needs slow=CODE:MS"},
    };
    for (const auto& [text, reason] : cases) {
        EXPECT_FALSE(ApplyPortFault(text, ports, error)) << text;
        EXPECT_THAT(error, HasSubstr(reason)) << text;
    }
    EXPECT_FALSE(ports[0].stallAt.has_value());
    EXPECT_THAT(FaultNamesHelp(), HasSubstr("  wrong-chunk-sum=N     answer RAM chunk N"));
}

}  // namespace
}  // namespace varnel
