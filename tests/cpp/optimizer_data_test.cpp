#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "kova/optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "optimizer_test_support.hpp"

namespace {

using kova::InternalFault;
using kova::Jacobian;
using kova::OptimizerData;
using kova_test::probe_hand;
using Strings = std::vector<std::string>;
using Indices = std::vector<std::size_t>;

// DOF order of the probe hand: j1 j2 j3 j4 j5 j6.
kova::PositionOptimizer probe_optimizer(Strings targets) {
  return kova::PositionOptimizer(probe_hand(), std::move(targets), {"l3", "tip_b"}, 0.02, 0.0);
}

kova::MimicJointKinematicAdaptor probe_adaptor(Strings targets) {
  const kova::RobotWrapper robot = probe_hand();
  return kova_test::mimic_adaptor(robot, targets);
}

TEST(OptimizerData, TargetIndicesFollowNameOrderAndFixedTheRestInIncreasingOrder) {
  const OptimizerData data = OptimizerData::create(probe_hand(), {"j6", "j2", "j4"});
  EXPECT_EQ(data.idx_pin2target, (Indices{5, 1, 3}));
  EXPECT_EQ(data.idx_pin2fixed, (Indices{0, 2, 4}));
  EXPECT_EQ(data.opt_dof, 3u);
  EXPECT_EQ(data.lower_bounds, (std::vector<double>(3, -10000.0)));
  EXPECT_EQ(data.upper_bounds, (std::vector<double>(3, 10000.0)));
  EXPECT_FALSE(data.adaptor.has_value());
  EXPECT_EQ(data.target_joint_names, (Strings{"j6", "j2", "j4"}));
}

TEST(OptimizerData, NoTargetJointsFixesEverything) {
  const OptimizerData data = OptimizerData::create(probe_hand(), {});
  EXPECT_EQ(data.opt_dof, 0u);
  EXPECT_TRUE(data.lower_bounds.empty());
  EXPECT_EQ(data.idx_pin2fixed, (Indices{0, 1, 2, 3, 4, 5}));
}

TEST(OptimizerData, RepeatedTargetNameCountsTwice) {
  const OptimizerData data = OptimizerData::create(probe_hand(), {"j2", "j2"});
  EXPECT_EQ(data.idx_pin2target, (Indices{1, 1}));
  EXPECT_EQ(data.opt_dof, 2u);
}

TEST(OptimizerData, UnknownOrFixedJointIsAnInternalFault) {
  for (const std::string name : {"j9", "f7", "J1"}) {
    try {
      OptimizerData::create(probe_hand(), {"j1", name});
      FAIL() << name << " accepted";
    } catch (const InternalFault& fault) {
      EXPECT_EQ(std::string(fault.what()), "Joint " + name + " not found in robot");
    }
  }
}

TEST(MakeQpos, PlacesFixedThenTargetValuesThenMimicJoints) {
  const Indices fixed{0, 2, 4};
  const Indices target{5, 1, 3};
  const std::vector<double> x{0.6, 0.2, 0.4};
  const std::vector<double> fixed_values{1.0, 2.0, 3.0, 99.0};
  EXPECT_EQ(kova::make_qpos(6, fixed, fixed_values, target, x, nullptr),
            (std::vector<double>{1.0, 0.2, 2.0, 0.4, 3.0, 0.6}));
  // A short fixed_qpos leaves the remaining fixed joints at 0.
  const std::vector<double> short_fixed{1.0};
  EXPECT_EQ(kova::make_qpos(6, fixed, short_fixed, target, x, nullptr),
            (std::vector<double>{1.0, 0.2, 0.0, 0.4, 0.0, 0.6}));
  // With the adaptor j5 (position 4) follows j4: 0.4 * -0.7 + 0.1.
  const auto adaptor = probe_adaptor({"j6", "j2", "j4"});
  EXPECT_EQ(kova::make_qpos(6, fixed, fixed_values, target, x, &adaptor)[4], 0.4 * -0.7 + 0.1);
  // Too short an x is a fault, not an out-of-bounds read.
  EXPECT_THROW(kova::make_qpos(6, fixed, fixed_values, target, std::vector<double>{0.1}, nullptr),
               InternalFault);
}

TEST(TargetJacobian, SelectsColumnsWithoutAdaptorAndFoldsMimicColumnsWithIt) {
  Jacobian full(3, 6);
  for (Eigen::Index c = 0; c < 6; ++c) {
    full.col(c) << 1.0 + static_cast<double>(c), 10.0 * static_cast<double>(c), -0.5;
  }
  const Indices target{5, 1, 3};
  const Jacobian selected = kova::target_jacobian(full, 3, target, nullptr);
  ASSERT_EQ(selected.cols(), 3);
  EXPECT_EQ(selected.col(0), full.col(5));
  EXPECT_EQ(selected.col(1), full.col(1));
  EXPECT_EQ(selected.col(2), full.col(3));

  const auto adaptor = probe_adaptor({"j6", "j2", "j4"});
  const Jacobian folded = kova::target_jacobian(full, 3, target, &adaptor);
  EXPECT_EQ(folded.col(0), full.col(5));
  EXPECT_EQ(folded.col(1), full.col(1));
  const Eigen::Vector3d expected = full.col(3) + (-0.7) * full.col(4);
  EXPECT_EQ(Eigen::Vector3d(folded.col(2)), expected);
}

TEST(SetJointLimit, WidensGivenPairsByTheMarginAndIgnoresExtraPairs) {
  auto optimizer = probe_optimizer({"j1", "j2", "j3"});
  const std::vector<std::pair<double, double>> two{{-1.0, 1.0}, {0.0, 2.0}};
  optimizer.set_joint_limit(two);
  EXPECT_EQ(optimizer.data().lower_bounds, (std::vector<double>{-1.001, -0.001, -10000.0}));
  EXPECT_EQ(optimizer.data().upper_bounds, (std::vector<double>{1.001, 2.001, 10000.0}));
  const std::vector<std::pair<double, double>> five{
      {-0.5, 0.5}, {-0.5, 0.5}, {-0.5, 0.5}, {-9.0, 9.0}, {-9.0, 9.0}};
  optimizer.set_joint_limit(five);
  EXPECT_EQ(optimizer.data().lower_bounds, (std::vector<double>(3, -0.5 - 0.001)));
  EXPECT_EQ(optimizer.data().upper_bounds, (std::vector<double>(3, 0.5 + 0.001)));
}

TEST(SetAdaptor, DropsMimicJointsFromTheFixedListOnly) {
  auto optimizer = probe_optimizer({"j1", "j2", "j4"});
  EXPECT_EQ(Indices(optimizer.idx_pin2fixed().begin(), optimizer.idx_pin2fixed().end()),
            (Indices{2, 4, 5}));
  optimizer.set_adaptor(probe_adaptor({"j1", "j2", "j4"}));
  EXPECT_EQ(Indices(optimizer.idx_pin2fixed().begin(), optimizer.idx_pin2fixed().end()),
            (Indices{2, 5}));
  EXPECT_EQ(Indices(optimizer.idx_pin2target().begin(), optimizer.idx_pin2target().end()),
            (Indices{0, 1, 3}));
  std::vector<double> q{0.0, 0.0, 0.0, 0.5, 7.0, 0.0};
  optimizer.apply_adaptor_forward(q);
  EXPECT_EQ(q[4], 0.5 * -0.7 + 0.1);
}

TEST(ApplyAdaptorForward, LeavesTheVectorAloneWithoutAdaptor) {
  auto optimizer = probe_optimizer({"j1"});
  std::vector<double> q{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  optimizer.apply_adaptor_forward(q);
  EXPECT_EQ(q, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
}

TEST(Names, DofJointsInDofOrderAndLinksInUrdfOrder) {
  auto optimizer = probe_optimizer({"j1"});
  EXPECT_EQ(optimizer.dof_joint_names(), (Strings{"j1", "j2", "j3", "j4", "j5", "j6"}));
  EXPECT_EQ(optimizer.link_names(),
            (Strings{"base", "l1", "l2", "l3", "l4", "l5", "l6", "tip_c", "tip_b"}));
}

TEST(LinkPositions, ChecksLengthAndNamesAndAppliesTheAdaptor) {
  auto optimizer = probe_optimizer({"j1", "j2", "j3", "j4", "j6"});
  const std::vector<double> short_q(5, 0.0);
  const Strings names{"tip_c", "tip_b", "tip_c"};
  auto refused = optimizer.link_positions(short_q, names);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "Expected qpos length 6, got 5");
  const std::vector<double> q{0.1, 0.2, 0.01, 0.3, 0.9, -0.4};
  const Strings unknown{"l1", "nowhere"};
  auto missing = optimizer.link_positions(q, unknown);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "Link nowhere not found");

  kova::RobotWrapper reference = probe_hand();
  auto plain = optimizer.link_positions(q, names);
  ASSERT_TRUE(plain);
  ASSERT_EQ(plain->size(), 3u);
  reference.compute_forward_kinematics(q);
  const Eigen::Vector3d l5 = reference.link_position(8);
  EXPECT_EQ((*plain)[1], (kova::LinkPosition{l5.x(), l5.y(), l5.z()}));
  EXPECT_EQ((*plain)[0], (*plain)[2]);

  // With the adaptor the caller's value at the mimic position is replaced.
  optimizer.set_adaptor(probe_adaptor({"j1", "j2", "j3", "j4", "j6"}));
  auto coupled = optimizer.link_positions(q, names);
  ASSERT_TRUE(coupled);
  std::vector<double> q_mimic = q;
  q_mimic[4] = 0.3 * -0.7 + 0.1;
  reference.compute_forward_kinematics(q_mimic);
  const Eigen::Vector3d l5_coupled = reference.link_position(8);
  EXPECT_EQ((*coupled)[1], (kova::LinkPosition{l5_coupled.x(), l5_coupled.y(), l5_coupled.z()}));
  EXPECT_NE((*coupled)[1], (*plain)[1]);
}

TEST(OptimizerConstruction, UnknownLinkIsAnInternalFault) {
  try {
    kova::PositionOptimizer(probe_hand(), {"j1"}, {"l3", "missing_link"}, 0.02, 0.0);
    FAIL() << "missing link accepted";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "Link missing_link not found");
  }
}

}  // namespace
