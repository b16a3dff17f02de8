// The bounded Levenberg-Marquardt solver: on its own (bounds, convergence, refusals) and as the
// optimisers' second solver (same objective, report, mimic joints, non-finite rows, reachable
// targets on every shipped hand).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/least_squares.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/vector_optimizer.hpp"
#include "objective_probe.hpp"
#include "optimizer_test_support.hpp"
#include "test_data.hpp"

namespace {

using kova::LeastSquaresLimits;
using kova::LeastSquaresSolver;
using kova::LeastSquaresStop;
using kova::ObjectiveProbe;
using Strings = std::vector<std::string>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ------------------------------------------------------------------------------------------
// The solver on synthetic objectives.

// sum_i (x_i - c_i)^2, recording the box every requested point lies in.
struct Bowl {
  std::vector<double> centre;
  std::vector<double> seen_min, seen_max;

  static double evaluate(void* context, const double* x, double* grad, double* gauss_newton) {
    auto* self = static_cast<Bowl*>(context);
    const std::size_t n = self->centre.size();
    double f = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      self->seen_min[i] = std::min(self->seen_min[i], x[i]);
      self->seen_max[i] = std::max(self->seen_max[i], x[i]);
      const double d = x[i] - self->centre[i];
      f += d * d;
      if (grad != nullptr) grad[i] = 2.0 * d;
    }
    if (gauss_newton != nullptr) {  // a plain quadratic: both matrices are its Hessian
      std::fill(gauss_newton, gauss_newton + 2 * n * n, 0.0);
      for (std::size_t i = 0; i < n; ++i) {
        gauss_newton[i + i * n] = 2.0;
        gauss_newton[n * n + i + i * n] = 2.0;
      }
    }
    return f;
  }
};

// For a Jacobian (and vector) that is zero outside the listed columns, the rows and the outer
// product add the lower triangle of J^T W J + w v v^T to what the matrix held, and leave the
// entries of other columns alone.
TEST(LeastSquaresSolver, GaussNewtonRowsAddTheWeightedProductToTheLowerTriangle) {
  const std::size_t n = 9;
  const std::vector<std::uint32_t> columns{0, 3, 4, 8};
  std::vector<double> jacobian(3 * n, 0.0), v(n, 0.0);
  for (const std::uint32_t j : columns) {
    for (int a = 0; a < 3; ++a) jacobian[3 * j + a] = std::sin(2.3 * j + 0.7 * a + 0.1);
    v[j] = std::cos(1.1 * j);
  }
  const double weights[3] = {0.25, 3.0, -0.5};
  std::vector<double> matrix(n * n);
  for (std::size_t k = 0; k < n * n; ++k) matrix[k] = std::cos(0.37 * static_cast<double>(k));
  const std::vector<double> before = matrix;
  kova::add_gauss_newton_rows(matrix.data(), n, jacobian.data(), weights, columns);
  kova::add_gauss_newton_outer(matrix.data(), n, v.data(), -0.75, columns);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < n; ++i) {
      double expected = before[i + j * n];
      if (i >= j) {
        for (std::size_t a = 0; a < 3; ++a) {
          expected += weights[a] * jacobian[3 * i + a] * jacobian[3 * j + a];
        }
        expected += -0.75 * v[i] * v[j];
      }
      ASSERT_NEAR(matrix[i + j * n], expected, 1e-14) << "at " << i << ", " << j;
    }
  }
}

