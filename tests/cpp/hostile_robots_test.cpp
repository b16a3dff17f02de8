// Degenerate and very large robots: no links, a single link, thousands of links in a chain or
// side by side. Each either builds and gives exact kinematics or fails with a clear message.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "hostile_support.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

namespace fs = std::filesystem;
using kova_config_test::TempDir;
using kova_hostile::build;
using kova_hostile::position_config;

TEST(HostileRobots, RobotWithoutLinksHasNoRoot) {
  for (const char* text : {"<robot/>", "<robot name=\"empty\"></robot>",
                           "<?xml version=\"1.0\"?><robot><!-- nothing --></robot>"}) {
    auto robot = kova::UrdfRobot::from_str(text);
    ASSERT_TRUE(robot) << robot.error();
    EXPECT_FALSE(robot->root_link());
    auto wrapper = kova::RobotWrapper::create(std::move(*robot));
    ASSERT_FALSE(wrapper);
    EXPECT_EQ(wrapper.error(), "No root link found");
  }
}

TEST(HostileRobots, EmptyRobotFailsTheBuildWithoutDummyJoints) {
  TempDir dir;
  for (bool dummy : {false, true}) {
    auto config = position_config(dir.write("empty.urdf", "<robot/>"), {"palm"});
    config.add_dummy_free_joint = dummy;
    auto built = std::move(config).build();
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error(), "No root link found");
  }
}

// One link and no joint: nothing to optimise. The frame is solved over zero variables.
TEST(HostileRobots, RobotWithoutJointsRetargetsToAnEmptyVector) {
  TempDir dir;
  auto seq = build(
      position_config(dir.write("one.urdf", "<robot><link name=\"palm\"/></robot>"), {"palm"}));
  EXPECT_EQ(seq.optimizer().opt_dof(), 0u);
  const std::vector<double> ref = {0.1, 0.2, 0.3};
  for (int frame = 0; frame < 3; ++frame) EXPECT_TRUE(seq.retarget(ref, {}).empty());
  EXPECT_TRUE(seq.get_qpos(std::nullopt).empty());
  auto positions = seq.optimizer().link_positions({}, std::vector<std::string>{"palm"});
  ASSERT_TRUE(positions) << positions.error();
  EXPECT_EQ((*positions)[0], (kova::LinkPosition{0.0, 0.0, 0.0}));
}

// Only fixed joints: links move nowhere, the frame has no variables.
TEST(HostileRobots, OnlyFixedJointsGiveNoDegreesOfFreedom) {
  TempDir dir;
  const std::string text =
      "<robot><link name=\"a\"/><link name=\"b\"/><joint name=\"f\" type=\"fixed\">"
      "<parent link=\"a\"/><child link=\"b\"/><origin xyz=\"1 2 3\"/></joint></robot>";
  auto seq = build(position_config(dir.write("fixed.urdf", text), {"b"}));
  const std::vector<double> ref = {0.0, 0.0, 0.0};
  EXPECT_TRUE(seq.retarget(ref, {}).empty());
  auto positions = seq.optimizer().link_positions({}, std::vector<std::string>{"b"});
  ASSERT_TRUE(positions) << positions.error();
  EXPECT_EQ((*positions)[0], (kova::LinkPosition{1.0, 2.0, 3.0}));
}

TEST(HostileRobots, ChainOfThousandsOfLinksHasExactKinematics) {
  constexpr std::size_t kLinks = 3000;
  auto robot = kova::UrdfRobot::from_str(kova_hostile::chain_urdf(kLinks));
  ASSERT_TRUE(robot) << robot.error();
  auto wrapper = kova::RobotWrapper::create(std::move(*robot));
  ASSERT_TRUE(wrapper) << wrapper.error();
  ASSERT_EQ(wrapper->dof(), kLinks);
  // All joints at zero: the last link sits 1 cm per link along x.
  wrapper->compute_forward_kinematics(std::vector<double>(kLinks, 0.0));
  EXPECT_NEAR(wrapper->link_position(kLinks).x(), 0.01 * kLinks, 1e-9);
  const kova::Jacobian jacobian = wrapper->compute_single_link_position_jacobian_cached(kLinks);
  ASSERT_EQ(jacobian.cols(), static_cast<Eigen::Index>(kLinks));
  // Joint k (column k - 1) turns about z at x = 0.01 k, so d(tip)/dq = (0, 0.01 (n - k), 0).
  EXPECT_NEAR(jacobian(1, 0), 0.01 * (kLinks - 1), 1e-9);
  EXPECT_NEAR(jacobian(1, kLinks - 2), 0.01, 1e-12);
  EXPECT_NEAR(jacobian(1, kLinks - 1), 0.0, 1e-12);
  EXPECT_DOUBLE_EQ(jacobian(0, 0), 0.0);
}

