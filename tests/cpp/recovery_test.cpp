// A tracker that loses the hand emits NaN or infinite keypoints for a frame. Afterwards the
// retargeter must return to what an undisturbed run produces, with and without a filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/vector_optimizer.hpp"
#include "optimizer_test_support.hpp"

namespace {

using Strings = std::vector<std::string>;
using Limits = std::vector<std::pair<double, double>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kFrames = 40;
constexpr int kBadFrame = 10;

const std::string kAllegro = "allegro/allegro_hand_description_right.urdf";
const Strings kTips{"link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"};
const Strings kLinks{"base_link", "link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"};

enum class Method { kPosition, kVector, kDexPilot };

struct Sequence {
  std::unique_ptr<kova::SeqRetargeting> seq;
  std::vector<std::vector<double>> refs;  // one reference per frame
};

// A smooth hand motion: every joint sweeps a sine through the middle of its range; the
// references are the robot's own link positions / vectors along it.
Sequence make_sequence(Method method, bool filter) {
  kova::RobotWrapper robot = kova_test::test_robot(kAllegro);
  kova::RobotWrapper kinematics = kova_test::test_robot(kAllegro);
  const Strings joints = robot.dof_joint_names();
  Limits limits;
  for (std::size_t i = 0; i < joints.size(); ++i) limits.push_back(robot.joint_limits()[i]);

  std::unique_ptr<kova::OptimizerBase> optimizer;
  switch (method) {
    case Method::kPosition:
      optimizer =
          std::make_unique<kova::PositionOptimizer>(std::move(robot), joints, kTips, 0.02, 4e-3);
      break;
    case Method::kVector:
      optimizer = std::make_unique<kova::VectorOptimizer>(
          std::move(robot), joints, Strings(4, "base_link"), kTips, 0.02, 4e-3, 1.0);
      break;
    case Method::kDexPilot:
      optimizer = std::make_unique<kova::DexPilotOptimizer>(
          std::move(robot), joints, kTips, "base_link", 0.03, 4e-3, 0.03, 0.05, 1e-4, 0.03, 1.0);
      break;
  }
  optimizer->set_joint_limit(limits);

  Sequence setup;
  for (int f = 0; f < kFrames; ++f) {
    std::vector<double> q;
    for (std::size_t i = 0; i < joints.size(); ++i) {
      const auto [lower, upper] = limits[i];
      const double phase = 0.15 * f + 0.7 * static_cast<double>(i);
      q.push_back(lower + (upper - lower) * (0.5 + 0.3 * std::sin(phase)));
    }
    kinematics.compute_forward_kinematics(q);
    std::vector<Eigen::Vector3d> p;
    for (const auto& name : kLinks) {
      p.push_back(kinematics.link_position(kinematics.link_index().at(name)));
    }
    std::vector<double> ref;
    const auto push = [&](const Eigen::Vector3d& v) {
      ref.insert(ref.end(), {v.x(), v.y(), v.z()});
    };
    if (method == Method::kPosition) {
      for (std::size_t k = 1; k < p.size(); ++k) push(p[k]);
    } else if (method == Method::kVector) {
      for (std::size_t k = 1; k < p.size(); ++k) push(p[k] - p[0]);
    } else {
      for (std::size_t i = 1; i < p.size(); ++i) {
        for (std::size_t j = i + 1; j < p.size(); ++j) push(p[i] - p[j]);
      }
      for (std::size_t k = 1; k < p.size(); ++k) push(p[k] - p[0]);
    }
    setup.refs.push_back(std::move(ref));
  }
  setup.seq = std::make_unique<kova::SeqRetargeting>(
      std::move(optimizer), true,
      filter ? std::optional<kova::LPFilter>(kova::LPFilter(0.7)) : std::nullopt, limits);
  return setup;
}

bool all_finite(const std::vector<double>& q) {
  return std::all_of(q.begin(), q.end(), [](double v) { return std::isfinite(v); });
}

struct RecoveryCase {
  Method method;
  bool filter;
  double bad_value;
  const char* name;
};

// Printed by name: gtest's fallback dumps the raw bytes, padding included, which memcheck reports
// as reads of uninitialised memory.
void PrintTo(const RecoveryCase& c, std::ostream* os) {
  *os << c.name;
}

class Recovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovery, ReturnsToTheUndisturbedRunAfterANonFiniteFrame) {
  const RecoveryCase c = GetParam();
  Sequence clean = make_sequence(c.method, c.filter);
  Sequence disturbed = make_sequence(c.method, c.filter);

  double worst_late = 0.0;
  double worst_last = 0.0;
  for (int f = 0; f < kFrames; ++f) {
    std::vector<double> bad_ref = disturbed.refs[static_cast<std::size_t>(f)];
    if (f == kBadFrame) {
      bad_ref[0] = c.bad_value;
      bad_ref[4] = c.bad_value;
    }
    const std::vector<double> expected =
        clean.seq->retarget(clean.refs[static_cast<std::size_t>(f)], {});
    const std::vector<double> got = disturbed.seq->retarget(bad_ref, {});
    ASSERT_TRUE(all_finite(expected));
    EXPECT_TRUE(all_finite(disturbed.seq->last_qpos())) << "frame " << f;
    // Unfiltered, the bad frame itself may be non-finite; filtered, it repeats the last good one.
    if (f == kBadFrame && !c.filter) continue;
    ASSERT_TRUE(all_finite(got)) << "frame " << f;
    if (f >= kBadFrame + 5) {
      for (std::size_t i = 0; i < got.size(); ++i) {
        worst_late = std::max(worst_late, std::abs(got[i] - expected[i]));
        if (f == kFrames - 1) worst_last = std::max(worst_last, std::abs(got[i] - expected[i]));
      }
    }
  }
  std::cout << "[ measured ] " << c.name << ": worst joint difference from frame " << kBadFrame + 5
            << " on: " << worst_late << " rad, at the last frame: " << worst_last << " rad\n";
  // The disturbed run settles back onto the undisturbed one. Its warm start differs slightly
  // for a few frames, and the solver's early stop can magnify that for a while (measured for
  // the position method: 0.0015 rad five frames on, a transient of 0.068 rad at frame 21, 0.008
  // rad at the last frame; vector and DexPilot stay below 0.003 rad), so the bounds leave room
  // for that transient but not for a solution branch lost for good.
  EXPECT_LT(worst_late, 0.15);
  EXPECT_LT(worst_last, 0.03);
}

INSTANTIATE_TEST_SUITE_P(
    AllMethods, Recovery,
    ::testing::Values(RecoveryCase{Method::kPosition, false, kNaN, "position NaN"},
                      RecoveryCase{Method::kPosition, true, kNaN, "position NaN filtered"},
                      RecoveryCase{Method::kPosition, true, kInf, "position inf filtered"},
                      RecoveryCase{Method::kVector, false, kNaN, "vector NaN"},
                      RecoveryCase{Method::kVector, true, -kInf, "vector -inf filtered"},
                      RecoveryCase{Method::kDexPilot, false, kInf, "dexpilot inf"},
                      RecoveryCase{Method::kDexPilot, true, kNaN, "dexpilot NaN filtered"}),
    [](const auto& param_info) {
      std::string name = param_info.param.name;
      std::replace(name.begin(), name.end(), ' ', '_');
      std::replace(name.begin(), name.end(), '-', 'm');
      return name;
    });

}  // namespace
