// Small helpers that build robot descriptions in code for tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kova/urdf.hpp"

namespace kova::testing {

inline JointSpec make_joint(std::string name, std::string type, std::string parent,
                            std::string child) {
  JointSpec joint;
  joint.name = std::move(name);
  joint.joint_type = std::move(type);
  joint.parent = std::move(parent);
  joint.child = std::move(child);
  return joint;
}

inline UrdfRobot make_robot(const std::vector<std::string>& links, std::vector<JointSpec> joints) {
  UrdfRobot robot;
  robot.name = "test";
  for (const std::string& link : links) robot.links.push_back(LinkSpec{link});
  robot.joints = std::move(joints);
  robot.rebuild_indices();
  return robot;
}

// A robot whose root "base" carries one joint of the given type per name, in order.
inline UrdfRobot star_robot(const std::vector<std::string>& joint_names,
                            const std::string& type = "revolute") {
  std::vector<std::string> links{"base"};
  std::vector<JointSpec> joints;
  for (const std::string& name : joint_names) {
    links.push_back("link_of_" + name);
    joints.push_back(make_joint(name, type, "base", "link_of_" + name));
  }
  return make_robot(links, std::move(joints));
}

}  // namespace kova::testing
