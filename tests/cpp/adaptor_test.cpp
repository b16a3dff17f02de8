#include "kova/kinematics_adaptor.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "random_robots.hpp"

namespace {

using kova::Jacobian;
using kova::MimicJointKinematicAdaptor;
using Indices = std::vector<std::size_t>;
using Values = std::vector<double>;

Jacobian numbered_jacobian(Eigen::Index columns) {
  Jacobian j(3, columns);
  for (Eigen::Index c = 0; c < columns; ++c) {
    j.col(c) = Eigen::Vector3d(1.0 + static_cast<double>(c), 10.0 * static_cast<double>(c + 1),
                               -0.5 * static_cast<double>(c));
  }
  return j;
}

// ---------------------------------------------------------------------------------------------
// Forward

TEST(AdaptorForward, NegatedMimicWithOffset) {
  // DOF 0 = source (target 0), DOF 1 = mimic with multiplier -1 and offset 0.1.
  const auto adaptor =
      MimicJointKinematicAdaptor::from_indices({0}, {0}, {1}, {0}, Values{-1.0}, Values{0.1});
  Values qpos{0.3, 99.0};
  adaptor.forward_qpos(qpos);
  EXPECT_EQ(qpos[0], 0.3);
  EXPECT_EQ(qpos[1], 0.3 * -1.0 + 0.1);
}

TEST(AdaptorForward, SequentialSoAMimicOfAMimicSeesTheNewValue) {
  const auto adaptor = MimicJointKinematicAdaptor::from_indices({0}, {0, 1}, {1, 2}, {0, 0},
                                                                Values{2.0, 3.0}, Values{1.0, 0.5});
  Values qpos{1.0, 0.0, 0.0};
  adaptor.forward_qpos(qpos);
  EXPECT_EQ(qpos[1], 3.0);
  EXPECT_EQ(qpos[2], 9.5);
}

TEST(AdaptorForward, MimicThatIsAlsoATargetIsOverwritten) {
  const auto adaptor =
      MimicJointKinematicAdaptor::from_indices({0, 1}, {0}, {1}, {0}, Values{0.5}, Values{0.0});
  Values qpos{0.8, 7.0};
  adaptor.forward_qpos(qpos);
  EXPECT_EQ(qpos[1], 0.4);
}

TEST(AdaptorForward, NoMimicJointsChangeNothing) {
  const auto adaptor = MimicJointKinematicAdaptor::from_indices({0, 1}, {}, {}, {}, {}, {});
  Values qpos{0.8, 7.0};
  adaptor.forward_qpos(qpos);
  EXPECT_EQ(qpos, (Values{0.8, 7.0}));
}

TEST(AdaptorForward, IndicesBeyondTheConfigurationAreInternalFaults) {
  Values qpos{0.0, 0.0};
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {0}, {2}, {0}, Values{1}, Values{0})
                   .forward_qpos(qpos),
               kova::InternalFault);
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {5}, {1}, {0}, Values{1}, Values{0})
                   .forward_qpos(qpos),
               kova::InternalFault);
  // Per-mimic lists of different lengths.
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {0}, {1}, {0}, Values{}, Values{0})
                   .forward_qpos(qpos),
               kova::InternalFault);
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {}, {1}, {0}, Values{1}, Values{0})
                   .forward_qpos(qpos),
               kova::InternalFault);
  EXPECT_EQ(qpos, (Values{0.0, 0.0}));
}

// ---------------------------------------------------------------------------------------------
// Backward

TEST(AdaptorBackward, SelectsTargetColumnsInTargetOrder) {
  const auto adaptor = MimicJointKinematicAdaptor::from_indices({3, 0}, {}, {}, {}, {}, {});
  const Jacobian full = numbered_jacobian(4);
  const Jacobian folded = adaptor.backward_jacobian(full);
  ASSERT_EQ(folded.cols(), 2);
  EXPECT_EQ(folded.col(0), full.col(3));
  EXPECT_EQ(folded.col(1), full.col(0));
}

TEST(AdaptorBackward, NegatedMimicSubtractsItsColumn) {
  // Targets: DOF 2 and DOF 0; DOF 1 mimics DOF 0 (target position 1) with multiplier -1.
  const auto adaptor =
      MimicJointKinematicAdaptor::from_indices({2, 0}, {0}, {1}, {1}, Values{-1.0}, Values{0.1});
  const Jacobian full = numbered_jacobian(3);
  const Jacobian folded = adaptor.backward_jacobian(full);
  EXPECT_EQ(folded.col(0), full.col(2));
  EXPECT_EQ(folded.col(1), Eigen::Vector3d(full.col(0) - full.col(1)));
}

