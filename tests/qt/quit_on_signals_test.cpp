// The desktop program's signals end its event loop, so it leaves through its normal teardown.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <csignal>

#include "ui/qt/quit_on_signals.h"

namespace varnel::test {
namespace {

TEST(QuitOnSignalsTest, EachSignalEndsTheEventLoopWithItsStatus) {
    const QuitOnSignals quit;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        QTimer::singleShot(0, [signal] { std::raise(signal); });
        EXPECT_EQ(QCoreApplication::exec(), 128 + signal);
    }
}

}  // namespace
}  // namespace varnel::test