TEST(LeastSquaresSolver, NeverLeavesTheBoundsAndLandsExactlyOnThem) {
  Bowl bowl{{2.0, -3.0, 0.25}, std::vector<double>(3, 1e300), std::vector<double>(3, -1e300)};
  const std::vector<double> lower{-1.0, -1.0, -1.0};
  const std::vector<double> upper{1.0, 1.0, 1.0};
  std::vector<double> x{0.0, 0.0, 1.0};  // the last one starts on its bound
  LeastSquaresSolver solver(3);
  const auto run = solver.solve(x, lower, upper, {}, &Bowl::evaluate, &bowl);
  EXPECT_GT(static_cast<int>(run.stop), 0) << kova::stop_reason(run.stop);
  EXPECT_EQ(x[0], 1.0);
  EXPECT_EQ(x[1], -1.0);
  // Stopped by the objective tolerance (1e-11): within a few micrometres of the bowl's centre.
  EXPECT_NEAR(x[2], 0.25, 1e-5);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_GE(bowl.seen_min[i], lower[i]) << i;
    EXPECT_LE(bowl.seen_max[i], upper[i]) << i;
  }
  EXPECT_EQ(run.objective, 1.0 + 4.0 + (x[2] - 0.25) * (x[2] - 0.25));
}

// Rosenbrock as least squares: r = (10 (x1 - x0^2), 1 - x0); f = |r|^2.
double rosenbrock(void*, const double* x, double* grad, double* gauss_newton) {
  const double r0 = 10.0 * (x[1] - x[0] * x[0]);
  const double r1 = 1.0 - x[0];
  const double j00 = -20.0 * x[0], j01 = 10.0, j10 = -1.0, j11 = 0.0;
  if (grad != nullptr) {
    grad[0] = 2.0 * (j00 * r0 + j10 * r1);
    grad[1] = 2.0 * (j01 * r0 + j11 * r1);
  }
  if (gauss_newton != nullptr) {  // no robust loss: both matrices are 2 J^T J
    gauss_newton[0] = 2.0 * (j00 * j00 + j10 * j10);
    gauss_newton[1] = 2.0 * (j00 * j01 + j10 * j11);
    gauss_newton[2] = gauss_newton[1];
    gauss_newton[3] = 2.0 * (j01 * j01 + j11 * j11);
    std::copy(gauss_newton, gauss_newton + 4, gauss_newton + 4);
  }
  return r0 * r0 + r1 * r1;
}

TEST(LeastSquaresSolver, ConvergesThroughACurvedValleyWithinItsCaps) {
  std::vector<double> x{-1.2, 1.0};
  LeastSquaresSolver solver(2);
  const LeastSquaresLimits limits;
  const auto run = solver.solve(x, std::vector<double>{-2.0, -2.0}, std::vector<double>{2.0, 2.0},
                                limits, &rosenbrock, nullptr);
  EXPECT_GT(static_cast<int>(run.stop), 0) << kova::stop_reason(run.stop);
  EXPECT_NEAR(x[0], 1.0, 2e-5);
  EXPECT_NEAR(x[1], 1.0, 2e-5);
  EXPECT_LE(run.iterations, limits.max_iterations);
  EXPECT_LE(run.evaluations, limits.max_evaluations);

  // A hard cap ends the run with the best point so far, reported as such.
  std::vector<double> capped{-1.2, 1.0};
  LeastSquaresLimits two;
  two.max_iterations = 2;
  const auto short_run = solver.solve(capped, std::vector<double>{-2.0, -2.0},
                                      std::vector<double>{2.0, 2.0}, two, &rosenbrock, nullptr);
  EXPECT_EQ(short_run.stop, LeastSquaresStop::IterationLimit);
  EXPECT_EQ(short_run.iterations, 2u);
  EXPECT_LT(short_run.objective,
            rosenbrock(nullptr, std::vector<double>{-1.2, 1.0}.data(), nullptr, nullptr));
}

double not_a_number(void*, const double*, double*, double*) {
  return kNaN;
}

