// The tick's clock-jump check and its limits-line schedule, with injected
// clock readings.
#include <gtest/gtest.h>

#include "core/ClockCheck.h"

using km::core::checkClocks;

namespace {
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kSecond = 1'000 * kMs;
}  // namespace

TEST(ClockCheck, FirstTickLogsTheLimitsAndChecksNothing) {
  for (int64_t elapsed : {int64_t{0}, int64_t{-999'999}, int64_t{999'999}}) {
    const auto check = checkClocks(elapsed, 0);
    EXPECT_TRUE(check.logMemoryLimits) << elapsed;
    EXPECT_FALSE(check.due);
  }
  EXPECT_FALSE(checkClocks(1'000'000, 0).logMemoryLimits);
  EXPECT_FALSE(checkClocks(-1'000'000, 0).logMemoryLimits);
}

TEST(ClockCheck, ADayWithoutACheckLogsTheLimitsAgain) {
  EXPECT_FALSE(checkClocks(86'399'999'999'999, 86'399'999'999'999).logMemoryLimits);
  EXPECT_TRUE(checkClocks(86'400'000'000'000, 86'400'000'000'000).logMemoryLimits);
}

TEST(ClockCheck, ChecksRunOnceASecondHasPassed) {
  EXPECT_FALSE(checkClocks(kSecond - 1, kSecond - 1).due);
  EXPECT_TRUE(checkClocks(kSecond, kSecond).due);
  EXPECT_FALSE(checkClocks(kSecond, kSecond).wallClockChanged);
}

TEST(ClockCheck, ForwardStepOfASecondOrMoreIsReported) {
  // Wall clock set forward by an hour during a 1.25 s interval.
  const auto hour = checkClocks(1250 * kMs, (3600'000 + 1250) * kMs);
  ASSERT_TRUE(hour.wallClockChanged);
  EXPECT_DOUBLE_EQ(hour.wallClockSeconds, 3601.25);

  // steadyMs + 999 < |systemMs|: 1000 + 999 < 2000 is the smallest reported movement.
  EXPECT_TRUE(checkClocks(1000 * kMs, 2000 * kMs).wallClockChanged);
  EXPECT_FALSE(checkClocks(1000 * kMs, 1999 * kMs).wallClockChanged);
}

TEST(ClockCheck, BackwardStepCountsItsAbsoluteMovement) {
  const auto back = checkClocks(1000 * kMs, (1000 - 3600'000) * kMs);
  ASSERT_TRUE(back.wallClockChanged);
  EXPECT_DOUBLE_EQ(back.wallClockSeconds, -3599.0);
  // A backward step is reported only beyond twice the interval plus 999 ms.
  EXPECT_FALSE(checkClocks(1000 * kMs, -1999 * kMs).wallClockChanged);
  EXPECT_TRUE(checkClocks(1000 * kMs, -2000 * kMs).wallClockChanged);
}

TEST(ClockCheck, MillisecondsTruncateTowardZero) {
  // 1999.9 ms of steady time counts as 1999; 2998.9 ms of wall time as 2998.
  EXPECT_FALSE(checkClocks(1'999'900'000, 2'998'900'000).wallClockChanged);
  EXPECT_TRUE(checkClocks(1'999'900'000, 2'999'000'000).wallClockChanged);
}
