#include "kova/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "box_qp.hpp"
#include "kova/result.hpp"

namespace kova {
namespace {

// Damping: lambda times the largest diagonal entry of the Gauss-Newton matrix, the same for every
// variable. All variables are joint coordinates of one robot, so a uniform damping keeps steps
// short in joint space; Marquardt's per-variable scaling would let the joints the targets barely
// see drift along redundant directions into their bounds, where the sequence then stays on a
// worse solution branch (measured on the Allegro hand: 1 mm mean, 36 mm worst fingertip error on
// reachable targets, against 0.00001 mm with uniform damping).
constexpr double kInitialDamping = 1e-6;
constexpr double kMinDamping = 1e-15;
constexpr double kMaxDamping = 1e16;
constexpr double kMinDiagonal = 1e-300;  // damping of a problem whose matrix is all zero
// Below this damping a step is close to the undamped Gauss-Newton step.
constexpr double kTrustedDamping = 1e-3;
// Longest step (radians, or metres for a prismatic joint) taken on the exact model, which has no
// curvature along the linear part of the loss: beyond this, the reweighted model's step.
constexpr double kExactStepLimit = 0.1;
// A step whose actual decrease is at least this share of the predicted one confirms its model.
constexpr double kGoodRatio = 0.25;

bool all_finite(const std::vector<double>& values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// Mirrors the lower triangle into the upper one.
void symmetrise(std::vector<double>& m, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j + 1; i < n; ++i) m[j + i * n] = m[i + j * n];
  }
}

}  // namespace

std::string_view stop_reason(LeastSquaresStop stop) {
  switch (stop) {
    case LeastSquaresStop::NoVariables:
      return "no variables to solve for";
    case LeastSquaresStop::Gradient:
      return "projected gradient below tolerance";
    case LeastSquaresStop::Step:
      return "step below tolerance";
    case LeastSquaresStop::Objective:
      return "objective decrease below tolerance";
    case LeastSquaresStop::RoundOff:
      return "no further decrease within round-off";
    case LeastSquaresStop::IterationLimit:
      return "iteration limit reached";
    case LeastSquaresStop::EvaluationLimit:
      return "evaluation limit reached";
    case LeastSquaresStop::NonFiniteStart:
      return "objective not finite at the start point";
    case LeastSquaresStop::InvalidBounds:
      return "start point outside the bounds (or bounds inverted)";
  }
  return "unknown";
}

LeastSquaresSolver::LeastSquaresSolver(std::size_t n)
    : n_(n),
      x_(n),
      x_trial_(n),
      grad_(n),
      grad_trial_(n),
      gauss_newton_(2 * n * n),
      gauss_newton_trial_(2 * n * n),
      model_(n * n),
      step_(n),
      step_lower_(n),
      step_upper_(n),
      step_bound_(n),
      step_exact_(n),
      step_bound_exact_(n),
      box_qp_(std::make_unique<BoxQpWorkspace>(n)) {}

void LeastSquaresSolver::set_variable_order(std::span<const std::size_t> order) {
  std::vector<bool> seen(n_, false);
  for (const std::size_t i : order) {
    if (i >= n_ || seen[i]) {
      throw InternalFault("Variable order for " + std::to_string(n_) +
                          " variables is not a permutation");
    }
    seen[i] = true;
  }
  if (order.size() != n_) {
    throw InternalFault("Variable order of " + std::to_string(order.size()) + " entries for " +
                        std::to_string(n_) + " variables");
  }
  std::copy(order.begin(), order.end(), box_qp_->order.begin());
}

std::vector<std::size_t> elimination_order(std::size_t n,
                                           std::span<const std::vector<std::uint32_t>> groups) {
  std::vector<char> adjacent(n * n, 0);
  for (const std::vector<std::uint32_t>& group : groups) {
    for (const std::uint32_t i : group) {
      for (const std::uint32_t j : group) {
        if (i < n && j < n && i != j) adjacent[i * n + j] = 1;
      }
    }
  }
  std::vector<char> eliminated(n, 0);
  std::vector<std::size_t> order;
  order.reserve(n);
  for (std::size_t step = 0; step < n; ++step) {
    std::size_t best = n;
    std::size_t best_degree = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (eliminated[i]) continue;
      std::size_t degree = 0;
      for (std::size_t j = 0; j < n; ++j) degree += !eliminated[j] && adjacent[i * n + j];
      if (degree < best_degree) {
        best = i;
        best_degree = degree;
      }
    }
    // Eliminating a variable couples all of its remaining neighbours (the factor's fill).
    eliminated[best] = 1;
    order.push_back(best);
    for (std::size_t i = 0; i < n; ++i) {
      if (eliminated[i] || !adjacent[best * n + i]) continue;
      for (std::size_t j = 0; j < n; ++j) {
        if (j != i && !eliminated[j] && adjacent[best * n + j]) adjacent[i * n + j] = 1;
      }
    }
  }
  return order;
}

