#include "kova/kinematics_adaptor.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace kova {

MimicJointKinematicAdaptor MimicJointKinematicAdaptor::from_indices(
    std::vector<std::size_t> target_joint_indices, std::vector<std::size_t> source_joint_indices,
    std::vector<std::size_t> mimic_joint_indices, std::vector<std::size_t> source_target_positions,
    std::span<const double> multipliers, std::span<const double> offsets) {
  MimicJointKinematicAdaptor adaptor;
  adaptor.target_joint_indices_ = std::move(target_joint_indices);
  adaptor.source_joint_indices_ = std::move(source_joint_indices);
  adaptor.mimic_joint_indices_ = std::move(mimic_joint_indices);
  adaptor.source_target_positions_ = std::move(source_target_positions);
  adaptor.multipliers_.assign(multipliers.begin(), multipliers.end());
  adaptor.offsets_.assign(offsets.begin(), offsets.end());
  return adaptor;
}

void MimicJointKinematicAdaptor::forward_qpos(std::span<double> qpos) const {
  const std::size_t mimic_count = mimic_joint_indices_.size();
  for (std::size_t m = 0; m < mimic_count; ++m) {
    check_index(m, source_joint_indices_.size());
    check_index(m, multipliers_.size());
    check_index(m, offsets_.size());
    const std::size_t mimic = mimic_joint_indices_[m];
    const std::size_t source = source_joint_indices_[m];
    check_index(mimic, qpos.size());
    check_index(source, qpos.size());
    qpos[mimic] = qpos[source] * multipliers_[m] + offsets_[m];
  }
}

Jacobian MimicJointKinematicAdaptor::backward_jacobian(
    const Eigen::Ref<const Jacobian>& jacobian) const {
  Jacobian result(3, static_cast<Eigen::Index>(target_joint_indices_.size()));
  backward_jacobian(jacobian, result);
  return result;
}

void MimicJointKinematicAdaptor::backward_jacobian(const Eigen::Ref<const Jacobian>& jacobian,
                                                   Eigen::Ref<Jacobian> out) const {
  const std::size_t target_count = target_joint_indices_.size();
  if (static_cast<std::size_t>(out.cols()) != target_count) {
    throw InternalFault("folded Jacobian has " + std::to_string(out.cols()) +
                        " columns but there are " + std::to_string(target_count) +
                        " target joints");
  }
  // Plain column pointers: this runs once per target link and objective evaluation. The
  // per-mimic lists are checked once, before the loop that reads them.
  const auto columns = static_cast<std::size_t>(jacobian.cols());
  const double* const in = jacobian.data();
  const Eigen::Index in_stride = jacobian.outerStride();
  double* const result = out.data();
  const Eigen::Index out_stride = out.outerStride();
  for (std::size_t i = 0; i < target_count; ++i) {
    const std::size_t from = target_joint_indices_[i];
    check_index(from, columns);
    const double* const column = in + static_cast<Eigen::Index>(from) * in_stride;
    double* const to = result + static_cast<Eigen::Index>(i) * out_stride;
    to[0] = column[0];
    to[1] = column[1];
    to[2] = column[2];
  }
  const std::size_t mimic_count = mimic_joint_indices_.size();
  if (mimic_count > 0) {
    check_index(mimic_count - 1, source_target_positions_.size());
    check_index(mimic_count - 1, multipliers_.size());
  }
  for (std::size_t m = 0; m < mimic_count; ++m) {
    const std::size_t position = source_target_positions_[m];
    const std::size_t mimic = mimic_joint_indices_[m];
    check_index(position, target_count);
    check_index(mimic, columns);
    const double* const column = in + static_cast<Eigen::Index>(mimic) * in_stride;
    double* const to = result + static_cast<Eigen::Index>(position) * out_stride;
    const double multiplier = multipliers_[m];
    to[0] += multiplier * column[0];
    to[1] += multiplier * column[1];
    to[2] += multiplier * column[2];
  }
}

std::vector<std::uint32_t> MimicJointKinematicAdaptor::fold_columns(
    std::span<const std::uint32_t> dof_columns) const {
  const auto moves = [&](std::size_t dof) {
    return std::binary_search(dof_columns.begin(), dof_columns.end(), dof);
  };
  const std::size_t target_count = target_joint_indices_.size();
  std::vector<std::uint32_t> folded;
  for (std::size_t i = 0; i < target_count; ++i) {
    if (moves(target_joint_indices_[i])) folded.push_back(static_cast<std::uint32_t>(i));
  }
  const std::size_t mimic_count =
      std::min(mimic_joint_indices_.size(), source_target_positions_.size());
  for (std::size_t m = 0; m < mimic_count; ++m) {
    const std::size_t position = source_target_positions_[m];
    if (position < target_count && moves(mimic_joint_indices_[m])) {
      folded.push_back(static_cast<std::uint32_t>(position));
    }
  }
  std::sort(folded.begin(), folded.end());
  folded.erase(std::unique(folded.begin(), folded.end()), folded.end());
  return folded;
}

}  // namespace kova
