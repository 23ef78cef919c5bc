// The load benchmark's latency floor: what the relay's pacing alone gives an event. Every table
// the benchmark prints subtracts it, so a wrong floor hides latency the relay adds or invents
// latency it does not.
#include <gtest/gtest.h>

#include "LoadEvents.h"

namespace telvaneload {
namespace {

// Slow enough that no stage ever finds more than its threshold waiting: each wait is then the
// time to the stage's next turn, which the uniform model gives independently.
TEST(PacedFloor, WithoutABacklogIsTheSumOfTheStagesWaits) {
  const TLatencyFloor tPaced = PacedFloor(7, 2000, 1000);
  const TLatencyFloor tUniform = PacingFloor(1);
  EXPECT_NEAR(tPaced.dP50, tUniform.dP50, 3);
  EXPECT_NEAR(tPaced.dP99, tUniform.dP99, 3);
  EXPECT_LE(tPaced.dMax, tUniform.dMax);
}

// At 1,000 events/s the splitter leaves the newest ten reads (ten milliseconds of the offer) and
// the global stage the newest five events for a later turn, and the offer's last five events
// leave the global stage one per 100 ms nap.
TEST(PacedFloor, BacklogThresholdsHoldTheNewestForALaterTurn) {
  const TLatencyFloor tPaced = PacedFloor(1000, 10000, 1000);
  const TLatencyFloor tUniform = PacingFloor(1);
  EXPECT_NEAR(tPaced.dP50 - tUniform.dP50, 15, 3);
  EXPECT_GT(tPaced.dMax, 500);
  EXPECT_LT(tPaced.dMax, 900);
}

TEST(PacedFloor, NothingOfferedHasNoFloor) {
  for (const TLatencyFloor& t : {PacedFloor(0, 100, 10), PacedFloor(1000, 0, 10), PacedFloor(1000, 100, 0)})
    EXPECT_EQ(t.dMax, 0);
}

}  // namespace
}  // namespace telvaneload