LeastSquaresSolver::~LeastSquaresSolver() = default;
LeastSquaresSolver::LeastSquaresSolver(LeastSquaresSolver&&) noexcept = default;
LeastSquaresSolver& LeastSquaresSolver::operator=(LeastSquaresSolver&&) noexcept = default;

LeastSquaresRun LeastSquaresSolver::solve(std::span<double> x, std::span<const double> lower,
                                          std::span<const double> upper,
                                          const LeastSquaresLimits& limits,
                                          GaussNewtonObjective objective, void* context) {
  const std::size_t n = n_;
  if (x.size() != n || lower.size() != n || upper.size() != n) {
    throw InternalFault("Least-squares solver for " + std::to_string(n) + " variables given " +
                        std::to_string(x.size()) + " values and " + std::to_string(lower.size()) +
                        "/" + std::to_string(upper.size()) + " bounds");
  }

  LeastSquaresRun run;
  std::copy(x.begin(), x.end(), x_.begin());
  double f = objective(context, x_.data(), grad_.data(), gauss_newton_.data());
  run.evaluations = 1;
  run.objective = f;
  if (n == 0) return run;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(lower[i] <= x_[i] && x_[i] <= upper[i])) {
      run.stop = LeastSquaresStop::InvalidBounds;
      return run;
    }
  }
  if (!std::isfinite(f) || !all_finite(grad_) || !all_finite(gauss_newton_)) {
    run.stop = LeastSquaresStop::NonFiniteStart;
    return run;
  }

  // One damping for steps on the loss's own curvature (the exact model), one for the reweighted.
  double lambda_exact = kInitialDamping;
  double lambda = kInitialDamping;
  double growth = 2.0;
  bool exact_trusted = true;  // false for one iteration after an exact step that predicted badly
  const auto finish = [&](LeastSquaresStop stop) {
    std::copy(x_.begin(), x_.end(), x.begin());
    run.stop = stop;
    run.objective = f;
    return run;
  };

  while (true) {
    // First-order optimality under the bounds: the projected gradient step is negligible.
    double projected_gradient = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double moved = std::clamp(x_[i] - grad_[i], lower[i], upper[i]);
      projected_gradient = std::max(projected_gradient, std::abs(moved - x_[i]));
    }
    if (projected_gradient <= limits.gradient_tolerance) return finish(LeastSquaresStop::Gradient);
    if (run.iterations >= limits.max_iterations) return finish(LeastSquaresStop::IterationLimit);

    double damping = kMinDiagonal;
    for (std::size_t i = 0; i < n; ++i) {
      damping = std::max(damping, gauss_newton_[i + i * n]);
      step_lower_[i] = lower[i] - x_[i];
      step_upper_[i] = upper[i] - x_[i];
    }

    // Damped model step into step / bound, landing exactly on a bound it ends on and never
    // beyond one; returns its length, or -1 when the damped matrix is not positive definite.
    const auto propose = [&](const double* gauss_newton, double lam, std::vector<double>& step,
                             std::vector<signed char>& bound) {
      std::copy(gauss_newton, gauss_newton + n * n, model_.begin());
      for (std::size_t i = 0; i < n; ++i) model_[i + i * n] += lam * damping;
      symmetrise(model_, n);
      if (!solve_box_qp(n, model_.data(), grad_.data(), step_lower_.data(), step_upper_.data(),
                        step.data(), bound.data(), *box_qp_)) {
        return -1.0;
      }
      double length = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double xi = bound[i] < 0   ? lower[i]
                          : bound[i] > 0 ? upper[i]
                                         : std::clamp(x_[i] + step[i], lower[i], upper[i]);
        step[i] = xi - x_[i];
        length = std::max(length, std::abs(step[i]));
      }
      return length;
    };

    // Each iteration first tries a short step on the exact Gauss-Newton model, which converges
    // fast once the loss's regions settle; otherwise, or when that step fails, steps on the
    // reweighted model, which lies above the loss and so lowers it for a small enough damping.
    bool exact_allowed = exact_trusted;
    exact_trusted = true;
    while (true) {
      bool exact = false;
      double length = -1.0;
      if (exact_allowed) {
        length = propose(gauss_newton_.data() + n * n, lambda_exact, step_, step_bound_);
        exact = length >= 0.0 && length <= kExactStepLimit;
      }
      if (!exact) length = propose(gauss_newton_.data(), lambda, step_, step_bound_);
      const double* gauss_newton = gauss_newton_.data() + (exact ? n * n : 0);
      const double lam = exact ? lambda_exact : lambda;
      // A negligible step means convergence only when it is barely damped; a heavily damped one
      // is treated as a failed step.
      if (length >= 0.0 && length <= limits.step_tolerance) {
        if (lam <= kTrustedDamping) return finish(LeastSquaresStop::Step);
        if (exact) {
          exact_allowed = false;
          continue;
        }
        length = -1.0;
      }
      if (length >= 0.0) {
        if (run.evaluations >= limits.max_evaluations) {
          return finish(LeastSquaresStop::EvaluationLimit);
        }
        for (std::size_t i = 0; i < n; ++i) x_trial_[i] = x_[i] + step_[i];
        for (std::size_t i = 0; i < n; ++i) {
          if (step_bound_[i] < 0) x_trial_[i] = lower[i];
          if (step_bound_[i] > 0) x_trial_[i] = upper[i];
        }

        // Decrease the undamped model predicts for this step.
        double predicted = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
          double h_step = 0.0;
          for (std::size_t i = 0; i < n; ++i) {
            const double h = i >= j ? gauss_newton[i + j * n] : gauss_newton[j + i * n];
            h_step += h * step_[i];
          }
          predicted -= step_[j] * (grad_[j] + 0.5 * h_step);
        }
        // Converged when even a barely damped model step would not lower the objective
        // measurably (a heavily damped step predicts little because it is short).
        if (predicted <= limits.objective_tolerance && lam <= kTrustedDamping) {
          return finish(LeastSquaresStop::Objective);
        }

        const double f_trial =
            objective(context, x_trial_.data(), grad_trial_.data(), gauss_newton_trial_.data());
        ++run.evaluations;
        if (std::isfinite(f_trial) && f_trial < f && all_finite(grad_trial_) &&
            all_finite(gauss_newton_trial_)) {
          const double decrease = f - f_trial;
          const double ratio = predicted > 0.0 ? decrease / predicted : 1.0;
          std::swap(x_, x_trial_);
          std::swap(grad_, grad_trial_);
          std::swap(gauss_newton_, gauss_newton_trial_);
          f = f_trial;
          ++run.iterations;
          // Nielsen's update: shrink the damping when the model predicted well.
          const double t = 2.0 * ratio - 1.0;
          double& updated = exact ? lambda_exact : lambda;
          updated = std::max(kMinDamping, updated * std::max(1.0 / 3.0, 1.0 - t * t * t));
          if (!exact) growth = 2.0;
          // An exact step that lowered the objective far less than predicted: its model does not
          // hold here, so the next iteration uses the reweighted one.
          const bool good = ratio >= kGoodRatio;
          if (exact && !good) exact_trusted = false;
          if (decrease <= limits.objective_tolerance && lam <= kTrustedDamping && good) {
            return finish(LeastSquaresStop::Objective);
          }
          break;
        }
        if (exact) {
          lambda_exact = std::min(kMaxDamping, lambda_exact * 4.0);
          exact_allowed = false;
          continue;
        }
      }
      lambda *= growth;
      growth *= 2.0;
      if (lambda > kMaxDamping) return finish(LeastSquaresStop::RoundOff);
    }
  }
}

void add_gauss_newton_rows(double* gauss_newton, std::size_t n, const double* jacobian,
                           const double (&weights)[3], std::span<const std::uint32_t> columns) {
  const std::size_t m = columns.size();
  for (std::size_t b = 0; b < m; ++b) {
    const std::size_t j = columns[b];
    const double* cj = jacobian + 3 * j;
    const double w0 = weights[0] * cj[0];
    const double w1 = weights[1] * cj[1];
    const double w2 = weights[2] * cj[2];
    double* column = gauss_newton + j * n;
    for (std::size_t a = b; a < m; ++a) {
      const double* ci = jacobian + 3 * columns[a];
      column[columns[a]] += ci[0] * w0 + ci[1] * w1 + ci[2] * w2;
    }
  }
}

void add_gauss_newton_outer(double* gauss_newton, std::size_t n, const double* v, double weight,
                            std::span<const std::uint32_t> columns) {
  const std::size_t m = columns.size();
  for (std::size_t b = 0; b < m; ++b) {
    const std::size_t j = columns[b];
    const double wj = weight * v[j];
    double* column = gauss_newton + j * n;
    for (std::size_t a = b; a < m; ++a) column[columns[a]] += v[columns[a]] * wj;
  }
}

}  // namespace kova
