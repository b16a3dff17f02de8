// DexPilot retargeting: fingertip-pair and wrist-to-fingertip vectors, with close human pinches
// projected onto short targets under raised weights and a hysteresis across frames.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "kova/optimizer.hpp"
#include "kova/vector_optimizer.hpp"

namespace kova {

struct ObjectiveProbe;

class DexPilotOptimizer final : public OptimizerBase {
 public:
  // Throws InternalFault: "DexPilot requires 2-5 fingers", "Joint {} not found in robot",
  // "Link {} not found".
  DexPilotOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                    const std::vector<std::string>& finger_tip_link_names,
                    const std::string& wrist_link_name, double huber_delta, double normal_delta,
                    double project_dist, double escape_dist, double lead_pair_length,
                    double other_pair_length, double scaling_factor);

  // Updates the projection flags, then solves with at most 500 evaluations and an absolute
  // objective tolerance of 1e-6.
  std::vector<double> retarget(std::span<const double> ref_value,
                               std::span<const double> fixed_qpos,
                               std::span<const double> last_qpos) override;
  // Every pair back to unprojected, as after construction.
  void clear_sequence_state() override;

  const LinkVectorObjective& vectors() const { return vectors_; }
  std::size_t finger_count() const { return finger_count_; }
  // Per finger pair: whether its target is currently the short projected vector.
  const std::vector<bool>& projected() const { return projected_; }
  const std::vector<std::size_t>& lead_slot_b() const { return lead_slot_b_; }
  const std::vector<std::size_t>& lead_slot_a() const { return lead_slot_a_; }
  const std::vector<double>& projected_lengths() const { return projected_lengths_; }
  double huber_delta() const { return huber_delta_; }
  double normal_delta() const { return normal_delta_; }
  double scaling_factor() const { return scaling_factor_; }
  double project_dist() const { return project_dist_; }
  double escape_dist() const { return escape_dist_; }

 private:
  friend struct ObjectiveProbe;
  friend class OptimizerBase;

  // Projection update, weights and targets; throws before anything changes when ref_value is
  // too short.
  void prepare(std::span<const double> ref_value, std::span<const double> fixed_qpos,
               std::span<const double> last_qpos);
  // With `gauss_newton` (and `grad`), also the Gauss-Newton matrix of the least-squares solver.
  double evaluate(const double* x, double* grad, double* gauss_newton = nullptr);
  std::vector<std::vector<std::uint32_t>> coupled_variables() const override {
    return vectors_.coupled_variables();
  }
  void link_target_columns_changed() override { vectors_.plan_vector_columns(*this); }

  LinkVectorObjective vectors_;
  std::vector<bool> projected_;
  std::vector<std::size_t> lead_slot_b_;
  std::vector<std::size_t> lead_slot_a_;
  std::vector<double> projected_lengths_;
  double huber_delta_;
  double normal_delta_;
  double scaling_factor_;
  std::size_t finger_count_;
  double project_dist_;
  double escape_dist_;
};

}  // namespace kova
