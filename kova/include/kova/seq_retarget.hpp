// Drives one optimiser through a sequence of frames: warm start from the previous solution,
// full joint vector assembly, optional low-pass filtering of the output.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kova/filter.hpp"
#include "kova/optimizer.hpp"

namespace kova {

class SeqRetargeting {
 public:
  // joint_limits: one pair per target joint, without the optimiser's margin.
  // last_qpos starts at their midpoints.
  SeqRetargeting(std::unique_ptr<Optimizer> optimizer, bool has_joint_limits,
                 std::optional<LPFilter> filter,
                 std::vector<std::pair<double, double>> joint_limits);

  // One frame -> full configuration (dof entries), filtered when a filter is present.
  std::vector<double> retarget(std::span<const double> ref_value,
                               std::span<const double> fixed_qpos);
  // Full configuration from last_qpos; fixed joints from fixed_qpos when given, else 0.
  std::vector<double> get_qpos(std::optional<std::span<const double>> fixed_qpos) const;
  void set_qpos(std::span<const double> robot_qpos);
  void reset();
  // A new sequence in every respect: reset(), and the filter's history and the optimiser's own
  // per-sequence state cleared too (reset() keeps both).
  void restart();

  Optimizer& optimizer() { return *optimizer_; }
  const Optimizer& optimizer() const { return *optimizer_; }
  const std::vector<double>& last_qpos() const { return last_qpos_; }
  const std::vector<std::pair<double, double>>& joint_limits() const { return joint_limits_; }
  const std::optional<LPFilter>& filter() const { return filter_; }
  bool has_joint_limits() const { return has_joint_limits_; }

 private:
  std::unique_ptr<Optimizer> optimizer_;
  std::vector<std::pair<double, double>> joint_limits_;
  std::vector<double> last_qpos_;
  std::optional<LPFilter> filter_;
  bool has_joint_limits_;
};

}  // namespace kova
