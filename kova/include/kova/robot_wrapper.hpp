// The kinematic model the optimisers work on.
//
// Construction fixes, once, everything that depends only on the robot: the order of the degrees
// of freedom (the contract for every joint vector that enters or leaves the system), their
// limits, the name lookup tables, and a plan of plain indices for forward kinematics and
// Jacobians. Evaluation then only rewrites the per-link transform buffer (model vs. data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "kova/result.hpp"
#include "kova/urdf.hpp"

namespace kova {

// 3 x n position Jacobian, column-major: column j at positions 3j, 3j+1, 3j+2.
using Jacobian = Eigen::Matrix<double, 3, Eigen::Dynamic>;

// Sorts DOF joint candidates into the canonical order: the six dummy free joints first, then the
// fixed joint order of a recognised hand, then every other joint in URDF order (stable).
std::vector<JointSpec> reorder_dof_joints_like_pinocchio(std::vector<JointSpec> candidates);

class RobotWrapper {
 public:
  // Takes the robot by value. Fails with "No root link found", or when the joint graph has a cycle
  // or would make the breadth-first traversal absurdly long.
  static Result<RobotWrapper> create(UrdfRobot urdf);

  const UrdfRobot& urdf() const { return urdf_; }
  // Non-fixed joints in DOF order; position i of a qpos belongs to entry i.
  const std::vector<JointSpec>& dof_joints() const { return dof_joints_; }
  // (lower, upper) per DOF joint; (-10000, 10000) without <limit> or for mimic joints.
  const std::vector<std::pair<double, double>>& joint_limits() const { return joint_limits_; }
  // One transform per link of urdf().links, written by compute_forward_kinematics.
  const std::vector<Transform>& link_transforms() const { return link_transforms_; }
  const std::string& root_link() const { return root_link_; }
  const std::unordered_map<std::string, std::size_t>& dof_joint_index() const {
    return dof_joint_index_;
  }
  const std::unordered_map<std::string, std::size_t>& link_index() const { return link_index_; }
  const std::unordered_map<std::string, std::string>& child_link_joint() const {
    return child_link_joint_;
  }
  const std::unordered_map<std::string, std::vector<std::size_t>>& parent_link_joints() const {
    return parent_link_joints_;
  }

  std::size_t dof() const { return dof_joints_.size(); }
  std::size_t link_count() const { return link_transforms_.size(); }
  std::vector<std::string> dof_joint_names() const;
  std::vector<std::string> link_names() const;

  // Breadth-first from the root: T = P * origin * M(q). Joints without a qpos entry move with
  // q = 0; links the traversal does not reach keep their transform. No allocation.
  void compute_forward_kinematics(std::span<const double> qpos);

  // Translation of the link's transform. Throws InternalFault for an index out of range.
  Eigen::Vector3d link_position(std::size_t link) const;

  // d(link origin)/d(qpos) from the transforms of the last forward-kinematics call.
  // Throws InternalFault for a link index out of range.
  Jacobian compute_single_link_position_jacobian_cached(std::size_t link) const;
  // Same, into a caller-owned 3 x dof matrix (no allocation); `out` must have dof() columns,
  // otherwise InternalFault.
  void compute_single_link_position_jacobian_cached(std::size_t link,
                                                    Eigen::Ref<Jacobian> out) const;

 private:
  RobotWrapper() = default;
  Status build_plan();

  // How a joint moves its child, decided once from the type string.
  enum class Motion : std::uint8_t { kRevolute, kPrismatic, kNone };
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // Forward kinematics as a flat plan: the breadth-first visits that have joints to follow, in
  // visiting order. Each visit copies its link's transform when it starts, then runs its steps.
  struct Visit {
    std::uint32_t link_slot;
    std::uint32_t first_step;  // range into steps_
    std::uint32_t step_count;
  };
  struct Step {
    std::uint32_t joint;       // position in urdf_.joints
    std::uint32_t child_slot;  // kNone when the child is not a known link
    std::uint32_t dof;         // position in qpos; kNone when the joint moves with q = 0
    Motion motion;
    std::uint32_t frame = kNone;  // entry of joint_frames_ this step writes, or kNone
  };
  // Upward walk for Jacobians over link names (a functional graph, checked acyclic): the next
  // name towards the root and the DOF columns whose joint name the walk collects at this name.
  struct UpNode {
    std::uint32_t up;  // kNone at the end of the walk
    std::uint32_t first_column;
    std::uint32_t column_count;
  };
  struct Column {
    std::uint32_t dof;          // Jacobian column, position in dof_joints_
    std::uint32_t parent_slot;  // transform of the joint's parent link; kNone: column stays zero
    Motion motion;
    std::uint32_t frame = kNone;  // entry of joint_frames_ holding this column's joint frame
  };
  // A joint's axis and origin in root coordinates, taken from the parent * origin product that
  // forward kinematics computes anyway. A column reads it instead of repeating that product when
  // the plan proves both would be the same numbers (see link_joint_frames in
  // kinematic_plan.cpp).
  struct JointFrame {
    double axis[3];
    double origin[3];
  };
  void link_joint_frames();
  static void store_joint_frame(const Transform& offset, const Eigen::Vector3d& axis,
                                JointFrame& frame);

  UrdfRobot urdf_;
  std::vector<JointSpec> dof_joints_;
  std::vector<std::pair<double, double>> joint_limits_;
  std::vector<Transform> link_transforms_;
  std::string root_link_;
  std::unordered_map<std::string, std::size_t> dof_joint_index_;
  std::unordered_map<std::string, std::size_t> link_index_;
  std::unordered_map<std::string, std::string> child_link_joint_;
  std::unordered_map<std::string, std::vector<std::size_t>> parent_link_joints_;

  std::uint32_t root_slot_ = kNone;
  std::vector<Visit> visits_;
  std::vector<Step> steps_;
  std::vector<std::uint32_t> link_nodes_;  // per link slot: its name's node in up_nodes_
  std::vector<UpNode> up_nodes_;
  std::vector<Column> columns_;
  std::vector<JointFrame> joint_frames_;
  bool joint_frames_current_ = false;  // set by the first forward-kinematics call
};

}  // namespace kova
