// Position retargeting: target links reach 3-D keypoints under a per-axis Huber loss.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "kova/optimizer.hpp"

namespace kova {

struct ObjectiveProbe;

class PositionOptimizer final : public OptimizerBase {
 public:
  // Throws InternalFault: "Joint {} not found in robot", "Link {} not found".
  PositionOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                    const std::vector<std::string>& target_link_names, double huber_delta,
                    double normal_delta);

  // At most 200 evaluations, absolute objective tolerance 1e-5.
  std::vector<double> retarget(std::span<const double> ref_value,
                               std::span<const double> fixed_qpos,
                               std::span<const double> last_qpos) override;

  const std::vector<std::size_t>& target_link_indices() const { return target_link_indices_; }
  double huber_delta() const { return huber_delta_; }
  double normal_delta() const { return normal_delta_; }

 private:
  friend struct ObjectiveProbe;
  friend class OptimizerBase;

  // Targets and evaluation scratch for one frame. Throws before any state changes when
  // ref_value is too short.
  void prepare(std::span<const double> ref_value, std::span<const double> fixed_qpos,
               std::span<const double> last_qpos);
  // With `gauss_newton` (and `grad`), also the Gauss-Newton matrix of the least-squares solver.
  double evaluate(const double* x, double* grad, double* gauss_newton = nullptr);
  std::vector<std::vector<std::uint32_t>> coupled_variables() const override;

  std::vector<std::size_t> target_link_indices_;
  double huber_delta_;
  double normal_delta_;

  // Evaluation plan: each target link's slot among the distinct links, so a link listed twice
  // has its Jacobian taken once.
  std::vector<std::size_t> distinct_links_;
  std::vector<std::size_t> link_slot_;
  std::vector<double> targets_;      // 3 per target link
  std::vector<Jacobian> jacobians_;  // 3 x opt_dof per distinct link
};

}  // namespace kova
