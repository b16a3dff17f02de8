// The per-frame flow shared by the three optimisers: start point and clamping, the result
// whatever the solver's status, faults before anything changes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/vector_optimizer.hpp"
#include "optimizer_test_support.hpp"

namespace {

using kova_test::probe_hand;
using Strings = std::vector<std::string>;
using Limits = std::vector<std::pair<double, double>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Variable 0 gets an empty interval: the solver refuses to run (invalid arguments) and the
// start point comes back unchanged, which exposes how it was built.
kova::PositionOptimizer refusing_optimizer() {
  kova::PositionOptimizer optimizer(probe_hand(), {"j1", "j2", "j4"}, {"l3"}, 0.02, 0.0);
  optimizer.set_joint_limit(Limits{{1.0, -1.0}, {-0.5, 0.5}, {0.2, 1.0}});
  return optimizer;
}

const std::vector<double> kRef{0.05, 0.0, 0.1};

TEST(RetargetStart, WarmStartOfTheRightLengthIsClampedIntoTheBounds) {
  auto optimizer = refusing_optimizer();
  const std::vector<double> last{0.0, 0.9, -2.0};
  const std::vector<double> x = optimizer.retarget(kRef, {}, last);
  ASSERT_EQ(x.size(), 3u);
  EXPECT_EQ(x[1], 0.5 + 0.001);
  EXPECT_EQ(x[2], 0.2 - 0.001);
}

TEST(RetargetStart, NaNWarmStartEntryBecomesTheLowerBound) {
  auto optimizer = refusing_optimizer();
  const std::vector<double> last{0.0, kNaN, 0.3};
  const std::vector<double> x = optimizer.retarget(kRef, {}, last);
  EXPECT_EQ(x[1], -0.5 - 0.001);
  EXPECT_EQ(x[2], 0.3);
}

TEST(RetargetStart, WarmStartOfAnotherLengthGivesClampedZeros) {
  auto optimizer = refusing_optimizer();
  const std::vector<double> last{0.4, 0.3};
  const std::vector<double> x = optimizer.retarget(kRef, {}, last);
  ASSERT_EQ(x.size(), 3u);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_EQ(x[2], 0.2 - 0.001);
}

TEST(RetargetResult, NoTargetJointsGivesAnEmptySolution) {
  kova::PositionOptimizer optimizer(probe_hand(), {}, {"l3"}, 0.02, 0.0);
  EXPECT_TRUE(optimizer.retarget(kRef, {}, {}).empty());
  EXPECT_EQ(optimizer.last_evaluation_count(), 0u);
}

TEST(RetargetResult, SolutionHasOptDofEntriesAndEvaluationsAreCounted) {
  kova::PositionOptimizer optimizer(probe_hand(), {"j1", "j2", "j3", "j4", "j6"},
                                    {"l3", "tip_b", "tip_c"}, 0.02, 1e-3);
  const std::vector<double> ref{0.05, 0.01, 0.1, -0.02, 0.01, 0.12, 0.02, -0.03, 0.08};
  const std::vector<double> fixed{0.2};
  const std::vector<double> x = optimizer.retarget(ref, fixed, {});
  EXPECT_EQ(x.size(), 5u);
  EXPECT_GT(optimizer.last_evaluation_count(), 0u);
  EXPECT_LE(optimizer.last_evaluation_count(), 200u);
}

TEST(RetargetFaults, ShortReferenceIsRefusedBeforeAnythingIsComputed) {
  kova::PositionOptimizer position(probe_hand(), {"j1"}, {"l3", "tip_b"}, 0.02, 0.0);
  try {
    position.retarget(std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5}, {}, {});
    FAIL() << "short reference accepted";
  } catch (const kova::InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "index out of bounds: the len is 5 but the index is 5");
  }
  EXPECT_EQ(position.last_evaluation_count(), 0u);

  kova::VectorOptimizer vector(probe_hand(), {"j1"}, {"base", "base"}, {"l3", "tip_b"}, 0.02, 0.0,
                               1.0);
  EXPECT_THROW(vector.retarget(std::vector<double>(5, 0.1), {}, {}), kova::InternalFault);
  EXPECT_NO_THROW(vector.retarget(std::vector<double>(6, 0.1), {}, {}));
}

TEST(RetargetFaults, AdaptorOfTheWrongWidthIsRefusedBeforeSolving) {
  kova::PositionOptimizer optimizer(probe_hand(), {"j1", "j4"}, {"tip_b"}, 0.02, 0.0);
  // Built for three target joints while the optimiser has two.
  optimizer.set_adaptor(kova_test::mimic_adaptor(probe_hand(), {"j1", "j4", "j6"}));
  EXPECT_THROW(optimizer.retarget(kRef, {}, {}), kova::InternalFault);
  EXPECT_EQ(optimizer.last_evaluation_count(), 0u);
}

TEST(RetargetFaults, FaultInsideTheObjectiveSurfacesAfterTheSolver) {
  // An adaptor whose mimic index lies outside the joint vector fails in the first evaluation;
  // the fault crosses NLopt as a stored exception and is rethrown here.
  kova::PositionOptimizer optimizer(probe_hand(), {"j1", "j4"}, {"tip_b"}, 0.02, 0.0);
  optimizer.set_adaptor(kova::MimicJointKinematicAdaptor::from_indices(
      {0, 3}, {3}, {42}, {1}, std::vector<double>{1.0}, std::vector<double>{0.0}));
  EXPECT_THROW(optimizer.retarget(kRef, {}, {}), kova::InternalFault);
  EXPECT_EQ(optimizer.last_evaluation_count(), 0u);
}

}  // namespace
