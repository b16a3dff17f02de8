// Random robot descriptions for kinematics tests.
#pragma once

#include <algorithm>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "robot_builder.hpp"

namespace kova::testing {

inline Transform random_origin(std::mt19937& rng) {
  std::uniform_real_distribution<double> offset(-0.3, 0.3);
  std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
  const double roll = angle(rng), pitch = angle(rng), yaw = angle(rng);
  const Eigen::Matrix3d rotation = (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
                                    Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                                    Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
                                       .toRotationMatrix();
  Transform origin = Transform::Identity();
  origin.topLeftCorner<3, 3>() = rotation;
  origin.col(3).head<3>() = Eigen::Vector3d(offset(rng), offset(rng), offset(rng));
  return origin;
}

inline Eigen::Vector3d random_unit_axis(std::mt19937& rng) {
  std::normal_distribution<double> normal;
  Eigen::Vector3d axis(normal(rng), normal(rng), normal(rng));
  return axis.normalized();
}

struct RandomTreeOptions {
  int min_links = 2;
  int max_links = 20;
  bool shared_children = true;  // extra joints from a link's parent to that link, listed last
  bool mimic = true;            // some joints mimic an earlier, non-mimic DOF joint
};

// A tree of revolute, continuous, prismatic, fixed and unrecognised joints with unit axes (so
// that every Jacobian column is the derivative of forward kinematics) and rpy origins.
inline UrdfRobot random_tree(std::mt19937& rng, const RandomTreeOptions& options = {}) {
  std::uniform_int_distribution<int> link_count(options.min_links, options.max_links);
  const int n = link_count(rng);
  const char* types[] = {"revolute", "continuous", "prismatic", "fixed", "floating", "planar"};
  std::discrete_distribution<int> type_of({5, 2, 2, 2, 1, 1});
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<std::string> links;
  for (int i = 0; i < n; ++i) links.push_back("link" + std::to_string(i));
  std::vector<JointSpec> joints;
  std::vector<int> parent_of(static_cast<std::size_t>(n), -1);
  std::vector<std::string> plain_dof_joints;
  for (int i = 1; i < n; ++i) {
    std::uniform_int_distribution<int> parent(0, i - 1);
    const int p = parent(rng);
    parent_of[static_cast<std::size_t>(i)] = p;
    JointSpec joint =
        make_joint("joint" + std::to_string(i), types[type_of(rng)],
                   links[static_cast<std::size_t>(p)], links[static_cast<std::size_t>(i)]);
    joint.origin = random_origin(rng);
    joint.axis = random_unit_axis(rng);
    if (joint.joint_type == "prismatic" && unit(rng) < 0.5) joint.axis *= 1.7;
    if (joint.joint_type != "fixed") {
      if (options.mimic && !plain_dof_joints.empty() && unit(rng) < 0.25) {
        std::uniform_int_distribution<std::size_t> pick(0, plain_dof_joints.size() - 1);
        std::uniform_real_distribution<double> multiplier(-1.5, 1.5);
        joint.mimic = MimicSpec{plain_dof_joints[pick(rng)], multiplier(rng), unit(rng) - 0.5};
      } else {
        plain_dof_joints.push_back(joint.name);
      }
    }
    joints.push_back(std::move(joint));
  }
  if (options.shared_children) {
    for (int i = 1; i < n; ++i) {
      if (unit(rng) >= 0.15) continue;
      JointSpec extra =
          make_joint("extra" + std::to_string(i), types[type_of(rng)],
                     links[static_cast<std::size_t>(parent_of[static_cast<std::size_t>(i)])],
                     links[static_cast<std::size_t>(i)]);
      extra.origin = random_origin(rng);
      extra.axis = random_unit_axis(rng);
      joints.push_back(std::move(extra));
    }
  }
  std::shuffle(links.begin() + 1, links.end(), rng);
  return make_robot(links, std::move(joints));
}

}  // namespace kova::testing
