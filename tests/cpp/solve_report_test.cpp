// What an optimiser reports about each frame's solve, and the solver choice.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kova/position_optimizer.hpp"
#include "kova/solve_report.hpp"
#include "kova/vector_optimizer.hpp"
#include "objective_probe.hpp"
#include "optimizer_test_support.hpp"

namespace {

using kova_test::probe_hand;

TEST(SolverKind, TextsRoundTripAndUnknownNamesListTheChoices) {
  for (const kova::SolverKind kind : {kova::SolverKind::Slsqp, kova::SolverKind::LeastSquares}) {
    EXPECT_EQ(kova::solver_kind_from_str(kova::to_string(kind)), kind);
  }
  EXPECT_EQ(kova::to_string(kova::SolverKind::LeastSquares), "lm");
  const auto unknown = kova::solver_kind_from_str("LM");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error(), "Unknown solver 'LM'; valid solvers: slsqp, lm");
}

TEST(SolveReport, DescribesTheSolveThatProducedTheFrame) {
  kova::VectorOptimizer optimizer(probe_hand(), {"j1", "j2", "j3", "j4"}, {"base", "base"},
                                  {"l3", "tip_b"}, 0.02, 1e-3, 1.0);
  EXPECT_EQ(optimizer.last_report().stop_reason, "not solved");
  const std::vector<double> ref{0.05, 0.01, 0.1, -0.02, 0.01, 0.12};
  const std::vector<double> last{0.1, 0.0, 0.2, 0.0};
  const std::vector<double> x = optimizer.retarget(ref, {}, last);

  const kova::SolveReport& report = optimizer.last_report();
  EXPECT_EQ(report.solver, kova::SolverKind::Slsqp);
  EXPECT_EQ(optimizer.solver(), kova::SolverKind::Slsqp);
  EXPECT_GT(report.status, 0);
  EXPECT_EQ(report.stop_reason, kova::slsqp_stop_reason(report.status));
  EXPECT_EQ(report.evaluations, optimizer.last_evaluation_count());
  EXPECT_EQ(report.iterations, report.evaluations);
  // The reported value is the objective at the returned solution, to the last bit.
  kova::ObjectiveProbe::prepare(optimizer, ref, {}, last);
  EXPECT_EQ(report.objective, kova::ObjectiveProbe::value(optimizer, x));

  // A frame refused before its solve leaves no report of the previous frame behind.
  EXPECT_THROW(optimizer.retarget(std::vector<double>(5, 0.0), {}, last), kova::InternalFault);
  EXPECT_EQ(optimizer.last_report().stop_reason, "not solved");
  EXPECT_EQ(optimizer.last_report().evaluations, 0u);
}

TEST(SolveReport, RunsWithoutEvaluationsReportNoObjective) {
  kova::PositionOptimizer empty(probe_hand(), {}, {"l3"}, 0.02, 0.0);
  empty.retarget(std::vector<double>{0.05, 0.0, 0.1}, {}, {});
  EXPECT_EQ(empty.last_report().status, 0);
  EXPECT_EQ(empty.last_report().stop_reason, "nothing to solve (no variables)");
  EXPECT_TRUE(std::isnan(empty.last_report().objective));

  // An empty interval makes NLopt refuse to start.
  kova::PositionOptimizer refused(probe_hand(), {"j1"}, {"l3"}, 0.02, 0.0);
  refused.set_joint_limit(std::vector<std::pair<double, double>>{{1.0, -1.0}});
  refused.retarget(std::vector<double>{0.05, 0.0, 0.1}, {}, {});
  EXPECT_EQ(refused.last_report().stop_reason, "invalid arguments");
  EXPECT_EQ(refused.last_report().evaluations, 0u);
  EXPECT_TRUE(std::isnan(refused.last_report().objective));
}

}  // namespace
