#include "kova/seq_retarget.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "fake_optimizer.hpp"

namespace {

using kova::LPFilter;
using kova::SeqRetargeting;
using kova_test::FakeOptimizer;
using kova_test::FakeOptimizerLog;
using Limits = std::vector<std::pair<double, double>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// dof 5: targets at positions 3 and 1, fixed at 0, 2 and 4; position 4 mimics position 1 when
// `mimic` is set (q4 = 2 * q1 + 0.5), and is then no longer fixed.
std::unique_ptr<FakeOptimizer> make_fake(FakeOptimizerLog* log, bool mimic = false) {
  auto fake = std::make_unique<FakeOptimizer>(
      5, std::vector<std::size_t>{3, 1},
      mimic ? std::vector<std::size_t>{0, 2} : std::vector<std::size_t>{0, 2, 4}, log);
  if (mimic) fake->set_mimic(4, 1, 2.0, 0.5);
  return fake;
}

const std::vector<double> kRef{0.0, 0.0, 0.0};

TEST(SeqRetargeting, StartsAtTheMidpointsOfTheLimits) {
  FakeOptimizerLog log;
  SeqRetargeting seq(make_fake(&log, true), true, std::nullopt, Limits{{-1.0, 1.0}, {0.0, 2.0}});
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.0, 1.0}));
  // Targets at positions 3 and 1, fixed zeros, the mimic joint from its source.
  EXPECT_EQ(seq.get_qpos(std::nullopt), (std::vector<double>{0.0, 1.0, 0.0, 0.0, 2.5}));
}

TEST(SeqRetargeting, DefaultLimitsGiveZeroMidpoints) {
  FakeOptimizerLog log;
  SeqRetargeting seq(make_fake(&log), false, std::nullopt,
                     Limits{{-10000.0, 10000.0}, {-10000.0, 10000.0}});
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.0, 0.0}));
}

TEST(SeqRetargeting, FrameAssemblesFixedTargetAndMimicValues) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log, true);
  fake->script({{0.7, -0.2}});
  SeqRetargeting seq(std::move(fake), true, std::nullopt, Limits{{-1.0, 1.0}, {-1.0, 2.0}});
  const std::vector<double> fixed{5.0, 6.0, 99.0};  // the extra value is ignored
  const std::vector<double> q = seq.retarget(kRef, fixed);
  EXPECT_EQ(q, (std::vector<double>{5.0, -0.2, 6.0, 0.7, -0.2 * 2.0 + 0.5}));
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.7, -0.2}));
  EXPECT_EQ(log.fixed.back(), fixed);
  EXPECT_EQ(log.refs.back(), kRef);
}

TEST(SeqRetargeting, EmptyFixedValuesLeaveZeros) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.7, -0.2}});
  SeqRetargeting seq(std::move(fake), true, std::nullopt, Limits{{-1.0, 1.0}, {-1.0, 2.0}});
  EXPECT_EQ(seq.retarget(kRef, {}), (std::vector<double>{0.0, -0.2, 0.0, 0.7, 0.0}));
}

TEST(SeqRetargeting, WarmStartIsClampedButLastQposKeepsTheUnclampedValue) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.5, 0.5}});
  SeqRetargeting seq(std::move(fake), true, std::nullopt, Limits{{-1.0, 1.0}, {0.0, 2.0}});
  seq.set_qpos(std::vector<double>{0.0, -3.0, 0.0, 4.0, 0.0});
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{4.0, -3.0}));
  seq.retarget(kRef, {});
  EXPECT_EQ(log.warm_starts.back(), (std::vector<double>{1.0, 0.0}));
}

TEST(SeqRetargeting, NaNWarmStartBecomesTheLowerLimit) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.5, 0.5}});
  SeqRetargeting seq(std::move(fake), true, std::nullopt, Limits{{-1.0, 1.0}, {0.0, 2.0}});
  seq.set_qpos(std::vector<double>{0.0, kNaN, 0.0, kNaN, 0.0});
  seq.retarget(kRef, {});
  EXPECT_EQ(log.warm_starts.back(), (std::vector<double>{-1.0, 0.0}));
}

