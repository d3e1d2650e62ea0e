// The broker URL, and the line as varnel-line gathers it from the broker's messages.
#include <gtest/gtest.h>

#include "line/line_view.h"
#include "line/mqtt_client.h"

namespace varnel::test {
namespace {

TEST(MqttUrlTest, TakesHostsPortsCredentialsAndTls) {
    MqttEndpoint endpoint;
    std::string error;
    ASSERT_TRUE(ParseMqttUrl("mqtt://broker", endpoint, error)) << error;
    EXPECT_EQ(endpoint.strHost, "broker");
    EXPECT_EQ(endpoint.nPort, 1883);
    ASSERT_TRUE(ParseMqttUrl("mqtts://op%40line:p%3Ass@[::1]:8884/", endpoint, error)) << error;
    EXPECT_TRUE(endpoint.bTls);
    EXPECT_EQ(endpoint.strHost, "::1");
    EXPECT_EQ(endpoint.nPort, 8884);
    EXPECT_EQ(endpoint.strUser, "op@line");
    EXPECT_EQ(endpoint.strPassword, "p:ss");
    for (const char* bad :
         {"http://broker", "mqtt://", "mqtt://host:0", "mqtt://host:65536", "mqtt://host:12x",
          "mqtt://:pw@host", "mqtt://u%4@host", "mqtt://[::1", "mqtt://host/path"}) {
        EXPECT_FALSE(ParseMqttUrl(bad, endpoint, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(LineViewTest, CountsEachEndOnceAndKeepsTheFailures) {
    LineView view("line");
    const std::string end =
        R"({"event":"end","job":1,"port":2,"device":"SIM2","state":"failed","status_code":7,)"
        R"("text":"Fail","serial":"s2","time":"T1"})";
    ASSERT_TRUE(view.Apply("varnel/line/B/port/2/event", end));
    view.Apply("varnel/line/B/port/2/event", end);  // delivered again after a reconnect
    view.Apply("varnel/line/B/port/1/event",
               R"({"event":"end","job":1,"state":"finished","time":"T1"})");
    view.Apply("varnel/line/B/presence", R"({"online":false})");
    const LineBench& bench = view.Benches().at("B");
    EXPECT_EQ(bench.nFinished, 1);
    EXPECT_EQ(bench.nFailed, 1);
    EXPECT_EQ(bench.bOnline, false);
    ASSERT_EQ(view.Failures().size(), 1u);
    EXPECT_EQ(view.Failures()[0].strSerial, "s2");
    EXPECT_NE(view.Text(120).find("1/2 finished (50.0%)"), std::string::npos) << view.Text(120);
}

TEST(LineViewTest, PassesByWhatDoesNotFit) {
    LineView view("line");
    const std::pair<const char*, const char*> strangers[] = {
        {"varnel/other/A/state", R"({"job":1})"},
        {"varnel/line/A/state", "not json"},
        {"varnel/line/A/state", "[1]"},
        {"varnel/line/A/port/9/event", R"({"event":"end","state":"failed"})"},
        {"varnel/line/A/port/-1/event", R"({"event":"end","state":"failed"})"},
        {"varnel/line/A/port/1/event", R"({"event":"bogus"})"},
        {"varnel/line/A/presence", R"({"online":"yes"})"},
        {"varnel/line//state", R"({})"},
        {"varnel/line/A", R"({})"},
    };
    for (const auto& [topic, payload] : strangers) {
        EXPECT_FALSE(view.Apply(topic, payload)) << topic << " " << payload;
    }
    // Wrong types and numbers out of range are left out, not taken.
    ASSERT_TRUE(view.Apply("varnel/line/A/state",
                           R"({"job":"x","ports":[{"port":12},{"port":1,"percent":900,)"
                           R"("status_code":-4,"device":5},7]})"));
    const LineBench& bench = view.Benches().at("A");
    ASSERT_TRUE(bench.ports[1]);
    EXPECT_EQ(bench.ports[1]->nPercent, 100);
    EXPECT_EQ(bench.ports[1]->dwStatusCode, 0u);
    EXPECT_EQ(bench.ports[1]->strDevice, "");
    EXPECT_EQ(bench.nJob, 0);
}

}  // namespace
}  // namespace varnel::test
