// Bounded Levenberg-Marquardt for objectives that are sums of (robustly weighted) squared
// residuals plus a quadratic term, under box bounds.
//
// The objective supplies, besides its value and exact gradient, two Gauss-Newton matrices, sums
// of J^T W J over its residual blocks:
// - reweighted: W is the weight of iteratively reweighted least squares (for a Huber term its
//   slope divided by the residual length), a quadratic above the loss, so a damped step on it
//   lowers the objective; convergence is only linear where residuals lie on the loss's linear
//   part;
// - exact: W is the loss's own curvature (none along a residual on the linear part), which
//   converges fast once the loss's regions settle but may promise too much farther out.
// Each iteration tries a short step on the exact model first and falls back to the reweighted
// one. The matrices only shape the steps; every step is accepted or refused on the exact
// objective, so the solver minimises exactly the function the objective computes. Steps come
// from a box-constrained quadratic model solved by an active-set method, so the iterate never
// leaves the bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace kova {

struct BoxQpWorkspace;

// Value at x; with `grad`, also the gradient; with `gauss_newton` (only ever passed together with
// `grad`), also the two n x n Gauss-Newton matrices, column-major, one after the other: the
// reweighted one at gauss_newton, the exact one at gauss_newton + n * n. The solver reads their
// lower triangles. The objective overwrites whatever it is asked for. It may throw; nothing is
// left half-done in the solver (it is restarted from scratch by the next solve).
using GaussNewtonObjective = double (*)(void* context, const double* x, double* grad,
                                        double* gauss_newton);

// Stopping rules, in the units of the problem: x in radians (metres for a prismatic joint), the
// objective in its own units. The defaults suit the optimisers' objectives (means of Huber losses
// of metres divided by delta, about 1e-6 to 1e-1 at a solution): a joint step of 1e-8 rad moves a
// fingertip by about a nanometre, and an objective decrease of 1e-11 lies two orders below the
// smallest difference between two solutions worth telling apart (1e-9).
struct LeastSquaresLimits {
  std::size_t max_iterations = 50;     // accepted steps
  std::size_t max_evaluations = 100;   // objective calls, the start point included
  double gradient_tolerance = 1e-9;    // max |projected gradient| (objective per unit of x)
  double step_tolerance = 1e-8;        // max |step| of x
  double objective_tolerance = 1e-11;  // decrease of an accepted step, or predicted for the next
};

// Why a solve stopped. Positive: the returned point is a solution within the tolerances; the
// others return the best point found (the start point itself for a non-finite start or bad
// bounds).
enum class LeastSquaresStop : int {
  NoVariables = 0,
  Gradient = 1,
  Step = 2,
  Objective = 3,
  RoundOff = 4,
  IterationLimit = -1,
  EvaluationLimit = -2,
  NonFiniteStart = -3,
  InvalidBounds = -4,
};

std::string_view stop_reason(LeastSquaresStop stop);

struct LeastSquaresRun {
  LeastSquaresStop stop = LeastSquaresStop::NoVariables;
  std::size_t iterations = 0;   // accepted steps
  std::size_t evaluations = 0;  // objective calls
  double objective = 0.0;       // at the returned x
};

class LeastSquaresSolver {
 public:
  // All work arrays for problems of exactly n variables, allocated here once.
  explicit LeastSquaresSolver(std::size_t n);
  ~LeastSquaresSolver();
  LeastSquaresSolver(LeastSquaresSolver&&) noexcept;
  LeastSquaresSolver& operator=(LeastSquaresSolver&&) noexcept;

  std::size_t size() const { return n_; }

  // The order in which the step subproblem factorises the variables (see elimination_order); a
  // permutation of 0..size()-1, else an InternalFault. The identity unless set.
  void set_variable_order(std::span<const std::size_t> order);

  // On entry x is the start point, on return the solution. A start outside [lower, upper] is
  // returned unchanged (InvalidBounds); sizes other than size() are an InternalFault. No heap
  // allocation.
  LeastSquaresRun solve(std::span<double> x, std::span<const double> lower,
                        std::span<const double> upper, const LeastSquaresLimits& limits,
                        GaussNewtonObjective objective, void* context);

 private:
  std::size_t n_;
  std::vector<double> x_, x_trial_;
  std::vector<double> grad_, grad_trial_;
  std::vector<double> gauss_newton_, gauss_newton_trial_;  // n x n
  std::vector<double> model_;                              // n x n: damped Gauss-Newton matrix
  std::vector<double> step_, step_lower_, step_upper_;
  std::vector<signed char> step_bound_;  // -1 / +1: the step ends on the lower / upper bound
  std::vector<double> step_exact_;
  std::vector<signed char> step_bound_exact_;
  std::unique_ptr<BoxQpWorkspace> box_qp_;
};

// An order of n variables for factorising a symmetric matrix whose non-zeros lie within the
// given groups (each group's variables all coupled, as the columns one residual block moves):
// greedy minimum degree, ties to the lower index, so that the factor keeps the sparsity of a
// hand's fingers (the joints every finger shares, such as a wrist, come last). Entries of a group
// at or beyond n are ignored.
std::vector<std::size_t> elimination_order(std::size_t n,
                                           std::span<const std::vector<std::uint32_t>> groups);

// Adds sum over the three rows a of weights[a] * J_a^T J_a to the lower triangle of the n x n
// column-major matrix `gauss_newton`; `jacobian` is 3 x n, column-major, and zero outside
// `columns` (ascending and distinct), the only pairs touched.
void add_gauss_newton_rows(double* gauss_newton, std::size_t n, const double* jacobian,
                           const double (&weights)[3], std::span<const std::uint32_t> columns);
// Adds weight * v v^T to the lower triangle, v zero outside `columns`.
void add_gauss_newton_outer(double* gauss_newton, std::size_t n, const double* v, double weight,
                            std::span<const std::uint32_t> columns);

}  // namespace kova
