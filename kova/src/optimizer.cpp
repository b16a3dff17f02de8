#include "kova/optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "slsqp.hpp"

namespace kova {

OptimizerData OptimizerData::create(RobotWrapper robot,
                                    std::vector<std::string> target_joint_names) {
  const std::vector<JointSpec>& dof_joints = robot.dof_joints();
  const std::size_t dof = dof_joints.size();

  // First DOF joint of each name (the model's name map keeps the last one).
  std::unordered_map<std::string_view, std::size_t> first_dof_named;
  first_dof_named.reserve(dof);
  for (std::size_t j = 0; j < dof; ++j) first_dof_named.try_emplace(dof_joints[j].name, j);
  std::vector<std::size_t> idx_pin2target;
  idx_pin2target.reserve(target_joint_names.size());
  std::vector<bool> is_target(dof, false);
  for (const std::string& name : target_joint_names) {
    const auto found = first_dof_named.find(name);
    if (found == first_dof_named.end())
      throw InternalFault("Joint " + name + " not found in robot");
    idx_pin2target.push_back(found->second);
    is_target[found->second] = true;
  }

  std::vector<std::size_t> idx_pin2fixed;
  for (std::size_t position = 0; position < dof; ++position) {
    if (!is_target[position]) idx_pin2fixed.push_back(position);
  }

  const std::size_t opt_dof = target_joint_names.size();
  return OptimizerData{
      .robot = std::move(robot),
      .target_joint_names = std::move(target_joint_names),
      .idx_pin2target = std::move(idx_pin2target),
      .idx_pin2fixed = std::move(idx_pin2fixed),
      .opt_dof = opt_dof,
      .lower_bounds = std::vector<double>(opt_dof, -kUnboundedLimit),
      .upper_bounds = std::vector<double>(opt_dof, kUnboundedLimit),
      .adaptor = std::nullopt,
  };
}

std::vector<double> make_qpos(std::size_t dof, std::span<const std::size_t> idx_pin2fixed,
                              std::span<const double> fixed_qpos,
                              std::span<const std::size_t> idx_pin2target,
                              std::span<const double> x,
                              const MimicJointKinematicAdaptor* adaptor) {
  std::vector<double> q(dof, 0.0);
  for (std::size_t i = 0; i < idx_pin2fixed.size() && i < fixed_qpos.size(); ++i) {
    check_index(idx_pin2fixed[i], dof);
    q[idx_pin2fixed[i]] = fixed_qpos[i];
  }
  for (std::size_t i = 0; i < idx_pin2target.size(); ++i) {
    check_index(idx_pin2target[i], dof);
    check_index(i, x.size());
    q[idx_pin2target[i]] = x[i];
  }
  if (adaptor != nullptr) adaptor->forward_qpos(q);
  return q;
}

Jacobian target_jacobian(const Eigen::Ref<const Jacobian>& jacobian, std::size_t opt_dof,
                         std::span<const std::size_t> idx_pin2target,
                         const MimicJointKinematicAdaptor* adaptor) {
  if (adaptor != nullptr) return adaptor->backward_jacobian(jacobian);
  Jacobian result = Jacobian::Zero(3, static_cast<Eigen::Index>(opt_dof));
  for (std::size_t i = 0; i < idx_pin2target.size(); ++i) {
    check_index(i, opt_dof);
    check_index(idx_pin2target[i], static_cast<std::size_t>(jacobian.cols()));
    result.col(static_cast<Eigen::Index>(i)) =
        jacobian.col(static_cast<Eigen::Index>(idx_pin2target[i]));
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Shared operations

OptimizerBase::OptimizerBase(RobotWrapper robot, std::vector<std::string> target_joint_names)
    : data_(OptimizerData::create(std::move(robot), std::move(target_joint_names))),
      q_fixed_(data_.robot.dof(), 0.0),
      q_(data_.robot.dof(), 0.0),
      prev_qpos_(data_.opt_dof, 0.0),
      start_(data_.opt_dof, 0.0),
      full_jacobian_(Jacobian::Zero(3, static_cast<Eigen::Index>(data_.robot.dof()))) {
  plan_link_target_columns();
}

void OptimizerBase::plan_link_target_columns() {
  // Folded as link_target_jacobian folds: through the adaptor when there is one, else by
  // idx_pin2target.
  constexpr std::uint32_t kNotTarget = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> target_of(data_.robot.dof(), kNotTarget);
  for (std::size_t i = 0; i < data_.idx_pin2target.size(); ++i) {
    if (data_.idx_pin2target[i] < target_of.size()) {
      target_of[data_.idx_pin2target[i]] = static_cast<std::uint32_t>(i);
    }
  }
  target_columns_.clear();
  target_column_starts_.assign(1, 0);
  for (std::size_t link = 0; link < data_.robot.link_count(); ++link) {
    const std::vector<std::uint32_t> moving = link_jacobian_columns(data_.robot.model(), link);
    std::vector<std::uint32_t> folded;
    if (data_.adaptor) {
      folded = data_.adaptor->fold_columns(moving);
    } else {
      for (const std::uint32_t dof : moving) {
        if (target_of[dof] != kNotTarget) folded.push_back(target_of[dof]);
      }
      std::sort(folded.begin(), folded.end());
    }
    target_columns_.insert(target_columns_.end(), folded.begin(), folded.end());
    target_column_starts_.push_back(static_cast<std::uint32_t>(target_columns_.size()));
  }
}

std::span<const std::uint32_t> OptimizerBase::link_target_columns(std::size_t link) const {
  check_index(link, target_column_starts_.size() - 1);
  return std::span<const std::uint32_t>(target_columns_)
      .subspan(target_column_starts_[link],
               target_column_starts_[link + 1] - target_column_starts_[link]);
}

void OptimizerBase::set_joint_limit(std::span<const std::pair<double, double>> joint_limits) {
  const std::size_t count = std::min(joint_limits.size(), data_.opt_dof);
  for (std::size_t i = 0; i < count; ++i) {
    data_.lower_bounds[i] = joint_limits[i].first - kJointLimitMargin;
    data_.upper_bounds[i] = joint_limits[i].second + kJointLimitMargin;
  }
}

void OptimizerBase::set_adaptor(MimicJointKinematicAdaptor adaptor) {
  std::vector<bool> is_mimic(data_.robot.dof(), false);
  for (std::size_t position : adaptor.mimic_joint_indices()) {
    if (position < is_mimic.size()) is_mimic[position] = true;
  }
  std::erase_if(data_.idx_pin2fixed, [&](std::size_t position) {
    return position < is_mimic.size() && is_mimic[position];
  });
  data_.adaptor = std::move(adaptor);
  plan_link_target_columns();
  link_target_columns_changed();
  plan_variable_order();
}

void OptimizerBase::plan_variable_order() {
  if (!least_squares_) return;
  least_squares_->set_variable_order(elimination_order(data_.opt_dof, coupled_variables()));
}

void OptimizerBase::apply_adaptor_forward(std::span<double> qpos) const {
  if (data_.adaptor) data_.adaptor->forward_qpos(qpos);
}

std::vector<std::string> OptimizerBase::dof_joint_names() const {
  return data_.robot.dof_joint_names();
}

std::vector<std::string> OptimizerBase::link_names() const {
  return data_.robot.link_names();
}

Result<std::vector<LinkPosition>> OptimizerBase::link_positions(
    std::span<const double> qpos, std::span<const std::string> link_names) {
  const std::size_t dof = data_.robot.dof();
  if (qpos.size() != dof) {
    return fail("Expected qpos length " + std::to_string(dof) + ", got " +
                std::to_string(qpos.size()));
  }
  std::vector<double> q(qpos.begin(), qpos.end());
  apply_adaptor_forward(q);
  data_.robot.compute_forward_kinematics(q);

  const auto& link_index = data_.robot.link_index();
  std::vector<LinkPosition> positions;
  positions.reserve(link_names.size());
  for (const std::string& name : link_names) {
    const auto found = link_index.find(name);
    if (found == link_index.end()) return fail("Link " + name + " not found");
    const Eigen::Vector3d p = data_.robot.link_position(found->second);
    positions.push_back({p.x(), p.y(), p.z()});
  }
  return positions;
}

// ---------------------------------------------------------------------------------------------
// Per-frame machinery

void OptimizerBase::check_adaptor_shape() const {
  if (!data_.adaptor) return;
  const std::size_t columns = data_.adaptor->target_joint_indices().size();
  if (columns < data_.opt_dof) throw_index_out_of_range(columns, columns);
  if (columns > data_.opt_dof) throw_index_out_of_range(data_.opt_dof, data_.opt_dof);
}

void OptimizerBase::prepare_frame(std::span<const double> fixed_qpos,
                                  std::span<const double> last_qpos) {
  // Fixed and target positions are disjoint, so starting each evaluation from this vector and
  // writing the target values gives exactly the joint vector of make_qpos.
  std::fill(q_fixed_.begin(), q_fixed_.end(), 0.0);
  const std::size_t fixed_count = std::min(data_.idx_pin2fixed.size(), fixed_qpos.size());
  for (std::size_t i = 0; i < fixed_count; ++i) q_fixed_[data_.idx_pin2fixed[i]] = fixed_qpos[i];

  const std::size_t n = data_.opt_dof;
  for (std::size_t i = 0; i < n; ++i) prev_qpos_[i] = i < last_qpos.size() ? last_qpos[i] : 0.0;

  // Start from last_qpos only when it has the right length; clamp into the bounds, a NaN
  // becoming the bound (fmax/fmin return the other operand when one is NaN).
  const bool warm = last_qpos.size() == n;
  for (std::size_t i = 0; i < n; ++i) {
    double x0 = warm ? last_qpos[i] : 0.0;
    x0 = std::fmax(data_.lower_bounds[i], x0);
    x0 = std::fmin(data_.upper_bounds[i], x0);
    start_[i] = x0;
  }
}

void OptimizerBase::evaluate_configuration(const double* x) {
  std::copy(q_fixed_.begin(), q_fixed_.end(), q_.begin());
  const std::size_t n = data_.idx_pin2target.size();
  for (std::size_t i = 0; i < n; ++i) q_[data_.idx_pin2target[i]] = x[i];
  if (data_.adaptor) data_.adaptor->forward_qpos(q_);
  data_.robot.compute_forward_kinematics(q_);
}

Eigen::Vector3d OptimizerBase::link_position(std::size_t link) const {
  return data_.robot.link_position(link);
}

void OptimizerBase::link_target_jacobian(std::size_t link, Eigen::Ref<Jacobian> out) {
  data_.robot.compute_single_link_position_jacobian_cached(link, full_jacobian_);
  if (data_.adaptor) {
    data_.adaptor->backward_jacobian(full_jacobian_, out);
    return;
  }
  const std::size_t n = data_.idx_pin2target.size();
  for (std::size_t i = 0; i < n; ++i) {
    out.col(static_cast<Eigen::Index>(i)) =
        full_jacobian_.col(static_cast<Eigen::Index>(data_.idx_pin2target[i]));
  }
}

double OptimizerBase::add_regulariser(double f, double normal_delta, const double* x, double* grad,
                                      double* gauss_newton) const {
  // NaN counts as non-zero.
  if (normal_delta == 0.0) return f;
  const std::size_t n = data_.opt_dof;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = x[i] - prev_qpos_[i];
    f += normal_delta * (d * d);
    if (grad != nullptr) grad[i] += 2.0 * normal_delta * d;
    if (gauss_newton != nullptr) {
      gauss_newton[i + i * n] += 2.0 * normal_delta;
      gauss_newton[n * n + i + i * n] += 2.0 * normal_delta;
    }
  }
  return f;
}

std::vector<double> OptimizerBase::solve(const SolverLimits& limits,
                                         double (*objective)(void*, const double*, double*),
                                         void* context) {
  last_evaluation_count_ = 0;
  SlsqpRun run = solve_slsqp(start_, data_.lower_bounds, data_.upper_bounds, limits.max_evaluations,
                             limits.ftol_abs, objective, context);
  last_evaluation_count_ = run.evaluations;
  last_report_ = SolveReport{
      .solver = SolverKind::Slsqp,
      .status = run.status,
      .stop_reason = slsqp_stop_reason(run.status),
      .iterations = run.evaluations,
      .evaluations = run.evaluations,
      .objective = run.objective,
  };
  return std::move(run.x);
}

void OptimizerBase::set_solver(SolverKind kind) {
  if (kind == SolverKind::LeastSquares && !least_squares_) {
    least_squares_ = std::make_unique<LeastSquaresSolver>(data_.opt_dof);
    plan_variable_order();
  }
  solver_ = kind;
}

std::vector<double> OptimizerBase::solve_least_squares(GaussNewtonObjective objective,
                                                       void* context) {
  // Stops in the problem's units: radians of joint motion and the objective's own scale (a mean
  // Huber loss of lengths in metres divided by delta, plus the regulariser).
  static constexpr LeastSquaresLimits kLimits{};
  last_evaluation_count_ = 0;
  std::vector<double> x = start_;
  const LeastSquaresRun run =
      least_squares_->solve(x, data_.lower_bounds, data_.upper_bounds, kLimits, objective, context);
  last_evaluation_count_ = run.evaluations;
  last_report_ = SolveReport{.solver = SolverKind::LeastSquares,
                             .status = static_cast<int>(run.stop),
                             .stop_reason = stop_reason(run.stop),
                             .iterations = run.iterations,
                             .evaluations = run.evaluations,
                             .objective = run.objective};
  return x;
}

}  // namespace kova