TEST(HostileRobots, ChainOfThousandsOfLinksRetargetsAFewJoints) {
  TempDir dir;
  constexpr std::size_t kLinks = 2000;
  auto config = position_config(dir.write("chain.urdf", kova_hostile::chain_urdf(kLinks)),
                                {"l" + std::to_string(kLinks)});
  config.target_joint_names = std::vector<std::string>{"j1", "j2"};
  auto seq = build(std::move(config));
  EXPECT_EQ(seq.optimizer().opt_dof(), 2u);
  EXPECT_EQ(seq.optimizer().idx_pin2fixed().size(), kLinks - 2);
  const std::vector<double> ref = {15.0, 10.0, 0.0};
  const std::vector<double> q = seq.retarget(ref, {});
  ASSERT_EQ(q.size(), kLinks);
  for (double v : q) EXPECT_TRUE(std::isfinite(v));
  EXPECT_GT(q[0], 0.1);  // the chain turns towards +y
}

TEST(HostileRobots, WideRobotOfThousandsOfLinks) {
  TempDir dir;
  constexpr std::size_t kLinks = 5000;
  auto config =
      position_config(dir.write("wide.urdf", kova_hostile::wide_urdf(kLinks)), {"c0", "c4999"});
  config.target_joint_names = std::vector<std::string>{"p0", "p4999"};
  auto seq = build(std::move(config));
  const std::vector<double> ref = {0.0, 0.25, 0.0, 4.999, -0.5, 0.0};
  const std::vector<double> q = seq.retarget(ref, {});
  ASSERT_EQ(q.size(), kLinks);
  auto positions = seq.optimizer().link_positions(q, std::vector<std::string>{"c0", "c4999"});
  ASSERT_TRUE(positions) << positions.error();
  EXPECT_NEAR((*positions)[0][1], 0.25, 0.02);
  EXPECT_NEAR((*positions)[1][1], -0.5, 0.02);
  EXPECT_NEAR((*positions)[1][0], 4.999, 1e-9);
}

// Many paths to the same links (stacked diamonds) would make forward kinematics exponential; the
// wrapper refuses such a graph instead of unrolling it.
TEST(HostileRobots, ExponentialJointGraphIsRefused) {
  std::string text = "<robot><link name=\"n0\"/>";
  for (int i = 1; i <= 40; ++i) {
    const std::string a = "n" + std::to_string(i - 1);
    const std::string b = "n" + std::to_string(i);
    text += "<link name=\"" + b + "\"/>";
    for (int k = 0; k < 2; ++k) {
      text += "<joint name=\"j" + std::to_string(i) + "_" + std::to_string(k) +
              "\" type=\"fixed\"><parent link=\"" + a + "\"/><child link=\"" + b + "\"/></joint>";
    }
  }
  auto robot = kova::UrdfRobot::from_str(text + "</robot>");
  ASSERT_TRUE(robot) << robot.error();
  auto wrapper = kova::RobotWrapper::create(std::move(*robot));
  ASSERT_FALSE(wrapper);
  EXPECT_TRUE(wrapper.error().starts_with("Joint graph has too many paths")) << wrapper.error();
}

TEST(HostileRobots, JointCycleIsRefused) {
  const std::string text =
      "<robot><link name=\"r\"/><link name=\"a\"/><link name=\"b\"/>"
      "<joint name=\"ra\" type=\"fixed\"><parent link=\"r\"/><child link=\"a\"/></joint>"
      "<joint name=\"ab\" type=\"fixed\"><parent link=\"a\"/><child link=\"b\"/></joint>"
      "<joint name=\"ba\" type=\"fixed\"><parent link=\"b\"/><child link=\"a\"/></joint></robot>";
  auto robot = kova::UrdfRobot::from_str(text);
  ASSERT_TRUE(robot) << robot.error();
  auto wrapper = kova::RobotWrapper::create(std::move(*robot));
  ASSERT_FALSE(wrapper);
  EXPECT_TRUE(wrapper.error().ends_with("closes a cycle in the kinematic tree")) << wrapper.error();
}

}  // namespace