TEST(LeastSquaresSolver, ReturnsTheStartForANonFiniteObjectiveOrBadBounds) {
  LeastSquaresSolver solver(2);
  std::vector<double> x{0.5, -0.5};
  auto run = solver.solve(x, std::vector<double>{-1.0, -1.0}, std::vector<double>{1.0, 1.0}, {},
                          &not_a_number, nullptr);
  EXPECT_EQ(run.stop, LeastSquaresStop::NonFiniteStart);
  EXPECT_EQ(run.evaluations, 1u);
  EXPECT_EQ(x, (std::vector<double>{0.5, -0.5}));

  Bowl bowl{{0.0, 0.0}, std::vector<double>(2, 1e300), std::vector<double>(2, -1e300)};
  run = solver.solve(x, std::vector<double>{1.0, -1.0}, std::vector<double>{0.0, 1.0}, {},
                     &Bowl::evaluate, &bowl);
  EXPECT_EQ(run.stop, LeastSquaresStop::InvalidBounds);
  EXPECT_EQ(x, (std::vector<double>{0.5, -0.5}));

  EXPECT_THROW(solver.solve(x, std::vector<double>{0.0}, std::vector<double>{1.0}, {},
                            &Bowl::evaluate, &bowl),
               kova::InternalFault);
  // A variable order that is not a permutation of the variables is refused.
  for (const std::vector<std::size_t>& order :
       {std::vector<std::size_t>{0, 0}, std::vector<std::size_t>{1, 2},
        std::vector<std::size_t>{1}}) {
    EXPECT_THROW(solver.set_variable_order(order), kova::InternalFault);
  }
  solver.set_variable_order(std::vector<std::size_t>{1, 0});
}

// ------------------------------------------------------------------------------------------
// The optimisers with the least-squares solver.

const Strings kDriven{"j1", "j2", "j3", "j4", "j6"};  // j5 follows j4 through the adaptor
const std::vector<double> kX{0.3, -0.4, 0.012, 0.5, -0.3};

// Kind 0 position, 1 vector, 2 DexPilot (no pinch projection, so its own vectors are reachable).
std::unique_ptr<kova::OptimizerBase> probe_optimizer(int kind, double normal_delta) {
  std::unique_ptr<kova::OptimizerBase> opt;
  if (kind == 0) {
    opt = std::make_unique<kova::PositionOptimizer>(
        kova_test::probe_hand(), kDriven, Strings{"l3", "tip_b", "tip_c"}, 0.02, normal_delta);
  } else if (kind == 1) {
    opt = std::make_unique<kova::VectorOptimizer>(
        kova_test::probe_hand(), kDriven, Strings{"base", "l1", "l3"},
        Strings{"tip_b", "tip_c", "tip_b"}, 0.02, normal_delta, 1.2);
  } else {
    opt = std::make_unique<kova::DexPilotOptimizer>(kova_test::probe_hand(), kDriven,
                                                    Strings{"tip_b", "tip_c", "l3"}, "base", 0.03,
                                                    normal_delta, 0.0, 0.05, 1e-4, 0.03, 1.0);
  }
  opt->set_adaptor(kova_test::mimic_adaptor(kova_test::probe_hand(), kDriven));
  opt->set_joint_limit(std::vector<std::pair<double, double>>{
      {-1, 1}, {-1.5, 1.5}, {-0.02, 0.02}, {-1, 1.2}, {-1, 1}});
  return opt;
}

template <class F>
auto with_type(kova::OptimizerBase& opt, F f) {
  if (auto* p = dynamic_cast<kova::PositionOptimizer*>(&opt)) return f(*p);
  if (auto* v = dynamic_cast<kova::VectorOptimizer*>(&opt)) return f(*v);
  return f(dynamic_cast<kova::DexPilotOptimizer&>(opt));
}

// Reference rows of the probe hand at x: the robot's own positions or vectors.
std::vector<double> own_rows(kova::OptimizerBase& opt, int kind, const std::vector<double>& x) {
  std::vector<double> q(opt.dof_joint_names().size(), 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) q[opt.idx_pin2target()[i]] = x[i];
  const auto at = [&](const Strings& links) {
    auto p = opt.link_positions(q, links);
    EXPECT_TRUE(p.has_value());
    return *p;
  };
  std::vector<double> rows;
  if (kind == 0) {
    for (const auto& p : at({"l3", "tip_b", "tip_c"})) rows.insert(rows.end(), p.begin(), p.end());
    return rows;
  }
  const Strings origins = kind == 1 ? Strings{"base", "l1", "l3"}
                                    : Strings{"tip_c", "l3", "l3", "base", "base", "base"};
  const Strings tasks = kind == 1 ? Strings{"tip_b", "tip_c", "tip_b"}
                                  : Strings{"tip_b", "tip_b", "tip_c", "tip_b", "tip_c", "l3"};
  const auto o = at(origins);
  const auto t = at(tasks);
  for (std::size_t i = 0; i < o.size(); ++i) {
    for (int a = 0; a < 3; ++a) rows.push_back((t[i][a] - o[i][a]) / (kind == 1 ? 1.2 : 1.0));
  }
  return rows;
}

