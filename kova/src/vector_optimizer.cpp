#include "kova/vector_optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace kova {
namespace {

constexpr int kMaxEvaluations = 500;
constexpr double kFtolAbs = 1e-6;
// Below this error length a vector adds nothing to the gradient (no division by ~0).
constexpr double kMinErrorLength = 1e-12;

std::size_t position_of(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

}  // namespace

LinkVectorObjective::LinkVectorObjective(const RobotWrapper& robot,
                                         const std::vector<std::string>& origin_link_names,
                                         const std::vector<std::string>& task_link_names,
                                         std::size_t opt_dof) {
  const std::size_t vector_count = origin_link_names.size();
  if (task_link_names.size() < vector_count) {
    throw_index_out_of_range(task_link_names.size(), task_link_names.size());
  }

  // Distinct names over the origins, then the tasks, in order of first appearance.
  std::vector<std::string> distinct;
  const auto add = [&](const std::string& name) {
    if (std::find(distinct.begin(), distinct.end(), name) == distinct.end()) {
      distinct.push_back(name);
    }
  };
  for (std::size_t i = 0; i < vector_count; ++i) add(origin_link_names[i]);
  for (std::size_t i = 0; i < vector_count; ++i) add(task_link_names[i]);

  for (std::size_t i = 0; i < vector_count; ++i) {
    origin_link_indices_.push_back(position_of(distinct, origin_link_names[i]));
    task_link_indices_.push_back(position_of(distinct, task_link_names[i]));
  }
  const auto& link_index = robot.link_index();
  for (const std::string& name : distinct) {
    const auto found = link_index.find(name);
    if (found == link_index.end()) throw InternalFault("Link " + name + " not found");
    computed_link_indices_.push_back(found->second);
  }

  // Gradient plan: for each link, the vectors that end (+) or start (-) there, in vector order.
  // A vector from a link to itself contributes nothing and is left out.
  for (std::size_t k = 0; k < computed_link_indices_.size(); ++k) {
    first_contribution_.push_back(contributions_.size());
    for (std::size_t i = 0; i < vector_count; ++i) {
      const bool task = task_link_indices_[i] == k;
      const bool origin = origin_link_indices_[i] == k;
      if (task != origin) contributions_.push_back({i, task});
    }
  }
  first_contribution_.push_back(contributions_.size());

  targets_.assign(3 * vector_count, 0.0);
  weights_.assign(vector_count, 1.0);
  positions_.assign(3 * computed_link_indices_.size(), 0.0);
  loss_gradient_.assign(3 * vector_count, 0.0);
  jacobian_ = Jacobian::Zero(3, static_cast<Eigen::Index>(opt_dof));
  curvature_.assign(vector_count, 0.0);
  direction_.assign(3 * vector_count, 0.0);
  along_.assign(opt_dof, 0.0);
  link_jacobians_.assign(computed_link_indices_.size(), jacobian_);
  vector_jacobian_ = jacobian_;
}

void LinkVectorObjective::plan_vector_columns(const OptimizerBase& base) {
  vector_columns_.clear();
  vector_column_starts_.assign(1, 0);
  for (std::size_t i = 0; i < origin_link_indices_.size(); ++i) {
    const std::span<const std::uint32_t> task =
        base.link_target_columns(computed_link_indices_[task_link_indices_[i]]);
    const std::span<const std::uint32_t> origin =
        base.link_target_columns(computed_link_indices_[origin_link_indices_[i]]);
    std::set_union(task.begin(), task.end(), origin.begin(), origin.end(),
                   std::back_inserter(vector_columns_));
    vector_column_starts_.push_back(vector_columns_.size());
  }
}

std::span<const std::uint32_t> LinkVectorObjective::vector_columns(std::size_t i) const {
  return std::span<const std::uint32_t>(vector_columns_)
      .subspan(vector_column_starts_[i], vector_column_starts_[i + 1] - vector_column_starts_[i]);
}

std::vector<std::vector<std::uint32_t>> LinkVectorObjective::coupled_variables() const {
  std::vector<std::vector<std::uint32_t>> groups;
  for (std::size_t i = 0; i < vector_count(); ++i) {
    const std::span<const std::uint32_t> columns = vector_columns(i);
    groups.emplace_back(columns.begin(), columns.end());
  }
  return groups;
}

double LinkVectorObjective::evaluate(OptimizerBase& base, double huber_delta, double normal_delta,
                                     const double* x, double* grad, double* gauss_newton) {
  base.evaluate_configuration(x);
  const std::size_t link_count = computed_link_indices_.size();
  for (std::size_t k = 0; k < link_count; ++k) {
    const Eigen::Vector3d p = base.link_position(computed_link_indices_[k]);
    positions_[3 * k] = p.x();
    positions_[3 * k + 1] = p.y();
    positions_[3 * k + 2] = p.z();
  }

  const std::size_t n = base.opt_dof();
  if (grad != nullptr) std::fill(grad, grad + n, 0.0);
  std::fill(loss_gradient_.begin(), loss_gradient_.end(), 0.0);

  const std::size_t vector_count = origin_link_indices_.size();
  const double count = static_cast<double>(vector_count);
  const double delta = huber_delta;
  double f = 0.0;
  for (std::size_t i = 0; i < vector_count; ++i) {
    const double* task = &positions_[3 * task_link_indices_[i]];
    const double* origin = &positions_[3 * origin_link_indices_[i]];
    const double* target = &targets_[3 * i];
    const double ex = (task[0] - origin[0]) - target[0];
    const double ey = (task[1] - origin[1]) - target[1];
    const double ez = (task[2] - origin[2]) - target[2];
    const double d = std::sqrt(ex * ex + ey * ey + ez * ez);
    const double weight = weights_[i];
    const double loss = d <= delta ? d * d / 2.0 / delta : d - delta / 2.0;
    f += weight * loss / count;
    if (grad != nullptr && d > kMinErrorLength) {
      const double slope = d <= delta ? d / delta : 1.0;
      const double scale = slope * weight / count;
      loss_gradient_[3 * i] = ex * scale / d;
      loss_gradient_[3 * i + 1] = ey * scale / d;
      loss_gradient_[3 * i + 2] = ez * scale / d;
    }
    // Reweighted least squares on the error vector: slope / d, i.e. 1/delta inside the quadratic
    // part and 1/d on the linear part.
    if (gauss_newton != nullptr) {
      curvature_[i] = (d <= delta ? 1.0 / delta : 1.0 / d) * weight / count;
      const bool linear = d > delta;
      direction_[3 * i] = linear ? ex / d : 0.0;
      direction_[3 * i + 1] = linear ? ey / d : 0.0;
      direction_[3 * i + 2] = linear ? ez / d : 0.0;
    }
  }

  if (grad != nullptr) {
    for (std::size_t k = 0; k < link_count; ++k) {
      // The least-squares solver needs every link's Jacobian afterwards; SLSQP reuses one.
      Jacobian& jacobian = gauss_newton != nullptr ? link_jacobians_[k] : jacobian_;
      base.link_target_jacobian(computed_link_indices_[k], jacobian);
      double gx = 0.0;
      double gy = 0.0;
      double gz = 0.0;
      for (std::size_t c = first_contribution_[k]; c < first_contribution_[k + 1]; ++c) {
        const double* dv = &loss_gradient_[3 * contributions_[c].vector];
        if (contributions_[c].task) {
          gx += dv[0];
          gy += dv[1];
          gz += dv[2];
        } else {
          gx -= dv[0];
          gy -= dv[1];
          gz -= dv[2];
        }
      }
      for (std::size_t j = 0; j < n; ++j) {
        const auto col = static_cast<Eigen::Index>(j);
        grad[j] += jacobian(0, col) * gx + jacobian(1, col) * gy + jacobian(2, col) * gz;
      }
    }
  }

  if (gauss_newton != nullptr) {
    // Reweighted: w J^T J with w = slope / d. Exact: the same inside the quadratic part; on the
    // linear part the loss has no curvature along the error u, so w J^T (I - u u^T) J.
    double* exact = gauss_newton + n * n;
    std::fill(gauss_newton, gauss_newton + 2 * n * n, 0.0);
    for (std::size_t i = 0; i < vector_count; ++i) {
      const std::size_t task = task_link_indices_[i];
      const std::size_t origin = origin_link_indices_[i];
      if (task == origin) continue;
      vector_jacobian_ = link_jacobians_[task] - link_jacobians_[origin];
      const std::span<const std::uint32_t> columns = vector_columns(i);
      const double w = curvature_[i];
      add_gauss_newton_rows(gauss_newton, n, vector_jacobian_.data(), {w, w, w}, columns);
      const double* u = &direction_[3 * i];
      if (u[0] == 0.0 && u[1] == 0.0 && u[2] == 0.0) continue;
      for (const std::uint32_t j : columns) {
        along_[j] = vector_jacobian_(0, j) * u[0] + vector_jacobian_(1, j) * u[1] +
                    vector_jacobian_(2, j) * u[2];
      }
      add_gauss_newton_outer(exact, n, along_.data(), -w, columns);
    }
    for (std::size_t i = 0; i < n * n; ++i) exact[i] += gauss_newton[i];
  }
  return base.add_regulariser(f, normal_delta, x, grad, gauss_newton);
}

// ---------------------------------------------------------------------------------------------

VectorOptimizer::VectorOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                                 const std::vector<std::string>& target_origin_link_names,
                                 const std::vector<std::string>& target_task_link_names,
                                 double huber_delta, double normal_delta, double scaling_factor)
    : OptimizerBase(std::move(robot), std::move(target_joint_names)),
      vectors_(data_.robot, target_origin_link_names, target_task_link_names, data_.opt_dof),
      huber_delta_(huber_delta),
      normal_delta_(normal_delta),
      scaling_factor_(scaling_factor) {
  vectors_.plan_vector_columns(*this);
}

void VectorOptimizer::prepare(std::span<const double> ref_value, std::span<const double> fixed_qpos,
                              std::span<const double> last_qpos) {
  std::span<double> targets = vectors_.targets();
  if (ref_value.size() < targets.size()) {
    throw_index_out_of_range(ref_value.size(), ref_value.size());
  }
  check_adaptor_shape();
  for (std::size_t i = 0; i < targets.size(); ++i) targets[i] = scaling_factor_ * ref_value[i];
  prepare_frame(fixed_qpos, last_qpos);
}

std::vector<double> VectorOptimizer::retarget(std::span<const double> ref_value,
                                              std::span<const double> fixed_qpos,
                                              std::span<const double> last_qpos) {
  clear_report();
  prepare(ref_value, fixed_qpos, last_qpos);
  return solve_with({kMaxEvaluations, kFtolAbs}, *this);
}

double VectorOptimizer::evaluate(const double* x, double* grad, double* gauss_newton) {
  return vectors_.evaluate(*this, huber_delta_, normal_delta_, x, grad, gauss_newton);
}

}  // namespace kova
