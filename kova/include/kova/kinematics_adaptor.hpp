// Couples mimic joints to the joints they follow.
//
// Forward: fills each mimic joint of a full configuration from its source joint
// (q_mimic = q_source * multiplier + offset), sequentially, so a mimic of a mimic sees the new
// value. Backward: folds the Jacobian column of each mimic joint onto the column of its source
// among the target joints (one level of the chain rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "kova/robot_wrapper.hpp"

namespace kova {

class MimicJointKinematicAdaptor {
 public:
  // No validation here: the builder derives the indices from the robot. Out-of-range indices are
  // reported as InternalFault when the adaptor is used, never read out of bounds.
  static MimicJointKinematicAdaptor from_indices(std::vector<std::size_t> target_joint_indices,
                                                 std::vector<std::size_t> source_joint_indices,
                                                 std::vector<std::size_t> mimic_joint_indices,
                                                 std::vector<std::size_t> source_target_positions,
                                                 std::span<const double> multipliers,
                                                 std::span<const double> offsets);

  // In place, mimic joints in order.
  void forward_qpos(std::span<double> qpos) const;

  // 3 x dof -> 3 x (number of target joints).
  Jacobian backward_jacobian(const Eigen::Ref<const Jacobian>& jacobian) const;
  // Same into a caller-owned 3 x T matrix (no allocation).
  void backward_jacobian(const Eigen::Ref<const Jacobian>& jacobian,
                         Eigen::Ref<Jacobian> out) const;

  // The columns of the folded Jacobian that can be non-zero when only `dof_columns` (ascending)
  // of the robot's Jacobian can be, ascending and distinct. Indices out of range fold nowhere
  // (using them faults in backward_jacobian).
  std::vector<std::uint32_t> fold_columns(std::span<const std::uint32_t> dof_columns) const;

  const std::vector<std::size_t>& target_joint_indices() const { return target_joint_indices_; }
  const std::vector<std::size_t>& source_joint_indices() const { return source_joint_indices_; }
  const std::vector<std::size_t>& mimic_joint_indices() const { return mimic_joint_indices_; }
  const std::vector<std::size_t>& source_target_positions() const {
    return source_target_positions_;
  }
  const std::vector<double>& multipliers() const { return multipliers_; }
  const std::vector<double>& offsets() const { return offsets_; }

 private:
  std::vector<std::size_t> target_joint_indices_;
  std::vector<std::size_t> source_joint_indices_;
  std::vector<std::size_t> mimic_joint_indices_;
  std::vector<std::size_t> source_target_positions_;
  std::vector<double> multipliers_;
  std::vector<double> offsets_;
};

}  // namespace kova