class ProbeObjective : public ::testing::TestWithParam<int> {};

TEST_P(ProbeObjective, GaussNewtonRequestLeavesValueAndGradientBitIdentical) {
  auto opt = probe_optimizer(GetParam(), 0.1);
  std::vector<double> ref = own_rows(*opt, GetParam(), {0.1, 0.2, 0.0, -0.2, 0.4});
  ref[0] += 0.05;  // one target far beyond delta: both branches of the loss
  with_type(*opt, [&](auto& o) {
    ObjectiveProbe::prepare(o, ref, std::vector<double>{0.3}, std::vector<double>{0.2, 0.1});
    std::vector<double> g_slsqp, g_lm, h;
    const double f_slsqp = ObjectiveProbe::value_and_gradient(o, kX, g_slsqp);
    const double f_lm = ObjectiveProbe::value_gradient_gauss_newton(o, kX, g_lm, h);
    EXPECT_EQ(f_lm, f_slsqp);
    EXPECT_EQ(g_lm, g_slsqp);
    EXPECT_EQ(ObjectiveProbe::value(o, kX), f_slsqp);
    return 0;
  });
}

// At an exact fit every residual is zero, so both Gauss-Newton matrices are the Hessian itself:
// compare them with central differences of the exact gradient.
TEST_P(ProbeObjective, GaussNewtonMatrixIsTheHessianAtAnExactFit) {
  auto opt = probe_optimizer(GetParam(), 0.1);
  const std::vector<double> ref = own_rows(*opt, GetParam(), kX);
  const std::size_t n = kX.size();
  with_type(*opt, [&](auto& o) {
    ObjectiveProbe::prepare(o, ref, {}, std::vector<double>{0.2, 0.1});
    std::vector<double> g, h, gp, gm;
    ObjectiveProbe::value_gradient_gauss_newton(o, kX, g, h);
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) scale = std::max(scale, std::abs(h[i + i * n]));
    for (std::size_t j = 0; j < n; ++j) {
      std::vector<double> xp = kX, xm = kX;
      xp[j] += 1e-6;
      xm[j] -= 1e-6;
      ObjectiveProbe::value_and_gradient(o, xp, gp);
      ObjectiveProbe::value_and_gradient(o, xm, gm);
      for (std::size_t i = j; i < n; ++i) {
        const double hessian = (gp[i] - gm[i]) / 2e-6;
        EXPECT_NEAR(h[i + j * n], hessian, 1e-5 * scale) << "reweighted " << i << "," << j;
        EXPECT_NEAR(h[n * n + i + j * n], hessian, 1e-5 * scale) << "exact " << i << "," << j;
      }
    }
    return 0;
  });
}

