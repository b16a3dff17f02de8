// The three objectives: exact agreement with a literal, allocation-happy evaluation written from
// the definitions (same arithmetic order, so equal to the last bit), and gradients against
// central finite differences on both sides of the Huber seam, with and without the regulariser
// and the mimic adaptor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/vector_optimizer.hpp"
#include "objective_probe.hpp"
#include "optimizer_test_support.hpp"

namespace {

using kova::Jacobian;
using kova::ObjectiveProbe;
using kova::RobotWrapper;
using kova_test::probe_hand;
using Strings = std::vector<std::string>;

const Strings kAllJoints{"j1", "j2", "j3", "j4", "j5", "j6"};
const Strings kDrivenJoints{"j1", "j2", "j3", "j4", "j6"};  // j5 follows j4 through the adaptor
const std::vector<double> kAllX{0.3, -0.4, 0.012, 0.5, 0.2, -0.3};
const std::vector<double> kDrivenX{0.3, -0.4, 0.012, 0.5, -0.3};

// ------------------------------------------------------------------------------------------
// Literal evaluations from the definitions.

double signum(double r) {
  return std::isnan(r) ? r : std::copysign(1.0, r);
}

struct Shared {
  const kova::OptimizerData& data;
  std::vector<double> fixed;
  std::vector<double> last;
};

std::vector<double> literal_qpos(const Shared& s, const std::vector<double>& x) {
  return kova::make_qpos(s.data.robot.dof(), s.data.idx_pin2fixed, s.fixed, s.data.idx_pin2target,
                         x, s.data.adaptor ? &*s.data.adaptor : nullptr);
}

Jacobian literal_jacobian(const Shared& s, const RobotWrapper& robot, std::size_t link) {
  return kova::target_jacobian(robot.compute_single_link_position_jacobian_cached(link),
                               s.data.opt_dof, s.data.idx_pin2target,
                               s.data.adaptor ? &*s.data.adaptor : nullptr);
}

double literal_regulariser(const Shared& s, double normal_delta, const std::vector<double>& x,
                           std::vector<double>& g, double f) {
  if (normal_delta != 0.0) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double prev = i < s.last.size() ? s.last[i] : 0.0;
      const double d = x[i] - prev;
      f += normal_delta * (d * d);
      g[i] += 2.0 * normal_delta * d;
    }
  }
  return f;
}

double literal_position(const Shared& s, RobotWrapper& robot, const std::vector<std::size_t>& links,
                        const std::vector<double>& targets, double delta, double normal_delta,
                        const std::vector<double>& x, std::vector<double>& g) {
  robot.compute_forward_kinematics(literal_qpos(s, x));
  g.assign(x.size(), 0.0);
  const double n = 3.0 * static_cast<double>(links.size());
  double f = 0.0;
  for (std::size_t k = 0; k < links.size(); ++k) {
    const Eigen::Vector3d p = robot.link_position(links[k]);
    const Jacobian j = literal_jacobian(s, robot, links[k]);
    for (int a = 0; a < 3; ++a) {
      const double r = p[a] - targets[3 * k + static_cast<std::size_t>(a)];
      double slope;
      if (std::abs(r) <= delta) {
        f += (r * r / 2.0) / delta / n;
        slope = r / delta;
      } else {
        f += (std::abs(r) - delta / 2.0) / n;
        slope = signum(r);
      }
      for (std::size_t c = 0; c < x.size(); ++c) {
        g[c] += j(a, static_cast<Eigen::Index>(c)) * (slope / n);
      }
    }
  }
  return literal_regulariser(s, normal_delta, x, g, f);
}

