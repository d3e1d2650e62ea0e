// The plain message loop: Send waits for the window thread, Post queues, Shutdown releases.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/window_thread.h"

namespace varnel {
namespace {

using namespace std::chrono_literals;

TEST(MessageLoopTest, SendOnTheWindowThreadRunsAtOnce) {
    MessageLoop loop;
    int ran = 0;
    EXPECT_TRUE(loop.Send([&] { ++ran; }));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop.RunPending(), 0u);
}

TEST(MessageLoopTest, MessagesRunInTheOrderTheyWereQueued) {
    MessageLoop loop;
    std::vector<std::string> order;  // touched by the window thread only
    std::thread other([&] {
        loop.Post([&] { order.push_back("posted"); });
        loop.Send([&] { order.push_back("sent"); });
        loop.Post([&] { order.push_back("after send"); });
    });
    while (order.size() < 3) {
        loop.RunOne(100ms);
    }
    other.join();
    EXPECT_EQ(order, (std::vector<std::string>{"posted", "sent", "after send"}));
}

TEST(MessageLoopTest, SendReturnsOnlyAfterTheWindowThreadRanIt) {
    MessageLoop loop;
    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    std::thread other([&] {
        EXPECT_TRUE(loop.Send([&] { ran = true; }));
        EXPECT_TRUE(ran);
        returned = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned);
    EXPECT_TRUE(loop.RunOne(1s));
    other.join();
    EXPECT_TRUE(returned);
}

TEST(MessageLoopTest, ShutdownReleasesAWaitingSendWithoutRunningIt) {
    MessageLoop loop;
    std::atomic<bool> ran{false};
    std::atomic<int> result{-1};
    std::thread other([&] { result = loop.Send([&] { ran = true; }) ? 1 : 0; });
    std::this_thread::sleep_for(20ms);  // long enough for the Send to be waiting
    EXPECT_EQ(result, -1);
    loop.Shutdown();
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(loop.Post([] {}));
    EXPECT_FALSE(loop.Send([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST(MessageLoopTest, RunServesOtherThreadsUntilQuit) {
    MessageLoop loop;
    std::atomic<int> handled{0};
    std::thread::id windowThread;
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i) {
        senders.emplace_back([&] {
            for (int n = 0; n < 100; ++n) {
                loop.Send([&] {
                    ++handled;
                    windowThread = std::this_thread::get_id();
                });
            }
        });
    }
    std::thread quitter([&] {
        for (auto& sender : senders) {
            sender.join();
        }
        loop.Quit();
    });
    loop.Run();
    quitter.join();
    EXPECT_EQ(handled, 400);
    EXPECT_EQ(windowThread, std::this_thread::get_id());
}

}  // namespace
}  // namespace varnel
