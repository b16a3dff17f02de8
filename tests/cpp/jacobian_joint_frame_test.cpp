// Forward kinematics keeps each joint's frame (axis and origin in root coordinates) for the
// Jacobians when the plan proves it is the same product the Jacobian would form. These tests
// hold the Jacobians to the straightforward computation from the link transforms, bit for bit,
// on the real hands and on graphs where the stored frame must not be used.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"
#include "test_data.hpp"

namespace {

// The Jacobian of one link written out from the link transforms and the name maps, with the
// products in the same order as the library's.
kova::Jacobian reference_jacobian(const kova::RobotWrapper& robot, std::size_t link) {
  kova::Jacobian out = kova::Jacobian::Zero(3, static_cast<Eigen::Index>(robot.dof()));
  const kova::Transform& t = robot.link_transforms()[link];
  const double px = t(0, 3), py = t(1, 3), pz = t(2, 3);
  std::set<std::string> between;
  std::string current = robot.urdf().links[link].name;
  while (true) {
    const auto found = robot.child_link_joint().find(current);
    if (found == robot.child_link_joint().end()) break;
    between.insert(found->second);
    const kova::JointSpec* joint = nullptr;
    for (const auto& j : robot.urdf().joints) {
      if (j.name == found->second) {
        joint = &j;
        break;
      }
    }
    if (joint == nullptr || joint->parent == current) break;
    current = joint->parent;
  }
  for (std::size_t j = 0; j < robot.dof(); ++j) {
    const kova::JointSpec& d = robot.dof_joints()[j];
    if (between.count(d.name) == 0) continue;
    const auto parent = robot.link_index().find(d.parent);
    if (parent == robot.link_index().end()) continue;
    const kova::Transform& p = robot.link_transforms()[parent->second];
    const kova::Transform& o = d.origin;
    double f[3][4];
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) {
        f[r][c] = p(r, 0) * o(0, c) + p(r, 1) * o(1, c) + p(r, 2) * o(2, c) + p(r, 3) * o(3, c);
      }
    }
    const Eigen::Vector3d& a = d.axis;
    const double wx = f[0][0] * a.x() + f[0][1] * a.y() + f[0][2] * a.z();
    const double wy = f[1][0] * a.x() + f[1][1] * a.y() + f[1][2] * a.z();
    const double wz = f[2][0] * a.x() + f[2][1] * a.y() + f[2][2] * a.z();
    const auto col = static_cast<Eigen::Index>(j);
    if (d.joint_type == "revolute" || d.joint_type == "continuous") {
      const double dx = px - f[0][3], dy = py - f[1][3], dz = pz - f[2][3];
      out(0, col) = wy * dz - wz * dy;
      out(1, col) = wz * dx - wx * dz;
      out(2, col) = wx * dy - wy * dx;
    } else if (d.joint_type == "prismatic") {
      out(0, col) = wx;
      out(1, col) = wy;
      out(2, col) = wz;
    }
  }
  return out;
}

bool same_bits(const kova::Jacobian& a, const kova::Jacobian& b) {
  return a.cols() == b.cols() &&
         std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}

void expect_every_link_matches(const kova::RobotWrapper& robot, const std::string& what) {
  for (std::size_t link = 0; link < robot.link_count(); ++link) {
    const kova::Jacobian got = robot.compute_single_link_position_jacobian_cached(link);
    const kova::Jacobian want = reference_jacobian(robot, link);
    EXPECT_TRUE(same_bits(got, want))
        << what << ", link " << robot.urdf().links[link].name << "\ngot\n"
        << got << "\nwant\n"
        << want;
  }
}

kova::RobotWrapper wrapper_from_text(const std::string& text) {
  auto urdf = kova::UrdfRobot::from_str(text);
  EXPECT_TRUE(urdf.has_value());
  auto robot = kova::RobotWrapper::create(std::move(*urdf));
  EXPECT_TRUE(robot.has_value());
  return std::move(*robot);
}

class RealHands : public ::testing::TestWithParam<const char*> {};

TEST_P(RealHands, JacobiansMatchTheTransformsBitForBit) {
  const auto path = kova::testing::test_robot(GetParam());
  auto urdf = kova::UrdfRobot::from_file(path);
  ASSERT_TRUE(urdf.has_value()) << urdf.error();
  auto made = kova::RobotWrapper::create(std::move(*urdf));
  ASSERT_TRUE(made.has_value()) << made.error();
  kova::RobotWrapper& robot = *made;
  expect_every_link_matches(robot, "before any forward kinematics");
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> angle(-1.5, 1.5);
  for (int trial = 0; trial < 3; ++trial) {
    std::vector<double> q(robot.dof());
    for (double& v : q) v = angle(rng);
    robot.compute_forward_kinematics(q);
    expect_every_link_matches(robot, "trial " + std::to_string(trial));
  }
}

INSTANTIATE_TEST_SUITE_P(SharedRobots, RealHands,
                         ::testing::Values("allegro/allegro_hand_description_right.urdf",
                                           "shadow_2020/shadowhand_motor.urdf",
                                           "schunk_svh/svh.urdf", "inspire/FTP_right_hand.urdf"));

// Link `b` is the child of two joints: its transform is written twice, the later write winning,
// so the frame of joint `j3` (below `b`) taken during the traversal is not the product of the
// final transforms. The Jacobian must still follow the final transforms.
TEST(JointFrames, LinkWrittenTwiceUsesTheFinalTransform) {
  kova::RobotWrapper robot = wrapper_from_text(R"(<robot name="diamond">
    <link name="root"/><link name="a"/><link name="b"/><link name="c"/>
    <joint name="j1" type="revolute"><parent link="root"/><child link="a"/>
      <origin xyz="0.1 0 0"/><axis xyz="0 0 1"/></joint>
    <joint name="j3" type="revolute"><parent link="b"/><child link="c"/>
      <origin xyz="0 0.2 0" rpy="0.3 0 0"/><axis xyz="1 0 0"/></joint>
    <joint name="j2" type="revolute"><parent link="a"/><child link="b"/>
      <origin xyz="0 0 0.3"/><axis xyz="0 1 0"/></joint>
    <joint name="j0" type="revolute"><parent link="root"/><child link="b"/>
      <origin xyz="0 0 -0.3"/><axis xyz="0 1 0"/></joint>
  </robot>)");
  robot.compute_forward_kinematics(std::vector<double>{0.4, -0.7, 0.9, 0.2});
  expect_every_link_matches(robot, "diamond");
}

// Two joints share a name: the DOF column belongs to the first, the traversal steps both.
TEST(JointFrames, DuplicateJointNames) {
  kova::RobotWrapper robot = wrapper_from_text(R"(<robot name="twins">
    <link name="root"/><link name="a"/><link name="b"/><link name="c"/>
    <joint name="j" type="revolute"><parent link="root"/><child link="a"/>
      <origin xyz="0.1 0 0"/><axis xyz="0 0 1"/></joint>
    <joint name="j" type="prismatic"><parent link="a"/><child link="b"/>
      <origin xyz="0 0.1 0"/><axis xyz="1 0 0"/></joint>
    <joint name="k" type="revolute"><parent link="b"/><child link="c"/>
      <origin xyz="0 0 0.1"/><axis xyz="0 1 0"/></joint>
  </robot>)");
  robot.compute_forward_kinematics(std::vector<double>{0.5, 0.25, -0.6});
  expect_every_link_matches(robot, "twins");
}

}  // namespace
