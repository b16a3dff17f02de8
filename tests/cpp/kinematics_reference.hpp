// A literal implementation of forward kinematics and link Jacobians, written the plain way
// (name maps, a queue of link names, a set of joint names), against which the precomputed plan of
// RobotWrapper is compared bit for bit. Products sum their terms in index order, as the library's.
#pragma once

#include <cmath>
#include <cstring>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "kova/robot_wrapper.hpp"

namespace kova::testing {

inline Transform reference_product(const Transform& a, const Transform& b) {
  Transform out;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      double sum = a(r, 0) * b(0, c);
      for (int k = 1; k < 4; ++k) sum = sum + a(r, k) * b(k, c);
      out(r, c) = sum;
    }
  }
  return out;
}

inline Transform reference_motion(const JointSpec& joint, double q) {
  Transform m = Transform::Identity();
  const double ax = joint.axis[0];
  const double ay = joint.axis[1];
  const double az = joint.axis[2];
  if (joint.joint_type == "revolute" || joint.joint_type == "continuous") {
    const double c = std::cos(q);
    const double s = std::sin(q);
    const double t = 1.0 - c;
    m(0, 0) = c + t * (ax * ax);
    m(0, 1) = t * ax * ay - s * az;
    m(0, 2) = t * ax * az + s * ay;
    m(1, 0) = t * ax * ay + s * az;
    m(1, 1) = c + t * (ay * ay);
    m(1, 2) = t * ay * az - s * ax;
    m(2, 0) = t * ax * az - s * ay;
    m(2, 1) = t * ay * az + s * ax;
    m(2, 2) = c + t * (az * az);
  } else if (joint.joint_type == "prismatic") {
    m(0, 3) = q * ax;
    m(1, 3) = q * ay;
    m(2, 3) = q * az;
  }
  return m;
}

class ReferenceKinematics {
 public:
  explicit ReferenceKinematics(const RobotWrapper& wrapper)
      : wrapper_(wrapper), transforms_(wrapper.urdf().links.size(), Transform::Identity()) {}

  const std::vector<Transform>& transforms() const { return transforms_; }

  double joint_position(const JointSpec& joint, std::span<const double> qpos) const {
    const auto& index = wrapper_.dof_joint_index();
    if (joint.joint_type == "fixed" || index.empty()) return 0.0;
    const auto found = index.find(joint.name);
    if (found == index.end() || found->second >= qpos.size()) return 0.0;
    return qpos[found->second];
  }

  void forward(std::span<const double> qpos) {
    const auto& link_index = wrapper_.link_index();
    const auto& parent_joints = wrapper_.parent_link_joints();
    const std::string& root = wrapper_.root_link();
    if (!link_index.empty() && link_index.contains(root)) {
      transforms_[link_index.at(root)] = Transform::Identity();
    }
    std::deque<std::string> queue{root};
    while (!queue.empty()) {
      const std::string link = queue.front();
      queue.pop_front();
      if (link_index.empty() || !link_index.contains(link)) continue;
      const Transform parent = transforms_[link_index.at(link)];
      const auto joints = parent_joints.find(link);
      if (parent_joints.empty() || joints == parent_joints.end()) continue;
      for (std::size_t k : joints->second) {
        const JointSpec& joint = wrapper_.urdf().joints[k];
        const double q = joint_position(joint, qpos);
        const Transform t =
            reference_product(reference_product(parent, joint.origin), reference_motion(joint, q));
        if (link_index.contains(joint.child)) transforms_[link_index.at(joint.child)] = t;
        queue.push_back(joint.child);
      }
    }
  }

  // Reads the wrapper's own transforms, so that it checks the Jacobian alone.
  Jacobian jacobian(std::size_t link) const {
    const auto& transforms = wrapper_.link_transforms();
    Jacobian result = Jacobian::Zero(3, static_cast<Eigen::Index>(wrapper_.dof()));
    const Transform& own = transforms[link];
    const std::string name = wrapper_.urdf().links[link].name;
    std::set<std::string> between;
    std::string current = name;
    const auto& child_joint = wrapper_.child_link_joint();
    for (;;) {
      const auto found = child_joint.find(current);
      if (child_joint.empty() || found == child_joint.end()) break;
      between.insert(found->second);
      const JointSpec* first = nullptr;
      for (const JointSpec& joint : wrapper_.urdf().joints) {
        if (joint.name == found->second) {
          first = &joint;
          break;
        }
      }
      if (first == nullptr || first->parent == current) break;
      current = first->parent;
    }
    const auto& link_index = wrapper_.link_index();
    for (std::size_t j = 0; j < wrapper_.dof(); ++j) {
      const JointSpec& joint = wrapper_.dof_joints()[j];
      if (!between.contains(joint.name) || link_index.empty()) continue;
      const auto parent = link_index.find(joint.parent);
      if (parent == link_index.end()) continue;
      const Transform f = reference_product(transforms[parent->second], joint.origin);
      double w[3];
      for (int r = 0; r < 3; ++r) {
        w[r] = f(r, 0) * joint.axis[0] + f(r, 1) * joint.axis[1] + f(r, 2) * joint.axis[2];
      }
      const auto col = static_cast<Eigen::Index>(j);
      if (joint.joint_type == "revolute" || joint.joint_type == "continuous") {
        const double d[3] = {own(0, 3) - f(0, 3), own(1, 3) - f(1, 3), own(2, 3) - f(2, 3)};
        result(0, col) = w[1] * d[2] - w[2] * d[1];
        result(1, col) = w[2] * d[0] - w[0] * d[2];
        result(2, col) = w[0] * d[1] - w[1] * d[0];
      } else if (joint.joint_type == "prismatic") {
        result(0, col) = w[0];
        result(1, col) = w[1];
        result(2, col) = w[2];
      }
    }
    return result;
  }

 private:
  const RobotWrapper& wrapper_;
  std::vector<Transform> transforms_;
};

// Equal bit for bit, except that any NaN equals any NaN (payloads may differ by operand order).
inline bool same_bits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class MatrixA, class MatrixB>
bool same_bits(const MatrixA& a, const MatrixB& b) {
  if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
  for (Eigen::Index c = 0; c < a.cols(); ++c) {
    for (Eigen::Index r = 0; r < a.rows(); ++r) {
      if (!same_bits(a(r, c), b(r, c))) return false;
    }
  }
  return true;
}

}  // namespace kova::testing
