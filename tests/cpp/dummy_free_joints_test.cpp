#include <string>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "kova/retargeting_config.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

using kova::UrdfRobot;

constexpr const char* kBasePalm = R"(<robot name="two">
  <link name="base"/>
  <link name="palm"/>
  <joint name="wrist" type="revolute">
    <parent link="base"/><child link="palm"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 0 1"/><limit lower="-1" upper="1"/>
  </joint>
</robot>)";

constexpr const char* kDummyLinks[] = {"dummy_x_translation_link", "dummy_y_translation_link",
                                       "dummy_z_translation_link", "dummy_x_rotation_link",
                                       "dummy_y_rotation_link",    "dummy_z_rotation_link"};
constexpr const char* kDummyJoints[] = {"dummy_x_translation_joint", "dummy_y_translation_joint",
                                        "dummy_z_translation_joint", "dummy_x_rotation_joint",
                                        "dummy_y_rotation_joint",    "dummy_z_rotation_joint"};

TEST(DummyFreeJoints, ChainFromNewRootToPreviousRoot) {
  UrdfRobot robot = UrdfRobot::from_str(kBasePalm).value();
  kova::add_dummy_free_joints(robot);

  EXPECT_EQ(robot.name, "two");
  ASSERT_EQ(robot.links.size(), 8u);
  ASSERT_EQ(robot.joints.size(), 7u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(robot.links[i].name, kDummyLinks[i]);
    const kova::JointSpec& joint = robot.joints[i];
    EXPECT_EQ(joint.name, kDummyJoints[i]);
    EXPECT_EQ(joint.joint_type, i < 3 ? "prismatic" : "revolute");
    EXPECT_EQ(joint.parent, kDummyLinks[i]);
    EXPECT_EQ(joint.child, i < 5 ? std::string(kDummyLinks[i + 1]) : std::string("base"));
    EXPECT_TRUE(joint.origin.isIdentity(0.0));
    Eigen::Vector3d axis = Eigen::Vector3d::Zero();
    axis[static_cast<Eigen::Index>(i % 3)] = 1.0;
    EXPECT_EQ(joint.axis, axis) << joint.name;
    ASSERT_TRUE(joint.limit.has_value());
    const double bound = i < 3 ? 5.0 : 6.283185307179586;
    EXPECT_EQ(joint.limit->lower, -bound);
    EXPECT_EQ(joint.limit->upper, bound);
    EXPECT_EQ(joint.limit->effort, 10.0);
    EXPECT_EQ(joint.limit->velocity, 3.14);
    EXPECT_FALSE(joint.mimic.has_value());
  }
  EXPECT_EQ(robot.links[6].name, "base");
  EXPECT_EQ(robot.links[7].name, "palm");
  EXPECT_EQ(robot.joints[6].name, "wrist");
  EXPECT_EQ(robot.root_link(), "dummy_x_translation_link");
}

TEST(DummyFreeJoints, IndicesAreRebuilt) {
  UrdfRobot robot = UrdfRobot::from_str(kBasePalm).value();
  kova::add_dummy_free_joints(robot);
  EXPECT_EQ(robot.link_index.size(), 8u);
  EXPECT_EQ(robot.link_index.at("dummy_x_translation_link"), 0u);
  EXPECT_EQ(robot.link_index.at("dummy_z_rotation_link"), 5u);
  EXPECT_EQ(robot.link_index.at("base"), 6u);
  EXPECT_EQ(robot.link_index.at("palm"), 7u);
  EXPECT_EQ(robot.joint_index.at("dummy_x_translation_joint"), 0u);
  EXPECT_EQ(robot.joint_index.at("wrist"), 6u);
}

TEST(DummyFreeJoints, ExistingJointOfTheSameNameWinsTheIndex) {
  UrdfRobot robot = UrdfRobot::from_str(R"(<robot name="clash">
    <link name="base"/><link name="palm"/>
    <joint name="dummy_x_translation_joint" type="fixed">
      <parent link="base"/><child link="palm"/>
    </joint>
  </robot>)")
                        .value();
  kova::add_dummy_free_joints(robot);
  ASSERT_EQ(robot.joints.size(), 7u);
  EXPECT_EQ(robot.joints[0].name, "dummy_x_translation_joint");
  EXPECT_EQ(robot.joints[6].name, "dummy_x_translation_joint");
  EXPECT_EQ(robot.joint_index.at("dummy_x_translation_joint"), 6u);
}

TEST(DummyFreeJoints, RobotWithoutRootIsLeftUnchanged) {
  UrdfRobot empty;
  kova::add_dummy_free_joints(empty);
  EXPECT_TRUE(empty.links.empty());
  EXPECT_TRUE(empty.joints.empty());
  EXPECT_TRUE(empty.link_index.empty());

  UrdfRobot cycle = UrdfRobot::from_str(R"(<robot name="cycle">
    <link name="a"/><link name="b"/>
    <joint name="ab" type="fixed"><parent link="a"/><child link="b"/></joint>
    <joint name="ba" type="fixed"><parent link="b"/><child link="a"/></joint>
  </robot>)")
                        .value();
  kova::add_dummy_free_joints(cycle);
  EXPECT_EQ(cycle.links.size(), 2u);
  EXPECT_EQ(cycle.joints.size(), 2u);
  EXPECT_EQ(cycle.links[0].name, "a");
}

TEST(DummyFreeJoints, BecomeTheFirstDegreesOfFreedomWithTheirLimits) {
  UrdfRobot robot = UrdfRobot::from_str(kBasePalm).value();
  kova::add_dummy_free_joints(robot);
  const kova::RobotWrapper wrapper = kova::RobotWrapper::create(std::move(robot)).value();
  ASSERT_EQ(wrapper.dof(), 7u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(wrapper.dof_joints()[i].name, kDummyJoints[i]);
    const double bound = i < 3 ? 5.0 : 6.283185307179586;
    EXPECT_EQ(wrapper.joint_limits()[i], std::make_pair(-bound, bound));
  }
  EXPECT_EQ(wrapper.dof_joints()[6].name, "wrist");
}

TEST(DummyFreeJoints, PoseIsTranslationThenRotationsAboutXYZ) {
  UrdfRobot robot = UrdfRobot::from_str(kBasePalm).value();
  kova::add_dummy_free_joints(robot);
  kova::RobotWrapper wrapper = kova::RobotWrapper::create(std::move(robot)).value();
  const double q[] = {0.1, -0.2, 0.3, 0.4, -0.5, 0.6, 0.0};
  wrapper.compute_forward_kinematics(q);
  // palm sits 0.1 along the z axis of base, i.e. of the rotated frame.
  const Eigen::Matrix3d rotation = (Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitX()) *
                                    Eigen::AngleAxisd(-0.5, Eigen::Vector3d::UnitY()) *
                                    Eigen::AngleAxisd(0.6, Eigen::Vector3d::UnitZ()))
                                       .toRotationMatrix();
  const Eigen::Vector3d expected =
      Eigen::Vector3d(0.1, -0.2, 0.3) + rotation * Eigen::Vector3d(0, 0, 0.1);
  const Eigen::Vector3d palm = wrapper.link_position(wrapper.link_index().at("palm"));
  EXPECT_NEAR((palm - expected).norm(), 0.0, 1e-12);
}

}  // namespace
