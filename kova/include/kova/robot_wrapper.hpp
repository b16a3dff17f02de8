// The kinematic model the optimisers work on.
//
// Construction fixes, once, everything that depends only on the robot: the order of the degrees
// of freedom (the contract for every joint vector that enters or leaves the system), their
// limits, the name lookup tables, and a plan of plain indices for forward kinematics and
// Jacobians. That part is an immutable KinematicModel, which a wrapper may share with other
// wrappers and threads; the wrapper's own KinematicData is the per-link transform buffer that its
// evaluations rewrite.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "kova/kinematic_model.hpp"
#include "kova/result.hpp"
#include "kova/urdf.hpp"

namespace kova {

class RobotWrapper {
 public:
  // Takes the robot by value. Fails with "No root link found", or when the joint graph has a cycle
  // or would make the breadth-first traversal absurdly long.
  static Result<RobotWrapper> create(UrdfRobot urdf);
  // A wrapper over an existing model, with a data buffer of its own. InternalFault when null.
  explicit RobotWrapper(std::shared_ptr<const KinematicModel> model);

  // The shared, immutable model, and this wrapper's data buffer.
  const std::shared_ptr<const KinematicModel>& model_ptr() const { return model_; }
  const KinematicModel& model() const { return *model_; }
  const KinematicData& data() const { return data_; }

  const UrdfRobot& urdf() const { return model_->urdf(); }
  // Non-fixed joints in DOF order; position i of a qpos belongs to entry i.
  const std::vector<JointSpec>& dof_joints() const { return model_->dof_joints(); }
  // (lower, upper) per DOF joint; (-10000, 10000) without <limit> or for mimic joints.
  const std::vector<std::pair<double, double>>& joint_limits() const {
    return model_->joint_limits();
  }
  // One transform per link of urdf().links, written by compute_forward_kinematics.
  const std::vector<Transform>& link_transforms() const { return data_.link_transforms(); }
  const std::string& root_link() const { return model_->root_link(); }
  const std::unordered_map<std::string, std::size_t>& dof_joint_index() const {
    return model_->dof_joint_index();
  }
  const std::unordered_map<std::string, std::size_t>& link_index() const {
    return model_->link_index();
  }
  const std::unordered_map<std::string, std::string>& child_link_joint() const {
    return model_->child_link_joint();
  }
  const std::unordered_map<std::string, std::vector<std::size_t>>& parent_link_joints() const {
    return model_->parent_link_joints();
  }

  std::size_t dof() const { return model_->dof(); }
  std::size_t link_count() const { return data_.link_transforms().size(); }
  std::vector<std::string> dof_joint_names() const { return model_->dof_joint_names(); }
  std::vector<std::string> link_names() const { return model_->link_names(); }

  // Breadth-first from the root: T = P * origin * M(q). Joints without a qpos entry move with
  // q = 0; links the traversal does not reach keep their transform. No allocation.
  void compute_forward_kinematics(std::span<const double> qpos) {
    forward_kinematics(*model_, data_, qpos);
  }

  // Translation of the link's transform. Throws InternalFault for an index out of range.
  Eigen::Vector3d link_position(std::size_t link) const { return data_.link_position(link); }

  // d(link origin)/d(qpos) from the transforms of the last forward-kinematics call.
  // Throws InternalFault for a link index out of range.
  Jacobian compute_single_link_position_jacobian_cached(std::size_t link) const {
    return link_position_jacobian(*model_, data_, link);
  }
  // Same, into a caller-owned 3 x dof matrix (no allocation); `out` must have dof() columns,
  // otherwise InternalFault.
  void compute_single_link_position_jacobian_cached(std::size_t link,
                                                    Eigen::Ref<Jacobian> out) const {
    link_position_jacobian(*model_, data_, link, out);
  }

 private:
  std::shared_ptr<const KinematicModel> model_;
  KinematicData data_;
};

}  // namespace kova