// Weighted form; the vector optimiser is checked with weights == nullptr (l/V, e*(s/V)/d).
double literal_vectors(const Shared& s, RobotWrapper& robot, const kova::LinkVectorObjective& v,
                       const double* weights, double delta, double normal_delta,
                       const std::vector<double>& x, std::vector<double>& g) {
  robot.compute_forward_kinematics(literal_qpos(s, x));
  std::vector<Eigen::Vector3d> pos;
  for (std::size_t link : v.computed_link_indices()) pos.push_back(robot.link_position(link));
  const std::size_t count = v.vector_count();
  const double vn = static_cast<double>(count);
  g.assign(x.size(), 0.0);
  std::vector<Eigen::Vector3d> dloss(count, Eigen::Vector3d::Zero());
  double f = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const Eigen::Vector3d r = pos[v.task_link_indices()[i]] - pos[v.origin_link_indices()[i]];
    const Eigen::Vector3d t(v.targets()[3 * i], v.targets()[3 * i + 1], v.targets()[3 * i + 2]);
    const Eigen::Vector3d e = r - t;
    const double d = std::sqrt(e.x() * e.x() + e.y() * e.y() + e.z() * e.z());
    const double l = d <= delta ? (d * d / 2.0) / delta : d - delta / 2.0;
    if (weights != nullptr) {
      f += weights[i] * l / vn;
    } else {
      f += l / vn;
    }
    if (d > 1e-12) {
      const double slope = d <= delta ? d / delta : 1.0;
      const double scale = weights != nullptr ? slope * weights[i] / vn : slope / vn;
      for (int a = 0; a < 3; ++a) dloss[i][a] = e[a] * scale / d;
    }
  }
  for (std::size_t k = 0; k < pos.size(); ++k) {
    const Jacobian j = literal_jacobian(s, robot, v.computed_link_indices()[k]);
    Eigen::Vector3d gk = Eigen::Vector3d::Zero();
    for (std::size_t i = 0; i < count; ++i) {
      const int c =
          (v.task_link_indices()[i] == k ? 1 : 0) - (v.origin_link_indices()[i] == k ? 1 : 0);
      if (c == 0) continue;
      for (int a = 0; a < 3; ++a) gk[a] += static_cast<double>(c) * dloss[i][a];
    }
    for (std::size_t c = 0; c < x.size(); ++c) {
      const auto col = static_cast<Eigen::Index>(c);
      g[c] += j(0, col) * gk.x() + j(1, col) * gk.y() + j(2, col) * gk.z();
    }
  }
  return literal_regulariser(s, normal_delta, x, g, f);
}

// ------------------------------------------------------------------------------------------
// Finite differences.

template <class Opt>
std::vector<double> central_differences(Opt& optimizer, std::vector<double> x, double h) {
  std::vector<double> fd(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double keep = x[i];
    x[i] = keep + h;
    const double up = ObjectiveProbe::value(optimizer, x);
    x[i] = keep - h;
    const double down = ObjectiveProbe::value(optimizer, x);
    x[i] = keep;
    fd[i] = (up - down) / (2.0 * h);
  }
  return fd;
}

// Gradient against central differences; the value with and without gradient must agree exactly.
template <class Opt>
void expect_gradient_matches(Opt& optimizer, const std::vector<double>& x,
                             const std::vector<bool>& ignore = {}) {
  std::vector<double> g;
  const double f = ObjectiveProbe::value_and_gradient(optimizer, x, g);
  EXPECT_EQ(f, ObjectiveProbe::value(optimizer, x));
  const std::vector<double> fd = central_differences(optimizer, x, 1e-6);
  double largest = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    largest = std::max(largest, std::abs(g[i]));
    if (i < ignore.size() && ignore[i]) continue;
    EXPECT_NEAR(g[i], fd[i], 1e-8 + 1e-6 * std::abs(fd[i])) << "variable " << i;
  }
  EXPECT_GT(largest, 1e-5) << "gradient too small to test anything";
}

// Link positions of the probe hand at a full configuration.
std::vector<Eigen::Vector3d> positions_at(const std::vector<double>& q,
                                          const std::vector<std::string>& links) {
  RobotWrapper robot = probe_hand();
  robot.compute_forward_kinematics(q);
  std::vector<Eigen::Vector3d> out;
  for (const auto& name : links) out.push_back(robot.link_position(robot.link_index().at(name)));
  return out;
}

// Which side of the Huber seam the tested point's residuals fall on: the cases below pick
// delta = 1 (all inside), 0.002 (all outside) or a value between the residuals (some of each).
void expect_seam_side(double delta, const std::vector<double>& residual_sizes) {
  std::size_t inside = 0;
  for (double r : residual_sizes) inside += r <= delta ? 1 : 0;
  if (delta == 1.0) {
    EXPECT_EQ(inside, residual_sizes.size());
  }
  if (delta == 0.002) {
    EXPECT_EQ(inside, 0u);
  }
  if (delta != 1.0 && delta != 0.002) {
    EXPECT_GT(inside, 0u);
    EXPECT_LT(inside, residual_sizes.size());
  }
}

