#include "interrupt.h"

#include <gtest/gtest.h>

#include <csignal>

namespace maroquint::monitor {
namespace {

TEST(Interrupt, FirstCtrlCOnlyAsksTheWatchToEnd) {
  InstallInterruptHandler();
  EXPECT_FALSE(InterruptRequested());
  ASSERT_EQ(std::raise(SIGINT), 0);
  EXPECT_TRUE(InterruptRequested());
  // The handler stepped aside: the next Ctrl+C would end the process.
  const auto previous = std::signal(SIGINT, SIG_IGN);
  EXPECT_EQ(previous, SIG_DFL);
}

}  // namespace
}  // namespace maroquint::monitor