// The report's objective is the optimiser's objective at the returned x, to the last bit; the
// mimic joint follows its source in the sequence's output; the solution reaches the targets.
TEST_P(ProbeObjective, SolvesWithTheSameObjectiveAndReportsIt) {
  auto opt = probe_optimizer(GetParam(), 0.0);
  const std::vector<double> truth{0.25, -0.3, 0.01, 0.45, -0.2};
  const std::vector<double> ref = own_rows(*opt, GetParam(), truth);
  kova::OptimizerBase* base = opt.get();
  base->set_solver(kova::SolverKind::LeastSquares);
  kova::SeqRetargeting seq(std::move(opt), true, std::nullopt,
                           {{-1, 1}, {-1.5, 1.5}, {-0.02, 0.02}, {-1, 1.2}, {-1, 1}});
  std::vector<double> q;
  for (int frame = 0; frame < 3; ++frame) q = seq.retarget(ref, std::vector<double>{});
  const kova::SolveReport& report = base->last_report();
  EXPECT_EQ(report.solver, kova::SolverKind::LeastSquares);
  EXPECT_GT(report.status, 0) << report.stop_reason;
  EXPECT_FALSE(report.stop_reason.empty());
  EXPECT_LE(report.iterations, report.evaluations);
  EXPECT_EQ(base->last_evaluation_count(), report.evaluations);
  with_type(*base, [&](auto& o) {
    EXPECT_EQ(ObjectiveProbe::value(o, seq.last_qpos()), report.objective);
    return 0;
  });
  // j5 (position 4 in DOF order) mimics j4 (position 3): -0.7 q4 + 0.1.
  EXPECT_EQ(q[4], q[3] * -0.7 + 0.1);
  std::vector<double> x = seq.last_qpos();
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], truth[i], 1e-4) << i;

  // A frame refused before its solve leaves no report of the previous one behind.
  EXPECT_THROW(base->retarget(std::vector<double>(2, 0.0), {}, x), kova::InternalFault);
  EXPECT_EQ(base->last_report().stop_reason, "not solved");
}

INSTANTIATE_TEST_SUITE_P(PositionVectorDexPilot, ProbeObjective, ::testing::Values(0, 1, 2));

TEST(LeastSquaresOptimizer, SurvivesNonFiniteRowsAndRejoinsTheUndisturbedRun) {
  for (const double bad : {kNaN, std::numeric_limits<double>::infinity()}) {
    for (int kind = 0; kind < 3; ++kind) {
      auto clean_opt = probe_optimizer(kind, 0.0);
      auto bad_opt = probe_optimizer(kind, 0.0);
      kova::OptimizerBase* bad_base = bad_opt.get();
      clean_opt->set_solver(kova::SolverKind::LeastSquares);
      bad_opt->set_solver(kova::SolverKind::LeastSquares);
      const std::vector<std::pair<double, double>> limits{
          {-1, 1}, {-1.5, 1.5}, {-0.02, 0.02}, {-1, 1.2}, {-1, 1}};
      std::vector<std::vector<double>> refs;
      for (int f = 0; f < 12; ++f) {
        const double t = 0.1 * f;
        refs.push_back(own_rows(*clean_opt, kind,
                                {0.2 * std::sin(t), -0.3 + 0.1 * t, 0.0, 0.4, -0.2 * std::cos(t)}));
      }
      kova::SeqRetargeting clean(std::move(clean_opt), true, std::nullopt, limits);
      kova::SeqRetargeting disturbed(std::move(bad_opt), true, std::nullopt, limits);
      for (std::size_t f = 0; f < refs.size(); ++f) {
        std::vector<double> ref = refs[f];
        if (f == 5) ref[1] = bad;
        clean.retarget(refs[f], {});
        const std::vector<double> before = disturbed.last_qpos();
        disturbed.retarget(ref, {});
        for (double v : disturbed.last_qpos()) ASSERT_TRUE(std::isfinite(v)) << kind << " " << f;
        if (f == 5) {
          EXPECT_EQ(bad_base->last_report().status,
                    static_cast<int>(LeastSquaresStop::NonFiniteStart));
          EXPECT_EQ(disturbed.last_qpos(), before);  // the warm start, unchanged
        }
        if (f >= 7) {
          for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_NEAR(disturbed.last_qpos()[i], clean.last_qpos()[i], 1e-6) << kind << " " << f;
          }
        }
      }
    }
  }
}