// ------------------------------------------------------------------------------------------
// Position objective

struct PositionCase {
  double delta;
  double normal_delta;
  bool adaptor;
  double offset;  // target = link position at a nearby configuration + offset on each axis
};

// The cases are printed field by field: gtest's fallback dumps their raw bytes, padding included,
// which memcheck reports as reads of uninitialised memory.
void PrintTo(const PositionCase& c, std::ostream* os) {
  *os << "{delta " << c.delta << ", normal_delta " << c.normal_delta << ", adaptor " << c.adaptor
      << ", offset " << c.offset << "}";
}

class PositionObjective : public ::testing::TestWithParam<PositionCase> {};

TEST_P(PositionObjective, MatchesLiteralEvaluationAndFiniteDifferences) {
  const PositionCase c = GetParam();
  const Strings links{"l3", "tip_b", "tip_c", "l3"};  // l3 twice: counts twice, one Jacobian
  const Strings& joints = c.adaptor ? kDrivenJoints : kAllJoints;
  const std::vector<double>& x = c.adaptor ? kDrivenX : kAllX;
  kova::PositionOptimizer optimizer(probe_hand(), joints, links, c.delta, c.normal_delta);
  if (c.adaptor) optimizer.set_adaptor(kova_test::mimic_adaptor(probe_hand(), joints));

  std::vector<double> ref;
  const auto p = positions_at({0.1, -0.2, 0.0, 0.3, 0.1, -0.1}, links);
  for (const auto& v : p) {
    for (int a = 0; a < 3; ++a) ref.push_back(v[a] + (a == 1 ? -c.offset : c.offset));
  }
  ref.insert(ref.end(), {9.0, 9.0, 9.0});  // extra row: ignored
  const std::vector<double> fixed{0.25, -0.5};
  const std::vector<double> last{0.2, -0.1, 0.0};  // shorter than x: 0 beyond its end
  ObjectiveProbe::prepare(optimizer, ref, fixed, last);

  RobotWrapper reference = probe_hand();
  const Shared shared{optimizer.data(), fixed, last};
  std::vector<double> g_literal;
  const double f_literal = literal_position(shared, reference, optimizer.target_link_indices(),
                                            std::vector<double>(ref.begin(), ref.begin() + 12),
                                            c.delta, c.normal_delta, x, g_literal);
  std::vector<double> g;
  EXPECT_EQ(ObjectiveProbe::value_and_gradient(optimizer, x, g), f_literal);
  EXPECT_EQ(g, g_literal);

  std::vector<double> residuals;  // the reference robot still holds the configuration of x
  for (std::size_t k = 0; k < links.size(); ++k) {
    const Eigen::Vector3d pk = reference.link_position(optimizer.target_link_indices()[k]);
    for (int a = 0; a < 3; ++a)
      residuals.push_back(std::abs(pk[a] - ref[3 * k + static_cast<std::size_t>(a)]));
  }
  expect_seam_side(c.delta, residuals);

  expect_gradient_matches(optimizer, x);
}

INSTANTIATE_TEST_SUITE_P(
    HuberSidesRegulariserAdaptor, PositionObjective,
    ::testing::Values(PositionCase{1.0, 0.0, false, 0.01},    // every residual inside the seam
                      PositionCase{0.002, 0.0, false, 0.05},  // every residual outside
                      PositionCase{0.022, 0.0, false, 0.02},  // mixed
                      PositionCase{1.0, 0.4, false, 0.01},    // with regulariser
                      PositionCase{0.002, 0.4, false, 0.05},
                      PositionCase{1.0, 0.0, true, 0.01},  // mimic adaptor
                      PositionCase{0.002, 0.4, true, 0.05}));

TEST(PositionObjectiveSeam, ResidualOfExactlyDeltaUsesTheQuadraticBranch) {
  // One link at a known position; the target sits exactly delta away along x.
  const double delta = 0.25;
  kova::PositionOptimizer optimizer(probe_hand(), {}, {"l1"}, delta, 0.0);
  const auto p = positions_at({}, {"l1"})[0];
  const std::vector<double> ref{p.x() - delta, p.y(), p.z()};
  ASSERT_EQ(p.x() - (p.x() - delta), delta);
  ObjectiveProbe::prepare(optimizer, ref, {}, {});
  const std::vector<double> none;
  // (delta^2 / 2) / delta / 3 = delta / 6, the same value the linear branch gives at the seam.
  EXPECT_EQ(ObjectiveProbe::value(optimizer, none), delta * delta / 2.0 / delta / 3.0);
}

