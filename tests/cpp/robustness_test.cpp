// Any text yields a robot or a message, and any robot that builds can be evaluated: random
// mutations of a small description must never crash, hang or read out of bounds (run under the
// sanitizers in CI).
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

constexpr const char* kSeed = R"(<?xml version="1.0"?>
<robot name="seed">
  <link name="base"/><link name="a"/><link name="b"/><link name="c"/>
  <joint name="ja" type="revolute"><parent link="base"/><child link="a"/>
    <origin xyz="0.1 0 0.2" rpy="0 0.5 1"/><axis xyz="0 0 1"/>
    <limit lower="-1" upper="1" effort="2" velocity="3"/></joint>
  <joint name="jb" type="prismatic"><parent link="a"/><child link="b"/>
    <origin xyz="0 0.3 0"/><axis xyz="1 0 0"/><mimic joint="ja" multiplier="2" offset="0.1"/>
  </joint>
  <joint name="jc" type="continuous"><parent link="b"/><child link="c"/><axis xyz="0 1 0"/>
  </joint>
</robot>
)";

std::string mutate(std::string text, std::mt19937& rng) {
  static const std::vector<std::string> pieces = {
      "<",        ">",        "/",    "\"",    "=",      " ",  "<!DOCTYPE x>", "<joint name=\"z\">",
      "</joint>", "link",     "base", "a",     "b",      "c",  "ja",           "parent",
      "child",    "\xc3\xa9", "\xff", "&amp;", "-1e400", "nan"};
  std::uniform_int_distribution<int> edits(1, 4);
  const int count = edits(rng);
  for (int e = 0; e < count && !text.empty(); ++e) {
    std::uniform_int_distribution<std::size_t> at(0, text.size() - 1);
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
    std::uniform_int_distribution<int> kind(0, 2);
    const std::size_t position = at(rng);
    switch (kind(rng)) {
      case 0:
        text.erase(position, std::min<std::size_t>(text.size() - position, 1 + at(rng) % 8));
        break;
      case 1:
        text.insert(position, pieces[piece(rng)]);
        break;
      default:
        text[position] = pieces[piece(rng)][0];
        break;
    }
  }
  return text;
}

TEST(Robustness, MutatedDescriptionsParseOrFailCleanly) {
  std::mt19937 rng(12345);
  int parsed = 0;
  int built = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::string text = mutate(kSeed, rng);
    auto robot = kova::UrdfRobot::from_str(text);
    if (!robot) {
      EXPECT_FALSE(robot.error().empty());
      continue;
    }
    ++parsed;
    for (const auto& [name, index] : robot->link_index) {
      ASSERT_LT(index, robot->links.size());
      EXPECT_EQ(robot->links[index].name, name);
    }
    for (const auto& [name, index] : robot->joint_index) {
      ASSERT_LT(index, robot->joints.size());
      EXPECT_EQ(robot->joints[index].name, name);
    }
    auto wrapper = kova::RobotWrapper::create(std::move(*robot));
    if (!wrapper) continue;
    ++built;
    std::vector<double> qpos(wrapper->dof() + static_cast<std::size_t>(trial % 2), 0.3);
    wrapper->compute_forward_kinematics(qpos);
    for (std::size_t link = 0; link < wrapper->link_count(); ++link) {
      const kova::Jacobian jacobian = wrapper->compute_single_link_position_jacobian_cached(link);
      EXPECT_EQ(static_cast<std::size_t>(jacobian.cols()), wrapper->dof());
    }
  }
  // The mutations must leave enough valid documents to exercise the later stages.
  EXPECT_GT(parsed, 300);
  EXPECT_GT(built, 200);
}

}  // namespace