// Every shipped configuration, normal_delta 0 and no pinch projection: from a start 0.05 rad
// off a joint vector, the least-squares solver reaches that vector's own link positions / vectors.
TEST(LeastSquaresOptimizer, ReachesReachableTargetsOnEveryShippedHandAndMethod) {
  const std::filesystem::path configs =
      kova::testing::test_data_dir() / "../../python/kova_rs/resources/configs";
  std::size_t checked = 0;
  for (const char* method : {"position", "vector", "dexpilot"}) {
    for (const auto& entry : std::filesystem::directory_iterator(configs / method)) {
      auto config = kova::RetargetingConfig::load_from_file(entry.path());
      ASSERT_TRUE(config.has_value()) << entry.path() << ": " << config.error();
      config->normal_delta = 0.0;
      config->project_dist = 0.0;
      const kova::RetargetingConfig copy = *config;
      auto seq = std::move(*config).build();
      ASSERT_TRUE(seq.has_value()) << entry.path() << ": " << seq.error();
      auto& opt = dynamic_cast<kova::OptimizerBase&>(seq->optimizer());
      opt.set_solver(kova::SolverKind::LeastSquares);

      // What each reference row compares, as the configuration's method defines it.
      Strings origins, tasks;
      if (copy.type == kova::RetargetingType::Position) {
        tasks = *copy.target_link_names;
      } else if (copy.type == kova::RetargetingType::Vector) {
        origins = *copy.target_origin_link_names;
        tasks = *copy.target_task_link_names;
      } else {
        const Strings& tips = *copy.finger_tip_link_names;
        for (std::size_t i = 0; i < tips.size(); ++i) {
          for (std::size_t j = i + 1; j < tips.size(); ++j) {
            tasks.push_back(tips[i]);
            origins.push_back(tips[j]);
          }
        }
        for (const auto& tip : tips) {
          tasks.push_back(tip);
          origins.push_back(*copy.wrist_link_name);
        }
      }
      const auto rows_at = [&](const std::vector<double>& x) {
        std::vector<double> q(opt.dof_joint_names().size(), 0.0);
        for (std::size_t i = 0; i < x.size(); ++i) q[opt.idx_pin2target()[i]] = x[i];
        auto t = opt.link_positions(q, tasks);
        EXPECT_TRUE(t.has_value());
        std::vector<double> rows;
        for (std::size_t r = 0; r < tasks.size(); ++r) {
          for (int a = 0; a < 3; ++a) rows.push_back((*t)[r][a]);
        }
        if (!origins.empty()) {
          // The optimiser scales every human vector; the reference is the unscaled vector.
          auto o = opt.link_positions(q, origins);
          for (std::size_t r = 0; r < origins.size(); ++r) {
            for (int a = 0; a < 3; ++a) {
              rows[3 * r + a] = (rows[3 * r + a] - (*o)[r][a]) / copy.scaling_factor;
            }
          }
        }
        return rows;
      };

      const auto& limits = seq->joint_limits();
      for (int sample = 0; sample < 3; ++sample) {
        std::vector<double> truth, start;
        for (std::size_t j = 0; j < limits.size(); ++j) {
          const auto [lo, hi] = limits[j];
          const double s = 0.5 + 0.3 * std::sin(1.7 * sample + 0.9 * static_cast<double>(j));
          truth.push_back(lo + (hi - lo) * s);
          start.push_back(std::clamp(truth.back() + (j % 2 == 0 ? 0.05 : -0.05), lo, hi));
        }
        const std::vector<double> ref = rows_at(truth);
        const std::vector<double> x = opt.retarget(ref, {}, start);
        const std::vector<double> got = rows_at(x);
        double worst = 0.0;
        for (std::size_t i = 0; i < ref.size(); ++i)
          worst = std::max(worst, std::abs(got[i] - ref[i]));
        // The objective tolerance (1e-11) leaves a few micrometres at most.
        EXPECT_LT(worst, 1e-5) << entry.path().filename() << " " << method << " sample " << sample
                               << ": " << opt.last_report().stop_reason;
        for (std::size_t i = 0; i < x.size(); ++i) {
          EXPECT_GE(x[i], opt.data().lower_bounds[i]);
          EXPECT_LE(x[i], opt.data().upper_bounds[i]);
        }
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 3u * 3u * kova::testing::shipped_hand_count());
}

}  // namespace