TEST(PositionObjectiveSeam, LinkOnItsTargetContributesNothing) {
  kova::PositionOptimizer optimizer(probe_hand(), kAllJoints, {"l3"}, 0.02, 0.0);
  std::vector<double> q = kAllX;
  const auto p = positions_at(q, {"l3"})[0];
  const std::vector<double> ref{p.x(), p.y(), p.z()};
  ObjectiveProbe::prepare(optimizer, ref, {}, {});
  std::vector<double> g;
  EXPECT_EQ(ObjectiveProbe::value_and_gradient(optimizer, kAllX, g), 0.0);
  EXPECT_EQ(g, std::vector<double>(6, 0.0));
}

TEST(PositionObjectiveSeam, MimicJointThatIsAlsoATargetKeepsItsOwnColumn) {
  // j5 is optimised and mimics j4: the adaptor overwrites its value, so the objective does not
  // depend on x[4], yet its gradient entry is the link's own column (intended).
  kova::PositionOptimizer optimizer(probe_hand(), kAllJoints, {"tip_b"}, 1.0, 0.0);
  optimizer.set_adaptor(kova_test::mimic_adaptor(probe_hand(), kAllJoints));
  const auto p = positions_at({0.0, 0.0, 0.0, 0.1, 0.0, 0.0}, {"tip_b"})[0];
  const std::vector<double> ref{p.x() + 0.02, p.y() - 0.01, p.z() + 0.03};
  ObjectiveProbe::prepare(optimizer, ref, {}, {});
  std::vector<double> g;
  ObjectiveProbe::value_and_gradient(optimizer, kAllX, g);
  const std::vector<double> fd = central_differences(optimizer, kAllX, 1e-6);
  EXPECT_EQ(fd[4], 0.0);
  EXPECT_GT(std::abs(g[4]), 1e-4);
  // Its source j4 gets the folded derivative, which is the true one.
  EXPECT_NEAR(g[3], fd[3], 1e-8);
  expect_gradient_matches(optimizer, kAllX, {false, false, false, false, true, false});
}

TEST(PositionObjectiveSeam, RegulariserAloneIsExact) {
  kova::PositionOptimizer optimizer(probe_hand(), {"j1", "j2"}, {}, 0.02, 0.5);
  const std::vector<double> last{0.1};
  ObjectiveProbe::prepare(optimizer, {}, {}, last);
  const std::vector<double> x{0.4, -0.2};
  std::vector<double> g;
  const double f = ObjectiveProbe::value_and_gradient(optimizer, x, g);
  double expected = 0.0;
  expected += 0.5 * ((0.4 - 0.1) * (0.4 - 0.1));
  expected += 0.5 * ((-0.2 - 0.0) * (-0.2 - 0.0));
  EXPECT_EQ(f, expected);
  EXPECT_EQ(g, (std::vector<double>{2.0 * 0.5 * (0.4 - 0.1), 2.0 * 0.5 * -0.2}));
}

// ------------------------------------------------------------------------------------------
// Vector objective

struct VectorCase {
  double delta;
  double normal_delta;
  bool adaptor;
  double offset;
};

void PrintTo(const VectorCase& c, std::ostream* os) {
  *os << "{delta " << c.delta << ", normal_delta " << c.normal_delta << ", adaptor " << c.adaptor
      << ", offset " << c.offset << "}";
}

class VectorObjective : public ::testing::TestWithParam<VectorCase> {};

