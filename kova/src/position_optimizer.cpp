#include "kova/position_optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kova {
namespace {

constexpr int kMaxEvaluations = 200;
constexpr double kFtolAbs = 1e-5;

// +1 or -1 by the sign bit, NaN for NaN.
double sign_of(double r) {
  return std::isnan(r) ? std::numeric_limits<double>::quiet_NaN() : std::copysign(1.0, r);
}

}  // namespace

PositionOptimizer::PositionOptimizer(RobotWrapper robot,
                                     std::vector<std::string> target_joint_names,
                                     const std::vector<std::string>& target_link_names,
                                     double huber_delta, double normal_delta)
    : OptimizerBase(std::move(robot), std::move(target_joint_names)),
      huber_delta_(huber_delta),
      normal_delta_(normal_delta) {
  const auto& link_index = data_.robot.link_index();
  target_link_indices_.reserve(target_link_names.size());
  link_slot_.reserve(target_link_names.size());
  for (const std::string& name : target_link_names) {
    const auto found = link_index.find(name);
    if (found == link_index.end()) throw InternalFault("Link " + name + " not found");
    const std::size_t link = found->second;
    target_link_indices_.push_back(link);
    const auto slot = std::find(distinct_links_.begin(), distinct_links_.end(), link);
    link_slot_.push_back(static_cast<std::size_t>(slot - distinct_links_.begin()));
    if (slot == distinct_links_.end()) distinct_links_.push_back(link);
  }
  targets_.assign(3 * target_link_indices_.size(), 0.0);
  jacobians_.assign(distinct_links_.size(),
                    Jacobian::Zero(3, static_cast<Eigen::Index>(data_.opt_dof)));
}

void PositionOptimizer::prepare(std::span<const double> ref_value,
                                std::span<const double> fixed_qpos,
                                std::span<const double> last_qpos) {
  // The first missing entry is the one a row-by-row read would fail on.
  if (ref_value.size() < targets_.size()) {
    throw_index_out_of_range(ref_value.size(), ref_value.size());
  }
  check_adaptor_shape();
  std::copy_n(ref_value.begin(), targets_.size(), targets_.begin());
  prepare_frame(fixed_qpos, last_qpos);
}

std::vector<double> PositionOptimizer::retarget(std::span<const double> ref_value,
                                                std::span<const double> fixed_qpos,
                                                std::span<const double> last_qpos) {
  clear_report();
  prepare(ref_value, fixed_qpos, last_qpos);
  return solve_with({kMaxEvaluations, kFtolAbs}, *this);
}

std::vector<std::vector<std::uint32_t>> PositionOptimizer::coupled_variables() const {
  std::vector<std::vector<std::uint32_t>> groups;
  for (const std::size_t link : distinct_links_) {
    const std::span<const std::uint32_t> columns = link_target_columns(link);
    groups.emplace_back(columns.begin(), columns.end());
  }
  return groups;
}

double PositionOptimizer::evaluate(const double* x, double* grad, double* gauss_newton) {
  evaluate_configuration(x);
  const std::size_t n = data_.opt_dof;
  // The reweighted matrix, then the exact one (see least_squares.hpp).
  double* exact = gauss_newton != nullptr ? gauss_newton + n * n : nullptr;
  if (gauss_newton != nullptr) std::fill(gauss_newton, gauss_newton + 2 * n * n, 0.0);
  if (grad != nullptr) {
    std::fill(grad, grad + n, 0.0);
    for (std::size_t slot = 0; slot < distinct_links_.size(); ++slot) {
      link_target_jacobian(distinct_links_[slot], jacobians_[slot]);
    }
  }

  const std::size_t link_count = target_link_indices_.size();
  const double count = 3.0 * static_cast<double>(link_count);
  const double delta = huber_delta_;
  double f = 0.0;
  for (std::size_t k = 0; k < link_count; ++k) {
    const Eigen::Vector3d p = link_position(target_link_indices_[k]);
    const Jacobian& jacobian = jacobians_[link_slot_[k]];
    const std::span<const std::uint32_t> columns = link_target_columns(target_link_indices_[k]);
    double inside[3] = {0.0, 0.0, 0.0};
    double outside[3] = {0.0, 0.0, 0.0};
    for (Eigen::Index axis = 0; axis < 3; ++axis) {
      const double r = p[axis] - targets_[3 * k + static_cast<std::size_t>(axis)];
      double slope;
      if (std::abs(r) <= delta) {
        f += r * r / 2.0 / delta / count;
        slope = r / delta;
      } else {
        f += (std::abs(r) - delta / 2.0) / count;
        slope = sign_of(r);
      }
      if (grad != nullptr) {
        const double scaled = slope / count;
        for (std::size_t j = 0; j < n; ++j) {
          grad[j] += jacobian(axis, static_cast<Eigen::Index>(j)) * scaled;
        }
      }
      // Curvature 1/delta on the quadratic part, none on the linear part; the reweighted
      // model uses slope / r there (1/|r|), a parabola above the loss.
      if (gauss_newton != nullptr) {
        if (std::abs(r) <= delta) {
          inside[axis] = 1.0 / delta / count;
        } else {
          outside[axis] = 1.0 / std::abs(r) / count;
        }
      }
    }
    if (gauss_newton != nullptr) {
      add_gauss_newton_rows(exact, n, jacobian.data(), inside, columns);
      if (outside[0] != 0.0 || outside[1] != 0.0 || outside[2] != 0.0) {
        add_gauss_newton_rows(gauss_newton, n, jacobian.data(), outside, columns);
      }
    }
  }
  if (gauss_newton != nullptr) {
    for (std::size_t i = 0; i < n * n; ++i) gauss_newton[i] += exact[i];
  }
  return add_regulariser(f, normal_delta_, x, grad, gauss_newton);
}

}  // namespace kova
