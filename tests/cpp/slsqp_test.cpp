#include "slsqp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "kova/result.hpp"

namespace {

using kova::solve_slsqp;

// f = sum (x_i - c_i)^2 with c = (0.3, -0.7, 2.0).
struct Bowl {
  int calls = 0;
  int throw_at = -1;
  static double evaluate(void* self, const double* x, double* grad) {
    auto* bowl = static_cast<Bowl*>(self);
    if (bowl->calls++ == bowl->throw_at) throw kova::InternalFault("objective broke");
    const double c[3] = {0.3, -0.7, 2.0};
    double f = 0.0;
    for (int i = 0; i < 3; ++i) {
      f += (x[i] - c[i]) * (x[i] - c[i]);
      if (grad != nullptr) grad[i] = 2.0 * (x[i] - c[i]);
    }
    return f;
  }
};

const std::vector<double> kStart{0.0, 0.0, 0.0};
const std::vector<double> kLower{-1.0, -1.0, -1.0};
const std::vector<double> kUpper{1.0, 1.0, 1.0};

TEST(Slsqp, MinimisesInsideTheBoundsAndCountsEvaluations) {
  Bowl bowl;
  const kova::SlsqpRun run =
      solve_slsqp(kStart, kLower, kUpper, 100, 1e-12, &Bowl::evaluate, &bowl);
  ASSERT_EQ(run.x.size(), 3u);
  EXPECT_NEAR(run.x[0], 0.3, 1e-6);
  EXPECT_NEAR(run.x[1], -0.7, 1e-6);
  EXPECT_NEAR(run.x[2], 1.0, 1e-9);  // held by the upper bound
  EXPECT_EQ(run.evaluations, static_cast<std::size_t>(bowl.calls));
  EXPECT_GT(run.evaluations, 1u);
}

TEST(Slsqp, StopsAtTheEvaluationLimitAndStillReturnsAPoint) {
  Bowl bowl;
  const kova::SlsqpRun run = solve_slsqp(kStart, kLower, kUpper, 2, 0.0, &Bowl::evaluate, &bowl);
  EXPECT_EQ(bowl.calls, 2);
  EXPECT_EQ(run.x.size(), 3u);
}

TEST(Slsqp, NoVariablesReturnsTheEmptyVectorWithoutEvaluating) {
  Bowl bowl;
  const kova::SlsqpRun run = solve_slsqp({}, {}, {}, 100, 1e-6, &Bowl::evaluate, &bowl);
  EXPECT_TRUE(run.x.empty());
  EXPECT_EQ(bowl.calls, 0);
  EXPECT_EQ(run.evaluations, 0u);
}

TEST(Slsqp, FaultInsideTheObjectiveStopsTheSolverAndIsRethrown) {
  Bowl bowl;
  bowl.throw_at = 1;
  try {
    solve_slsqp(kStart, kLower, kUpper, 100, 1e-12, &Bowl::evaluate, &bowl);
    FAIL() << "fault swallowed";
  } catch (const kova::InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "objective broke");
  }
  EXPECT_EQ(bowl.calls, 2);  // force-stopped at once
}

TEST(Slsqp, BoundListsOfTheWrongLengthAreAFault) {
  Bowl bowl;
  const std::vector<double> two{-1.0, -1.0};
  EXPECT_THROW(solve_slsqp(kStart, two, kUpper, 100, 1e-6, &Bowl::evaluate, &bowl),
               kova::InternalFault);
  EXPECT_EQ(bowl.calls, 0);
}

TEST(Slsqp, NaNObjectiveEndsWithAResultOfTheRightLength) {
  const auto nan_objective = [](void*, const double*, double* grad) {
    if (grad != nullptr) {
      for (int i = 0; i < 3; ++i) grad[i] = std::nan("");
    }
    return std::nan("");
  };
  const kova::SlsqpRun run = solve_slsqp(kStart, kLower, kUpper, 50, 1e-6, nan_objective, nullptr);
  EXPECT_EQ(run.x.size(), 3u);
}

}  // namespace