TEST_P(VectorObjective, MatchesLiteralEvaluationAndFiniteDifferences) {
  const VectorCase c = GetParam();
  // base is a common origin; l1 -> l1 contributes nothing; l3 is both task and origin.
  const Strings origins{"base", "base", "l3", "l1", "base"};
  const Strings tasks{"l3", "tip_b", "tip_b", "l1", "tip_c"};
  const Strings& joints = c.adaptor ? kDrivenJoints : kAllJoints;
  const std::vector<double>& x = c.adaptor ? kDrivenX : kAllX;
  const double scaling = 1.3;
  kova::VectorOptimizer optimizer(probe_hand(), joints, origins, tasks, c.delta, c.normal_delta,
                                  scaling);
  if (c.adaptor) optimizer.set_adaptor(kova_test::mimic_adaptor(probe_hand(), joints));
  EXPECT_EQ(optimizer.vectors().computed_link_indices().size(), 5u);

  const auto p =
      positions_at({0.1, -0.2, 0.0, 0.3, 0.1, -0.1}, {"base", "l3", "l1", "tip_b", "tip_c"});
  const auto human = [&](std::size_t task, std::size_t origin, double sign) {
    const Eigen::Vector3d v = (p[task] - p[origin]) / scaling;
    return std::vector<double>{v.x() + sign * c.offset, v.y() - c.offset, v.z() + c.offset};
  };
  std::vector<double> ref;
  for (const auto& row : {human(1, 0, 1.0), human(3, 0, -1.0), human(3, 1, 1.0),
                          std::vector<double>{0.0, 0.0, 0.0}, human(4, 0, 1.0)}) {
    ref.insert(ref.end(), row.begin(), row.end());
  }
  const std::vector<double> fixed{0.25};
  const std::vector<double> last{0.2, -0.1, 0.0, 0.1, 0.0, 0.1, 0.7};  // longer than x
  ObjectiveProbe::prepare(optimizer, ref, fixed, last);
  for (std::size_t i = 0; i < ref.size(); ++i)
    EXPECT_EQ(optimizer.vectors().targets()[i], scaling * ref[i]);

  RobotWrapper reference = probe_hand();
  const Shared shared{optimizer.data(), fixed, last};
  std::vector<double> g_literal;
  const double f_literal = literal_vectors(shared, reference, optimizer.vectors(), nullptr, c.delta,
                                           c.normal_delta, x, g_literal);
  std::vector<double> g;
  EXPECT_EQ(ObjectiveProbe::value_and_gradient(optimizer, x, g), f_literal);
  EXPECT_EQ(g, g_literal);

  std::vector<double> errors;
  const auto& v = optimizer.vectors();
  for (std::size_t i = 0; i < v.vector_count(); ++i) {
    const auto at = [&](std::size_t slot) {
      return reference.link_position(v.computed_link_indices()[slot]);
    };
    const Eigen::Vector3d r = at(v.task_link_indices()[i]) - at(v.origin_link_indices()[i]);
    const Eigen::Vector3d t(v.targets()[3 * i], v.targets()[3 * i + 1], v.targets()[3 * i + 2]);
    if (v.task_link_indices()[i] != v.origin_link_indices()[i]) errors.push_back((r - t).norm());
  }
  expect_seam_side(c.delta, errors);

  expect_gradient_matches(optimizer, x);
}

INSTANTIATE_TEST_SUITE_P(
    HuberSidesRegulariserAdaptor, VectorObjective,
    ::testing::Values(VectorCase{1.0, 0.0, false, 0.01}, VectorCase{0.002, 0.0, false, 0.03},
                      VectorCase{0.035, 0.0, false, 0.015}, VectorCase{1.0, 0.3, false, 0.01},
                      VectorCase{0.002, 0.3, false, 0.03}, VectorCase{1.0, 0.0, true, 0.01},
                      VectorCase{0.002, 0.3, true, 0.03}));

TEST(VectorObjectiveEdges, ExactMatchAddsNothingAndZeroScalingGivesZeroTargets) {
  kova::VectorOptimizer optimizer(probe_hand(), kAllJoints, {"base"}, {"l3"}, 0.02, 0.0, 1.0);
  const auto p = positions_at(kAllX, {"base", "l3"});
  const Eigen::Vector3d v = p[1] - p[0];
  const std::vector<double> ref{v.x(), v.y(), v.z()};
  ObjectiveProbe::prepare(optimizer, ref, {}, {});
  std::vector<double> g;
  EXPECT_EQ(ObjectiveProbe::value_and_gradient(optimizer, kAllX, g), 0.0);
  EXPECT_EQ(g, std::vector<double>(6, 0.0));

  kova::VectorOptimizer zero(probe_hand(), kAllJoints, {"base"}, {"l3"}, 0.02, 0.0, 0.0);
  ObjectiveProbe::prepare(zero, ref, {}, {});
  EXPECT_EQ(std::vector<double>(zero.vectors().targets().begin(), zero.vectors().targets().end()),
            std::vector<double>(3, 0.0));
}

