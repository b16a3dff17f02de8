#include "kova/seq_retarget.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kova/result.hpp"

namespace kova {
namespace {

std::vector<double> midpoints(const std::vector<std::pair<double, double>>& joint_limits) {
  std::vector<double> mid;
  mid.reserve(joint_limits.size());
  for (const auto& [lower, upper] : joint_limits) mid.push_back((lower + upper) * 0.5);
  return mid;
}

}  // namespace

SeqRetargeting::SeqRetargeting(std::unique_ptr<Optimizer> optimizer, bool has_joint_limits,
                               std::optional<LPFilter> filter,
                               std::vector<std::pair<double, double>> joint_limits)
    : optimizer_(std::move(optimizer)),
      joint_limits_(std::move(joint_limits)),
      last_qpos_(midpoints(joint_limits_)),
      filter_(std::move(filter)),
      has_joint_limits_(has_joint_limits) {
  if (!optimizer_) throw InternalFault("SeqRetargeting needs an optimizer");
}

std::vector<double> SeqRetargeting::retarget(std::span<const double> ref_value,
                                             std::span<const double> fixed_qpos) {
  // Warm start: the last solution clamped into the limits as handed over (no margin).
  const std::size_t n = std::min(joint_limits_.size(), last_qpos_.size());
  std::vector<double> warm_start(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto [lower, upper] = joint_limits_[i];
    double v = last_qpos_[i];
    if (std::isnan(v) || v < lower) v = lower;
    if (std::isnan(v) || v > upper) v = upper;
    warm_start[i] = v;
  }

  std::vector<double> x = optimizer_->retarget(ref_value, fixed_qpos, warm_start);

  // A non-finite solution entry (a frame whose reference held NaN or infinity) would be clamped
  // to its lower bound next frame and could push the solver into another solution branch for
  // good; the previous entry is kept instead.
  const std::size_t kept = last_qpos_.size();
  last_qpos_.resize(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(x[i]) || i >= kept) last_qpos_[i] = x[i];
  }

  const std::size_t dof = optimizer_->dof_joint_names().size();
  std::vector<double> q(dof, 0.0);
  const std::span<const std::size_t> fixed = optimizer_->idx_pin2fixed();
  for (std::size_t i = 0; i < fixed.size() && i < fixed_qpos.size(); ++i) {
    check_index(fixed[i], dof);
    q[fixed[i]] = fixed_qpos[i];
  }
  const std::span<const std::size_t> target = optimizer_->idx_pin2target();
  for (std::size_t i = 0; i < target.size(); ++i) {
    check_index(target[i], dof);
    check_index(i, x.size());
    q[target[i]] = x[i];
  }
  optimizer_->apply_adaptor_forward(q);

  if (filter_) return filter_->next(q);
  return q;
}

std::vector<double> SeqRetargeting::get_qpos(
    std::optional<std::span<const double>> fixed_qpos) const {
  const std::size_t dof = optimizer_->dof_joint_names().size();
  std::vector<double> q(dof, 0.0);
  const std::span<const std::size_t> target = optimizer_->idx_pin2target();
  for (std::size_t i = 0; i < target.size(); ++i) {
    check_index(target[i], dof);
    check_index(i, last_qpos_.size());
    q[target[i]] = last_qpos_[i];
  }
  if (fixed_qpos) {
    const std::span<const std::size_t> fixed = optimizer_->idx_pin2fixed();
    for (std::size_t i = 0; i < fixed.size() && i < fixed_qpos->size(); ++i) {
      check_index(fixed[i], dof);
      q[fixed[i]] = (*fixed_qpos)[i];
    }
  }
  optimizer_->apply_adaptor_forward(q);
  return q;
}

void SeqRetargeting::set_qpos(std::span<const double> robot_qpos) {
  const std::span<const std::size_t> target = optimizer_->idx_pin2target();
  if (target.size() > last_qpos_.size()) {
    throw_index_out_of_range(last_qpos_.size(), last_qpos_.size());
  }
  for (std::size_t i = 0; i < target.size(); ++i) {
    const std::size_t p = target[i];
    if (p < robot_qpos.size()) last_qpos_[i] = robot_qpos[p];
  }
}

void SeqRetargeting::reset() {
  last_qpos_ = midpoints(joint_limits_);
}

void SeqRetargeting::restart() {
  reset();
  if (filter_) filter_->clear();
  optimizer_->clear_sequence_state();
}

}  // namespace kova