TEST(AdaptorBackward, TwoMimicsOfOneSourceBothAdd) {
  const auto adaptor = MimicJointKinematicAdaptor::from_indices({0}, {0, 0}, {1, 2}, {0, 0},
                                                                Values{2.0, 0.5}, Values{0, 0});
  const Jacobian full = numbered_jacobian(3);
  const Jacobian folded = adaptor.backward_jacobian(full);
  const Eigen::Vector3d expected = (full.col(0) + 2.0 * full.col(1)) + 0.5 * full.col(2);
  EXPECT_EQ(folded.col(0), expected);
}

TEST(AdaptorBackward, MimicThatIsAlsoATargetKeepsItsColumnAndIsFolded) {
  const auto adaptor =
      MimicJointKinematicAdaptor::from_indices({0, 1}, {0}, {1}, {0}, Values{3.0}, Values{0.0});
  const Jacobian full = numbered_jacobian(2);
  const Jacobian folded = adaptor.backward_jacobian(full);
  EXPECT_EQ(folded.col(0), Eigen::Vector3d(full.col(0) + 3.0 * full.col(1)));
  EXPECT_EQ(folded.col(1), full.col(1));
}

TEST(AdaptorBackward, OnlyOneLevelIsFolded) {
  // DOF 2 mimics DOF 1, which mimics DOF 0; only DOF 0 is a target. The column of DOF 2 is
  // folded onto the target position recorded for its source, not through DOF 1.
  const auto adaptor = MimicJointKinematicAdaptor::from_indices({0}, {0, 1}, {1, 2}, {0, 0},
                                                                Values{2.0, 3.0}, Values{0, 0});
  const Jacobian full = numbered_jacobian(3);
  const Eigen::Vector3d expected = (full.col(0) + 2.0 * full.col(1)) + 3.0 * full.col(2);
  EXPECT_EQ(adaptor.backward_jacobian(full).col(0), expected);
}

TEST(AdaptorBackward, OutputOverloadOverwrites) {
  const auto adaptor =
      MimicJointKinematicAdaptor::from_indices({1}, {1}, {0}, {0}, Values{2.0}, Values{0.0});
  const Jacobian full = numbered_jacobian(2);
  Jacobian out = Jacobian::Constant(3, 1, 5.0);
  adaptor.backward_jacobian(full, out);
  EXPECT_EQ(out, adaptor.backward_jacobian(full));
  Jacobian wrong(3, 2);
  EXPECT_THROW(adaptor.backward_jacobian(full, wrong), kova::InternalFault);
}

TEST(AdaptorBackward, IndicesBeyondTheMatricesAreInternalFaults) {
  const Jacobian full = numbered_jacobian(2);
  EXPECT_THROW(
      MimicJointKinematicAdaptor::from_indices({2}, {}, {}, {}, {}, {}).backward_jacobian(full),
      kova::InternalFault);
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {0}, {3}, {0}, Values{1}, Values{0})
                   .backward_jacobian(full),
               kova::InternalFault);
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {0}, {1}, {1}, Values{1}, Values{0})
                   .backward_jacobian(full),
               kova::InternalFault);
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {0}, {1}, {}, Values{1}, Values{0})
                   .backward_jacobian(full),
               kova::InternalFault);
  EXPECT_THROW(MimicJointKinematicAdaptor::from_indices({0}, {0}, {1}, {0}, Values{}, Values{0})
                   .backward_jacobian(full),
               kova::InternalFault);
}

TEST(AdaptorConstruction, KeepsCopiesOfTheLists) {
  Values multipliers{1.5};
  Values offsets{0.25};
  const auto adaptor =
      MimicJointKinematicAdaptor::from_indices({0, 2}, {0}, {1}, {0}, multipliers, offsets);
  multipliers[0] = 9.0;
  offsets[0] = 9.0;
  EXPECT_EQ(adaptor.target_joint_indices(), (Indices{0, 2}));
  EXPECT_EQ(adaptor.source_joint_indices(), (Indices{0}));
  EXPECT_EQ(adaptor.mimic_joint_indices(), (Indices{1}));
  EXPECT_EQ(adaptor.source_target_positions(), (Indices{0}));
  EXPECT_EQ(adaptor.multipliers(), (Values{1.5}));
  EXPECT_EQ(adaptor.offsets(), (Values{0.25}));
}

