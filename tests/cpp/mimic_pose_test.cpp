// Mimic joints set from their sources, chains in any file order, cycles left alone.
#include "kova/mimic_pose.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kinematic_model.hpp"
#include "kova/urdf.hpp"

namespace {

std::string joint(const std::string& name, const std::string& parent, const std::string& child,
                  const std::string& mimic = "") {
  return "<joint name='" + name + "' type='revolute'><parent link='" + parent + "'/><child link='" +
         child + "'/><limit lower='-1' upper='1'/>" + mimic + "</joint>";
}

TEST(MimicPose, ChainsFollowInAnyOrderAndCyclesKeepTheirValues) {
  const std::string text =
      "<robot name='r'><link name='l0'/><link name='l1'/><link name='l2'/><link name='l3'/>"
      "<link name='l4'/><link name='l5'/>" +
      joint("c", "l2", "l3", "<mimic joint='b' multiplier='3' offset='1'/>") +
      joint("b", "l1", "l2", "<mimic joint='a' multiplier='2'/>") + joint("a", "l0", "l1") +
      joint("x", "l3", "l4", "<mimic joint='y'/>") + joint("y", "l4", "l5", "<mimic joint='x'/>") +
      "</robot>";
  auto model = kova::KinematicModel::create(kova::UrdfRobot::from_str(text).value()).value();
  std::vector<double> q(model->dof(), 0.5);
  const auto at = [&](const std::string& name) { return q[*model->find_dof_joint(name)]; };
  q[*model->find_dof_joint("a")] = 0.25;
  kova::follow_mimic_joints(*model, q);
  EXPECT_DOUBLE_EQ(at("b"), 0.5);
  EXPECT_DOUBLE_EQ(at("c"), 2.5);
  EXPECT_DOUBLE_EQ(at("x"), 0.5);
  EXPECT_DOUBLE_EQ(at("y"), 0.5);
  std::vector<double> short_vector(2, 0.0);
  EXPECT_THROW(kova::follow_mimic_joints(*model, short_vector), kova::InternalFault);
}

}  // namespace