TEST(VectorObjectiveEdges, SharedLinksAreComputedOnceInFirstUseOrder) {
  kova::VectorOptimizer optimizer(probe_hand(), kAllJoints, {"base", "base", "l3"},
                                  {"l3", "tip_c", "tip_c"}, 0.02, 0.0, 1.0);
  const RobotWrapper robot = probe_hand();
  const auto& index = robot.link_index();
  EXPECT_EQ(optimizer.vectors().computed_link_indices(),
            (std::vector<std::size_t>{index.at("base"), index.at("l3"), index.at("tip_c")}));
  EXPECT_EQ(optimizer.vectors().origin_link_indices(), (std::vector<std::size_t>{0, 0, 1}));
  EXPECT_EQ(optimizer.vectors().task_link_indices(), (std::vector<std::size_t>{1, 2, 2}));
}

TEST(VectorObjectiveEdges, UnknownLinkOrMissingTaskNameIsAnInternalFault) {
  try {
    kova::VectorOptimizer(probe_hand(), kAllJoints, {"base"}, {"nope"}, 0.02, 0.0, 1.0);
    FAIL() << "unknown task link accepted";
  } catch (const kova::InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "Link nope not found");
  }
  EXPECT_THROW(
      kova::VectorOptimizer(probe_hand(), kAllJoints, {"base", "l1"}, {"l3"}, 0.02, 0.0, 1.0),
      kova::InternalFault);
}

// ------------------------------------------------------------------------------------------
// DexPilot objective

struct DexCase {
  double normal_delta;
  bool adaptor;
  bool pinch;  // the first two tips pinched: projected lead pair (and other pair when close)
};

void PrintTo(const DexCase& c, std::ostream* os) {
  *os << "{normal_delta " << c.normal_delta << ", adaptor " << c.adaptor << ", pinch " << c.pinch
      << "}";
}

class DexPilotObjective : public ::testing::TestWithParam<DexCase> {};

TEST_P(DexPilotObjective, MatchesLiteralEvaluationAndFiniteDifferences) {
  const DexCase c = GetParam();
  const Strings& joints = c.adaptor ? kDrivenJoints : kAllJoints;
  const std::vector<double>& x = c.adaptor ? kDrivenX : kAllX;
  kova::DexPilotOptimizer optimizer(probe_hand(), joints, {"l3", "tip_b", "tip_c"}, "base", 0.03,
                                    c.normal_delta, 0.03, 0.05, 1e-4, 0.03, 1.2);
  if (c.adaptor) optimizer.set_adaptor(kova_test::mimic_adaptor(probe_hand(), joints));

  // Vectors: F1-F2, F1-F3, F2-F3, F1-W, F2-W, F3-W.
  std::vector<double> ref;
  if (c.pinch) {
    ref = {0.01, 0.005, -0.01, 0.012, 0.0, 0.004, 0.002, -0.01, 0.015};
  } else {
    ref = {0.06, 0.02, -0.01, 0.07, -0.03, 0.02, 0.01, -0.05, 0.03};
  }
  ref.insert(ref.end(), {0.05, 0.02, 0.09, 0.03, 0.03, 0.08, 0.04, -0.02, 0.07});
  const std::vector<double> last{0.2, -0.1};
  ObjectiveProbe::prepare(optimizer, ref, {}, last);
  EXPECT_EQ(optimizer.projected(), (std::vector<bool>{c.pinch, c.pinch, c.pinch}));

  RobotWrapper reference = probe_hand();
  const Shared shared{optimizer.data(), {}, last};
  std::vector<double> g_literal;
  const double f_literal =
      literal_vectors(shared, reference, optimizer.vectors(), optimizer.vectors().weights().data(),
                      0.03, c.normal_delta, x, g_literal);
  std::vector<double> g;
  EXPECT_EQ(ObjectiveProbe::value_and_gradient(optimizer, x, g), f_literal);
  EXPECT_EQ(g, g_literal);

  expect_gradient_matches(optimizer, x);
}

INSTANTIATE_TEST_SUITE_P(ProjectionRegulariserAdaptor, DexPilotObjective,
                         ::testing::Values(DexCase{0.0, false, false}, DexCase{0.0, false, true},
                                           DexCase{0.2, false, false}, DexCase{0.2, false, true},
                                           DexCase{0.0, true, true}, DexCase{0.2, true, false}));

}  // namespace
