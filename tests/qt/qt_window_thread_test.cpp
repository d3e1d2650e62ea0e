// Worker reports that wait for the Qt window thread, and the close that must never wait on them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "ui/qt/qt_window_thread.h"

namespace varnel::test {
namespace {

TEST(QtWindowThreadTest, SendRunsOnTheWindowThreadAndReturnsAfterIt) {
    QtWindowThread window;
    EXPECT_TRUE(window.IsWindowThread());
    std::thread::id ranOn;
    std::atomic<bool> ran{false};
    auto sender = std::async(std::launch::async, [&] {
        EXPECT_FALSE(window.IsWindowThread());
        const bool sent = window.Send([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
        // Returned only once the message has run.
        EXPECT_TRUE(ran.load());
        return sent;
    });
    EXPECT_EQ(sender.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "nothing runs the message until the event loop does";
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.load(); }, 5000));
    EXPECT_TRUE(sender.get());
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(QtWindowThreadTest, PostedAndSentMessagesRunInTheirOrder) {
    QtWindowThread window;
    std::vector<int> order;
    auto sender = std::async(std::launch::async, [&] {
        window.Post([&] { order.push_back(1); });
        window.Send([&] { order.push_back(2); });
        window.Post([&] { order.push_back(3); });
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 3; }, 5000));
    sender.get();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    // On the window thread a Send runs at once, ahead of anything queued.
    window.Post([&] { order.push_back(5); });
    EXPECT_TRUE(window.Send([&] { order.push_back(4); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(QtWindowThreadTest, ShutdownReleasesWaitingSendersAndDropsQueuedMessages) {
    QtWindowThread window;
    std::atomic<int> ran{0};
    constexpr int kSenders = 8;
    std::vector<std::future<bool>> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(
            std::async(std::launch::async, [&] { return window.Send([&] { ++ran; }); }));
    }
    // The window thread neither runs the messages nor is asked to: it closes the channel, as a
    // window joining its workers does.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    window.Shutdown();
    for (auto& sender : senders) {
        ASSERT_EQ(sender.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_FALSE(sender.get());
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0) << "messages queued before the close never run";
    EXPECT_FALSE(window.Post([&] { ++ran; }));
    EXPECT_FALSE(window.Send([&] { ++ran; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);
}

TEST(QtWindowThreadTest, QueuedMessagesOutliveTheWindowThreadObjectHarmlessly) {
    std::atomic<int> ran{0};
    {
        QtWindowThread window;
        ASSERT_TRUE(window.Post([&] { ++ran; }));
        std::thread([&] { window.Post([&] { ++ran; }); }).join();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);
}

}  // namespace
}  // namespace varnel::test
