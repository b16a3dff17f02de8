// The one call of NLopt's SLSQP solver that every optimiser makes per frame.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace kova {

// Objective callback: value at x; when `grad` is not null, also the gradient into it.
// It may throw: the exception is carried across the solver and rethrown by solve_slsqp.
using SlsqpObjective = double (*)(void* context, const double* x, double* grad);

struct SlsqpRun {
  std::vector<double> x;        // what the solver left in its x array, whatever its status
  std::size_t evaluations = 0;  // objective calls made
  int status = 0;               // NLopt's result code, 0 when the solver was not run
  double objective =
      std::numeric_limits<double>::quiet_NaN();  // NLopt's final value; NaN without evaluations
};

// Bounded SLSQP from `start` with at most `max_evaluations` objective calls, stopping when the
// objective changes by less than `ftol_abs` (relative objective and x tolerances 0).
// With no variables the solver is not run and the empty vector comes back.
// `lower` and `upper` must have as many entries as `start` (InternalFault otherwise).
SlsqpRun solve_slsqp(std::span<const double> start, std::span<const double> lower,
                     std::span<const double> upper, int max_evaluations, double ftol_abs,
                     SlsqpObjective objective, void* context);

}  // namespace kova
