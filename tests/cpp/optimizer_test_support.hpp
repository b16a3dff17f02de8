// Robots for the optimiser tests: a small synthetic hand written here, and the real robot files
// under tests/data/robots.
#pragma once

#include <gtest/gtest.h>

#include "test_data.hpp"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kova/kinematics_adaptor.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace kova_test {

// Two branches on a revolute root joint: l1 carries a revolute-prismatic chain (l2, l3) and a
// revolute joint j4 whose child l5 hangs from j5, which mimics j4 (-0.7, +0.1); a third branch
// ends in a fixed tip, and so does l5. Axes and offsets are deliberately skewed.
inline constexpr std::string_view kProbeHandUrdf = R"(<robot name="probe">
  <link name="base"/><link name="l1"/><link name="l2"/><link name="l3"/><link name="l4"/>
  <link name="l5"/><link name="l6"/><link name="tip_c"/><link name="tip_b"/>
  <joint name="j1" type="revolute"><parent link="base"/><child link="l1"/>
    <origin xyz="0 0 0.05" rpy="0 0 0"/><axis xyz="0 0 1"/><limit lower="-1" upper="1"/></joint>
  <joint name="j2" type="revolute"><parent link="l1"/><child link="l2"/>
    <origin xyz="0.04 0 0.02" rpy="0.3 0 0"/><axis xyz="0 1 0"/><limit lower="-1.5" upper="1.5"/></joint>
  <joint name="j3" type="prismatic"><parent link="l2"/><child link="l3"/>
    <origin xyz="0 0.03 0.05" rpy="0 0 0.4"/><axis xyz="1 0 0"/><limit lower="-0.02" upper="0.02"/></joint>
  <joint name="j4" type="revolute"><parent link="l1"/><child link="l4"/>
    <origin xyz="-0.03 0.01 0.04" rpy="0 0.2 0"/><axis xyz="1 0 0"/><limit lower="-1" upper="1.2"/></joint>
  <joint name="j5" type="revolute"><parent link="l4"/><child link="l5"/>
    <origin xyz="0 0 0.04" rpy="0.1 0 0"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/>
    <mimic joint="j4" multiplier="-0.7" offset="0.1"/></joint>
  <joint name="j6" type="revolute"><parent link="base"/><child link="l6"/>
    <origin xyz="0.02 -0.03 0.03" rpy="0 0 0"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
  <joint name="f7" type="fixed"><parent link="l6"/><child link="tip_c"/>
    <origin xyz="0 0 0.05" rpy="0 0 0"/></joint>
  <joint name="f8" type="fixed"><parent link="l5"/><child link="tip_b"/>
    <origin xyz="0.01 0 0.03" rpy="0 0 0"/></joint>
</robot>)";

inline kova::RobotWrapper robot_from_text(std::string_view text) {
  auto urdf = kova::UrdfRobot::from_str(text);
  if (!urdf) throw std::runtime_error("test URDF refused: " + urdf.error());
  auto robot = kova::RobotWrapper::create(std::move(*urdf));
  if (!robot) throw std::runtime_error("test robot refused: " + robot.error());
  return std::move(*robot);
}

inline kova::RobotWrapper probe_hand() {
  return robot_from_text(kProbeHandUrdf);
}

// The robot at robots/<relative>; throws when the file is missing or refused.
inline kova::RobotWrapper test_robot(const std::string& relative) {
  const std::filesystem::path path = kova::testing::test_robot(relative);
  auto urdf = kova::UrdfRobot::from_file(path);
  if (!urdf) throw std::runtime_error(path.string() + ": " + urdf.error());
  auto robot = kova::RobotWrapper::create(std::move(*urdf));
  if (!robot) throw std::runtime_error(path.string() + ": " + robot.error());
  return std::move(*robot);
}

inline std::size_t position_in(const std::vector<std::string>& names, const std::string& name) {
  const auto found = std::find(names.begin(), names.end(), name);
  if (found == names.end()) throw std::runtime_error("no joint " + name);
  return static_cast<std::size_t>(found - names.begin());
}

// The adaptor a configuration build would install: indices from the robot's mimic table.
inline kova::MimicJointKinematicAdaptor mimic_adaptor(const kova::RobotWrapper& robot,
                                                      const std::vector<std::string>& targets) {
  const kova::MimicJointTable table = robot.urdf().parse_mimic_joints();
  const std::vector<std::string> dof = robot.dof_joint_names();
  std::vector<std::size_t> target_indices;
  std::vector<std::size_t> source_indices;
  std::vector<std::size_t> mimic_indices;
  std::vector<std::size_t> source_positions;
  for (const std::string& name : targets) target_indices.push_back(position_in(dof, name));
  for (std::size_t m = 0; m < table.mimic_joint_names.size(); ++m) {
    source_indices.push_back(position_in(dof, table.source_joint_names[m]));
    mimic_indices.push_back(position_in(dof, table.mimic_joint_names[m]));
    source_positions.push_back(position_in(targets, table.source_joint_names[m]));
  }
  return kova::MimicJointKinematicAdaptor::from_indices(
      std::move(target_indices), std::move(source_indices), std::move(mimic_indices),
      std::move(source_positions), table.multipliers, table.offsets);
}

// DOF joint names of the robot that do not mimic another joint.
inline std::vector<std::string> non_mimic_joints(const kova::RobotWrapper& robot) {
  std::vector<std::string> names;
  for (const kova::JointSpec& joint : robot.dof_joints()) {
    if (!joint.mimic) names.push_back(joint.name);
  }
  return names;
}

}  // namespace kova_test
