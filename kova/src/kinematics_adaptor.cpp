#include "kova/kinematics_adaptor.hpp"

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
  const auto columns = static_cast<std::size_t>(jacobian.cols());
  for (std::size_t i = 0; i < target_count; ++i) {
    const std::size_t from = target_joint_indices_[i];
    check_index(from, columns);
    const auto to = static_cast<Eigen::Index>(i);
    const auto source = static_cast<Eigen::Index>(from);
    out(0, to) = jacobian(0, source);
    out(1, to) = jacobian(1, source);
    out(2, to) = jacobian(2, source);
  }
  const std::size_t mimic_count = mimic_joint_indices_.size();
  for (std::size_t m = 0; m < mimic_count; ++m) {
    check_index(m, source_target_positions_.size());
    check_index(m, multipliers_.size());
    const std::size_t position = source_target_positions_[m];
    const std::size_t mimic = mimic_joint_indices_[m];
    check_index(position, target_count);
    check_index(mimic, columns);
    const auto to = static_cast<Eigen::Index>(position);
    const auto from = static_cast<Eigen::Index>(mimic);
    const double multiplier = multipliers_[m];
    out(0, to) += multiplier * jacobian(0, from);
    out(1, to) += multiplier * jacobian(1, from);
    out(2, to) += multiplier * jacobian(2, from);
  }
}

}  // namespace kova
