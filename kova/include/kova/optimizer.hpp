// What the three optimisers share: the `Optimizer` interface, the common data record, the
// translation between optimisation vector and full joint vector, and the SLSQP solver call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "kova/kinematics_adaptor.hpp"
#include "kova/least_squares.hpp"
#include "kova/result.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/solve_report.hpp"

namespace kova {

// Joint bounds widen every configured limit by this much on each side.
inline constexpr double kJointLimitMargin = 0.001;
// Bound of a variable without a limit.
inline constexpr double kUnboundedLimit = 10000.0;

struct OptimizerData {
  RobotWrapper robot;
  std::vector<std::string> target_joint_names;
  std::vector<std::size_t> idx_pin2target;  // full-configuration position of each target joint
  std::vector<std::size_t> idx_pin2fixed;   // remaining positions, increasing; fixed_qpos order
  std::size_t opt_dof = 0;
  std::vector<double> lower_bounds;
  std::vector<double> upper_bounds;
  std::optional<MimicJointKinematicAdaptor> adaptor;

  // Throws InternalFault("Joint {} not found in robot") for a name that is not a DOF joint.
  static OptimizerData create(RobotWrapper robot, std::vector<std::string> target_joint_names);
};

// Full configuration: fixed values, then target values, then mimic joints from their sources.
std::vector<double> make_qpos(std::size_t dof, std::span<const std::size_t> idx_pin2fixed,
                              std::span<const double> fixed_qpos,
                              std::span<const std::size_t> idx_pin2target,
                              std::span<const double> x, const MimicJointKinematicAdaptor* adaptor);

// 3 x dof Jacobian -> 3 x opt_dof Jacobian of the optimisation vector.
Jacobian target_jacobian(const Eigen::Ref<const Jacobian>& jacobian, std::size_t opt_dof,
                         std::span<const std::size_t> idx_pin2target,
                         const MimicJointKinematicAdaptor* adaptor);

using LinkPosition = std::array<double, 3>;

// The ten operations, in this order. Only `retarget` differs between the optimisers.
class Optimizer {
 public:
  virtual ~Optimizer() = default;

  // Solves one frame and returns the optimisation vector (length opt_dof), whatever the solver's
  // status. Throws InternalFault when ref_value is too short, before any state changes.
  virtual std::vector<double> retarget(std::span<const double> ref_value,
                                       std::span<const double> fixed_qpos,
                                       std::span<const double> last_qpos) = 0;
  virtual std::size_t opt_dof() const = 0;
  virtual std::span<const std::size_t> idx_pin2target() const = 0;
  virtual std::span<const std::size_t> idx_pin2fixed() const = 0;
  // lower - 0.001, upper + 0.001 for each pair i < opt_dof; other bounds unchanged.
  virtual void set_joint_limit(std::span<const std::pair<double, double>> joint_limits) = 0;
  // Drops the adaptor's mimic joints from idx_pin2fixed, then stores the adaptor.
  virtual void set_adaptor(MimicJointKinematicAdaptor adaptor) = 0;
  virtual void apply_adaptor_forward(std::span<double> qpos) const = 0;
  virtual std::vector<std::string> dof_joint_names() const = 0;
  virtual std::vector<std::string> link_names() const = 0;
  // "Expected qpos length {}, got {}" / "Link {} not found".
  virtual Result<std::vector<LinkPosition>> link_positions(
      std::span<const double> qpos, std::span<const std::string> link_names) = 0;

  // Beyond the ten: forgets what earlier frames left in the optimiser itself (DexPilot's pinch
  // hysteresis), for a caller that starts a new sequence. Most optimisers keep nothing.
  virtual void clear_sequence_state() {}
};

class LinkVectorObjective;

// Operations 2 to 10, shared by the three optimisers, plus the per-frame machinery they all use:
// the evaluation scratch (sized once at construction), the joint vector of one evaluation, the
// folded Jacobians, the regulariser and the solver call.
class OptimizerBase : public Optimizer {
 public:
  std::size_t opt_dof() const final { return data_.opt_dof; }
  std::span<const std::size_t> idx_pin2target() const final { return data_.idx_pin2target; }
  std::span<const std::size_t> idx_pin2fixed() const final { return data_.idx_pin2fixed; }
  void set_joint_limit(std::span<const std::pair<double, double>> joint_limits) final;
  void set_adaptor(MimicJointKinematicAdaptor adaptor) final;
  void apply_adaptor_forward(std::span<double> qpos) const final;
  std::vector<std::string> dof_joint_names() const final;
  std::vector<std::string> link_names() const final;
  Result<std::vector<LinkPosition>> link_positions(std::span<const double> qpos,
                                                   std::span<const std::string> link_names) final;