// ---------------------------------------------------------------------------------------------
// Chain rule on random robots with mimic joints

TEST(AdaptorChainRule, FoldedJacobianIsTheDerivativeWithRespectToTargets) {
  std::mt19937 rng(31);
  int with_mimic = 0;
  for (int trial = 0; trial < 40; ++trial) {
    auto created = kova::RobotWrapper::create(kova::testing::random_tree(rng));
    ASSERT_TRUE(created) << created.error();
    kova::RobotWrapper& wrapper = *created;
    const auto names = wrapper.dof_joint_names();
    const auto position_of = [&](const std::string& name) {
      return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    Indices targets, sources, mimics, source_positions;
    Values multipliers, offsets;
    for (std::size_t j = 0; j < names.size(); ++j) {
      if (!wrapper.dof_joints()[j].mimic) targets.push_back(j);
    }
    const kova::MimicJointTable table = wrapper.urdf().parse_mimic_joints();
    for (std::size_t m = 0; m < table.mimic_joint_names.size(); ++m) {
      const std::size_t source = position_of(table.source_joint_names[m]);
      sources.push_back(source);
      mimics.push_back(position_of(table.mimic_joint_names[m]));
      source_positions.push_back(static_cast<std::size_t>(
          std::find(targets.begin(), targets.end(), source) - targets.begin()));
      multipliers.push_back(table.multipliers[m]);
      offsets.push_back(table.offsets[m]);
    }
    if (table.has_mimic) ++with_mimic;
    const auto adaptor = MimicJointKinematicAdaptor::from_indices(
        targets, sources, mimics, source_positions, multipliers, offsets);

    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Values x(targets.size());
    for (double& v : x) v = value(rng);
    const auto full_qpos = [&](const Values& optimised) {
      Values qpos(names.size(), 0.0);
      for (std::size_t i = 0; i < targets.size(); ++i) qpos[targets[i]] = optimised[i];
      adaptor.forward_qpos(qpos);
      return qpos;
    };
    const std::size_t links = wrapper.link_count();
    wrapper.compute_forward_kinematics(full_qpos(x));
    std::vector<Jacobian> folded;
    for (std::size_t link = 0; link < links; ++link) {
      folded.push_back(
          adaptor.backward_jacobian(wrapper.compute_single_link_position_jacobian_cached(link)));
    }
    // Only the columns fold_columns names for the joints that move the link can be non-zero
    // (the least-squares matrices skip the others).
    for (std::size_t link = 0; link < links; ++link) {
      const std::vector<std::uint32_t> columns =
          adaptor.fold_columns(kova::link_jacobian_columns(wrapper.model(), link));
      for (std::size_t i = 0; i < targets.size(); ++i) {
        if (std::binary_search(columns.begin(), columns.end(), i)) continue;
        EXPECT_EQ(folded[link].col(static_cast<Eigen::Index>(i)), Eigen::Vector3d::Zero())
            << "trial " << trial << ", link " << link << ", target " << i;
      }
    }
    std::vector<Eigen::Vector3d> at_plus(links);
    for (std::size_t i = 0; i < x.size(); ++i) {
      Values plus = x, minus = x;
      plus[i] += 1e-6;
      minus[i] -= 1e-6;
      wrapper.compute_forward_kinematics(full_qpos(plus));
      for (std::size_t link = 0; link < links; ++link) at_plus[link] = wrapper.link_position(link);
      wrapper.compute_forward_kinematics(full_qpos(minus));
      for (std::size_t link = 0; link < links; ++link) {
        const Eigen::Vector3d numeric = (at_plus[link] - wrapper.link_position(link)) / 2e-6;
        for (int r = 0; r < 3; ++r) {
          EXPECT_NEAR(folded[link](r, static_cast<Eigen::Index>(i)), numeric(r),
                      1e-6 * (1.0 + std::abs(numeric(r))))
              << "trial " << trial << ", link " << link << ", target " << i;
        }
      }
    }
    if (HasFailure()) return;
  }
  EXPECT_GT(with_mimic, 10);
}

}  // namespace
