// Prints the degrees of freedom of a robot description: names in joint-vector order and limits.
//
//   print_dof [robot.urdf]
//
// Without an argument it reads a small embedded two-finger gripper.
#include <cstdio>
#include <string_view>

#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

constexpr std::string_view kEmbeddedRobot = R"(<?xml version="1.0"?>
<robot name="two_finger_gripper">
  <link name="palm"/>
  <link name="left_proximal"/>
  <link name="left_distal"/>
  <link name="right_proximal"/>
  <link name="right_distal"/>
  <joint name="left_base" type="revolute">
    <parent link="palm"/><child link="left_proximal"/>
    <origin xyz="0.02 0 0.05" rpy="0 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-0.5" upper="1.2" effort="1" velocity="2"/>
  </joint>
  <joint name="left_tip" type="revolute">
    <parent link="left_proximal"/><child link="left_distal"/>
    <origin xyz="0 0 0.04"/><axis xyz="0 1 0"/>
    <limit lower="0" upper="1.5"/>
  </joint>
  <joint name="right_base" type="revolute">
    <parent link="palm"/><child link="right_proximal"/>
    <origin xyz="-0.02 0 0.05" rpy="0 0 3.14159265"/><axis xyz="0 1 0"/>
    <limit lower="-0.5" upper="1.2"/>
    <mimic joint="left_base" multiplier="1" offset="0"/>
  </joint>
  <joint name="right_tip" type="revolute">
    <parent link="right_proximal"/><child link="right_distal"/>
    <origin xyz="0 0 0.04"/><axis xyz="0 1 0"/>
    <limit lower="0" upper="1.5"/>
  </joint>
</robot>
)";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: print_dof [robot.urdf]\n");
    return 2;
  }
  auto robot = argc == 2 ? kova::UrdfRobot::from_file(argv[1])
                         : kova::UrdfRobot::from_str(kEmbeddedRobot);
  if (!robot) {
    std::fprintf(stderr, "print_dof: %s\n", robot.error().c_str());
    return 2;
  }
  const std::string name = robot->name;
  auto wrapper = kova::RobotWrapper::create(std::move(*robot));
  if (!wrapper) {
    std::fprintf(stderr, "print_dof: %s\n", wrapper.error().c_str());
    return 2;
  }
  std::printf("robot %s: %zu degrees of freedom, root link %s\n", name.c_str(), wrapper->dof(),
              wrapper->root_link().c_str());
  for (std::size_t i = 0; i < wrapper->dof(); ++i) {
    const auto& joint = wrapper->dof_joints()[i];
    const auto [lower, upper] = wrapper->joint_limits()[i];
    std::printf("%3zu  %-24s %-10s [% .4f, % .4f]%s\n", i, joint.name.c_str(),
                joint.joint_type.c_str(), lower, upper, joint.mimic ? "  (mimic)" : "");
  }
  return 0;
}