  const OptimizerData& data() const { return data_; }
  // Objective evaluations of the most recent retarget (0 before the first one).
  std::size_t last_evaluation_count() const { return last_evaluation_count_; }
  // How the most recent retarget's solve ended. Before the first retarget, and after one that
  // threw, it says "not solved".
  const SolveReport& last_report() const { return last_report_; }

  // The solver of the following frames; SLSQP unless changed. The least-squares solver's work
  // arrays are allocated here, once.
  void set_solver(SolverKind kind);
  SolverKind solver() const { return solver_; }

 protected:
  // The vector objective evaluates through the per-frame machinery below.
  friend class LinkVectorObjective;

  struct SolverLimits {
    int max_evaluations;
    double ftol_abs;
  };

  OptimizerBase(RobotWrapper robot, std::vector<std::string> target_joint_names);

  // First step of every retarget, so that a frame refused before its solve leaves no report of
  // an earlier frame behind.
  void clear_report() { last_report_ = SolveReport{}; }

  // Throws InternalFault, before any state changes, when the installed adaptor does not fold
  // onto exactly opt_dof columns.
  void check_adaptor_shape() const;
  // Per frame: the fixed part of the joint vector, the regulariser reference and the clamped
  // start point, all into preallocated scratch.
  void prepare_frame(std::span<const double> fixed_qpos, std::span<const double> last_qpos);
  // Per evaluation: joint vector from x (fixed values, target values, mimic joints), then
  // forward kinematics. No allocation.
  void evaluate_configuration(const double* x);
  Eigen::Vector3d link_position(std::size_t link) const;
  // Jacobian of the link's origin with respect to the optimisation vector, from the transforms
  // of the last evaluation. No allocation.
  void link_target_jacobian(std::size_t link, Eigen::Ref<Jacobian> out);
  // The columns of link_target_jacobian(link) that can be non-zero, ascending: the optimisation
  // variables that move the link (through the adaptor's mimic joints too). Planned for every link
  // when the optimiser is made and again when an adaptor is set, so the least-squares matrices
  // loop over these pairs only.
  std::span<const std::uint32_t> link_target_columns(std::size_t link) const;
  // The variables each residual block of the objective couples (the columns its Jacobian can
  // have non-zero); the least-squares solver orders its factorisations by them. None by default.
  virtual std::vector<std::vector<std::uint32_t>> coupled_variables() const { return {}; }
  // Rebuilds what the objective derives from link_target_columns; run when they are planned
  // anew (an adaptor set). Objectives that keep nothing of them leave it empty.
  virtual void link_target_columns_changed() {}
  // normal_delta * (x - prev)^2 per variable; adds its gradient when `grad` is not null and its
  // curvature 2 * normal_delta to the diagonal of `gauss_newton` when that is not null.
  double add_regulariser(double f, double normal_delta, const double* x, double* grad,
                         double* gauss_newton = nullptr) const;
  // Runs SLSQP from the prepared start point; returns the solver's final x.
  std::vector<double> solve(const SolverLimits& limits,
                            double (*objective)(void*, const double*, double*), void* context);
  // Runs the least-squares solver from the prepared start point on the same objective.
  std::vector<double> solve_least_squares(GaussNewtonObjective objective, void* context);
  // The selected solver with `Derived::evaluate(x, grad, gauss_newton)` as the objective
  // (Derived befriends this class). SLSQP never asks for the Gauss-Newton matrix.
  template <class Derived>
  std::vector<double> solve_with(const SolverLimits& limits, Derived& self) {
    if (solver_ == SolverKind::LeastSquares) {
      return solve_least_squares(
          [](void* context, const double* x, double* grad, double* gauss_newton) {
            return static_cast<Derived*>(context)->evaluate(x, grad, gauss_newton);
          },
          &self);
    }
    return solve(
        limits,
        [](void* context, const double* x, double* grad) {
          return static_cast<Derived*>(context)->evaluate(x, grad);
        },
        &self);
  }

  OptimizerData data_;

 private:
  void plan_link_target_columns();
  void plan_variable_order();

  std::vector<double> q_fixed_;                // dof: fixed values in place, zeros elsewhere
  std::vector<double> q_;                      // dof: the configuration of the current evaluation
  std::vector<double> prev_qpos_;              // opt_dof: regulariser reference, 0 beyond last_qpos
  std::vector<double> start_;                  // opt_dof: clamped start point
  Jacobian full_jacobian_;                     // 3 x dof
  std::vector<std::uint32_t> target_columns_;  // per link, link_target_columns
  std::vector<std::uint32_t> target_column_starts_;  // link count + 1: ranges into the above
  std::size_t last_evaluation_count_ = 0;
  SolveReport last_report_;
  SolverKind solver_ = SolverKind::Slsqp;
  std::unique_ptr<LeastSquaresSolver> least_squares_;  // set when first selected
};

}  // namespace kova