TEST(SeqRetargeting, FilterSmoothsOutputWhileWarmStartStaysUnfiltered) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.2, 0.4}, {0.6, 1.0}, {0.6, 1.0}});
  SeqRetargeting seq(std::move(fake), true, LPFilter(0.5), Limits{{-1.0, 1.0}, {-1.0, 2.0}});
  const std::vector<double> q1 = seq.retarget(kRef, {});
  EXPECT_EQ(q1, (std::vector<double>{0.0, 0.4, 0.0, 0.2, 0.0}));
  const std::vector<double> q2 = seq.retarget(kRef, {});
  EXPECT_EQ(q2,
            (std::vector<double>{0.0, (1.0 - 0.4) * 0.5 + 0.4, 0.0, (0.6 - 0.2) * 0.5 + 0.2, 0.0}));
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.6, 1.0}));
  seq.retarget(kRef, {});
  EXPECT_EQ(log.warm_starts.back(), (std::vector<double>{0.6, 1.0}));
}

TEST(SeqRetargeting, ResetRestoresMidpointsButKeepsFilterHistory) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.8, 1.6}, {0.0, 0.0}});
  SeqRetargeting seq(std::move(fake), true, LPFilter(0.5), Limits{{-1.0, 1.0}, {0.0, 2.0}});
  seq.retarget(kRef, {});
  seq.reset();
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.0, 1.0}));
  ASSERT_TRUE(seq.filter()->is_init());
  const std::vector<double> q = seq.retarget(kRef, {});
  EXPECT_EQ(log.warm_starts.back(), (std::vector<double>{0.0, 1.0}));
  // Blended with the output of before the reset.
  EXPECT_EQ(q[3], (0.0 - 0.8) * 0.5 + 0.8);
  EXPECT_EQ(q[1], (0.0 - 1.6) * 0.5 + 1.6);
}

TEST(SeqRetargeting, SetQposWithShortVectorKeepsEntriesBeyondItsEnd) {
  FakeOptimizerLog log;
  SeqRetargeting seq(make_fake(&log), true, LPFilter(0.5), Limits{{-1.0, 1.0}, {0.0, 2.0}});
  // Target positions 3 and 1: only position 1 lies inside a vector of length 2.
  seq.set_qpos(std::vector<double>{9.0, 0.25});
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.0, 0.25}));
  EXPECT_FALSE(seq.filter()->is_init());
}

TEST(SeqRetargeting, GetQposForgetsFixedValuesOfEarlierFrames) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.3, 0.1}});
  SeqRetargeting seq(std::move(fake), true, LPFilter(0.5), Limits{{-1.0, 1.0}, {0.0, 2.0}});
  const std::vector<double> fixed{1.0, 2.0, 3.0};
  seq.retarget(kRef, fixed);
  EXPECT_EQ(seq.get_qpos(std::nullopt), (std::vector<double>{0.0, 0.1, 0.0, 0.3, 0.0}));
  const std::vector<double> short_fixed{7.0};
  EXPECT_EQ(seq.get_qpos(std::span<const double>(short_fixed)),
            (std::vector<double>{7.0, 0.1, 0.0, 0.3, 0.0}));
}

TEST(SeqRetargeting, NonFiniteSolutionEntriesDoNotReplaceTheWarmStart) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.3, 0.1}, {kNaN, 0.2}, {0.4, 0.5}});
  SeqRetargeting seq(std::move(fake), true, std::nullopt, Limits{{-1.0, 1.0}, {0.0, 2.0}});
  seq.retarget(kRef, {});
  const std::vector<double> bad = seq.retarget(kRef, {});
  // The frame itself reports what the solver produced.
  EXPECT_TRUE(std::isnan(bad[3]));
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.3, 0.2}));
  seq.retarget(kRef, {});
  EXPECT_EQ(log.warm_starts.back(), (std::vector<double>{0.3, 0.2}));
}

TEST(SeqRetargeting, OptimiserFaultLeavesTheSequenceUntouched) {
  FakeOptimizerLog log;
  auto fake = make_fake(&log);
  fake->script({{0.3, 0.1}});
  SeqRetargeting seq(std::move(fake), true, LPFilter(0.5), Limits{{-1.0, 1.0}, {0.0, 2.0}});
  const std::vector<double> too_short{1.0};
  EXPECT_THROW(seq.retarget(too_short, {}), kova::InternalFault);
  EXPECT_EQ(seq.last_qpos(), (std::vector<double>{0.0, 1.0}));
  EXPECT_FALSE(seq.filter()->is_init());
}

}  // namespace
