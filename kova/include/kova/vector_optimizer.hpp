// Vector retargeting: robot link-to-link vectors match scaled human vectors (Huber on the length
// of each vector error).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kova/optimizer.hpp"

namespace kova {

struct ObjectiveProbe;

// Link bookkeeping and objective shared by the vector and DexPilot optimisers: V robot vectors,
// each from an origin link to a task link, over the distinct links in first-use order.
class LinkVectorObjective {
 public:
  // Distinct links over the origin names, then the task names. Throws InternalFault
  // "Link {} not found", or index out of range when there are fewer task than origin names.
  LinkVectorObjective(const RobotWrapper& robot, const std::vector<std::string>& origin_link_names,
                      const std::vector<std::string>& task_link_names, std::size_t opt_dof);

  std::size_t vector_count() const { return origin_link_indices_.size(); }
  const std::vector<std::size_t>& origin_link_indices() const { return origin_link_indices_; }
  const std::vector<std::size_t>& task_link_indices() const { return task_link_indices_; }
  const std::vector<std::size_t>& computed_link_indices() const { return computed_link_indices_; }

  // Targets (3 per vector) and weights (1 per vector), written per frame by the owner.
  std::span<double> targets() { return targets_; }
  std::span<const double> targets() const { return targets_; }
  std::span<double> weights() { return weights_; }
  std::span<const double> weights() const { return weights_; }

  // Weighted mean Huber loss of the vector errors' lengths, plus the regulariser; with
  // `gauss_newton` (and `grad`), also the Gauss-Newton matrix of the least-squares solver.
  double evaluate(OptimizerBase& base, double huber_delta, double normal_delta, const double* x,
                  double* grad, double* gauss_newton = nullptr);
  // Per vector, the variables that move either of its ends, from the owner's
  // link_target_columns: planned by the owner when it is made and when those change.
  void plan_vector_columns(const OptimizerBase& base);
  std::span<const std::uint32_t> vector_columns(std::size_t i) const;
  std::vector<std::vector<std::uint32_t>> coupled_variables() const;

 private:
  // One signed contribution of a vector to a link's gradient.
  struct Contribution {
    std::size_t vector;
    bool task;  // +D[vector] when the link is the task, -D[vector] when it is the origin
  };

  std::vector<std::size_t> origin_link_indices_;
  std::vector<std::size_t> task_link_indices_;
  std::vector<std::size_t> computed_link_indices_;
  std::vector<std::size_t> first_contribution_;  // per link, range into contributions_
  std::vector<Contribution> contributions_;
  std::vector<double> targets_;
  std::vector<double> weights_;
  std::vector<double> positions_;      // 3 per distinct link
  std::vector<double> loss_gradient_;  // 3 per vector: D
  Jacobian jacobian_;                  // 3 x opt_dof
  // Least-squares solver only: each vector's reweighted curvature, every link's Jacobian of one
  // evaluation, and one vector's Jacobian (task minus origin).
  std::vector<double> curvature_;
  std::vector<double> direction_;              // unit error on the linear part of the loss, else 0
  std::vector<double> along_;                  // J^T of that direction
  std::vector<std::uint32_t> vector_columns_;  // per vector, plan_vector_columns
  std::vector<std::size_t> vector_column_starts_;  // vector count + 1: ranges into the above
  std::vector<Jacobian> link_jacobians_;
  Jacobian vector_jacobian_;
};

class VectorOptimizer final : public OptimizerBase {
 public:
  // Throws InternalFault: "Joint {} not found in robot", "Link {} not found".
  VectorOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                  const std::vector<std::string>& target_origin_link_names,
                  const std::vector<std::string>& target_task_link_names, double huber_delta,
                  double normal_delta, double scaling_factor);

  // At most 500 evaluations, absolute objective tolerance 1e-6.
  std::vector<double> retarget(std::span<const double> ref_value,
                               std::span<const double> fixed_qpos,
                               std::span<const double> last_qpos) override;

  const LinkVectorObjective& vectors() const { return vectors_; }
  double huber_delta() const { return huber_delta_; }
  double normal_delta() const { return normal_delta_; }
  double scaling_factor() const { return scaling_factor_; }

 private:
  friend struct ObjectiveProbe;
  friend class OptimizerBase;

  void prepare(std::span<const double> ref_value, std::span<const double> fixed_qpos,
               std::span<const double> last_qpos);
  // With `gauss_newton` (and `grad`), also the Gauss-Newton matrix of the least-squares solver.
  double evaluate(const double* x, double* grad, double* gauss_newton = nullptr);
  std::vector<std::vector<std::uint32_t>> coupled_variables() const override {
    return vectors_.coupled_variables();
  }
  void link_target_columns_changed() override { vectors_.plan_vector_columns(*this); }

  LinkVectorObjective vectors_;
  double huber_delta_;
  double normal_delta_;
  double scaling_factor_;
};

}  // namespace kova
