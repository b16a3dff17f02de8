#include "slsqp.hpp"

#include <nlopt.h>

#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>

#include "kova/result.hpp"

namespace kova {
namespace {

struct OptDeleter {
  void operator()(nlopt_opt opt) const { nlopt_destroy(opt); }
};
using OptHandle = std::unique_ptr<std::remove_pointer_t<nlopt_opt>, OptDeleter>;

// Lives on solve_slsqp's stack for one run; the C callback reaches it through `data`.
struct CallbackState {
  nlopt_opt opt = nullptr;
  SlsqpObjective objective = nullptr;
  void* context = nullptr;
  std::size_t evaluations = 0;
  bool evaluating = false;
  std::exception_ptr fault;
};

// No C++ exception may unwind through NLopt's C frames: everything is caught here, the solver is
// stopped, and the exception is rethrown once nlopt_optimize has returned.
double nlopt_callback(unsigned /*n*/, const double* x, double* grad, void* data) noexcept {
  auto* state = static_cast<CallbackState*>(data);
  if (state->fault) return std::numeric_limits<double>::quiet_NaN();
  ++state->evaluations;
  try {
    if (state->evaluating) throw InternalFault("Re-entrant objective evaluation");
    state->evaluating = true;
    const double value = state->objective(state->context, x, grad);
    state->evaluating = false;
    return value;
  } catch (...) {
    state->evaluating = false;
    state->fault = std::current_exception();
    nlopt_force_stop(state->opt);
    return std::numeric_limits<double>::quiet_NaN();
  }
}

}  // namespace

SlsqpRun solve_slsqp(std::span<const double> start, std::span<const double> lower,
                     std::span<const double> upper, int max_evaluations, double ftol_abs,
                     SlsqpObjective objective, void* context) {
  const std::size_t n = start.size();
  if (lower.size() != n || upper.size() != n) {
    throw InternalFault("Expected " + std::to_string(n) + " bound pairs, got " +
                        std::to_string(lower.size()) + " lower and " +
                        std::to_string(upper.size()) + " upper bounds");
  }

  SlsqpRun run;
  run.x.assign(start.begin(), start.end());
  // NLopt refuses an optimiser without variables; there is nothing to solve.
  if (n == 0) return run;

  OptHandle opt(nlopt_create(NLOPT_LD_SLSQP, static_cast<unsigned>(n)));
  // Out of memory inside NLopt is a failure status like any other: the start point comes back.
  if (!opt) {
    run.status = NLOPT_OUT_OF_MEMORY;
    return run;
  }
  CallbackState state;
  state.opt = opt.get();
  state.objective = objective;
  state.context = context;
  nlopt_set_lower_bounds(opt.get(), lower.data());
  nlopt_set_upper_bounds(opt.get(), upper.data());
  nlopt_set_min_objective(opt.get(), nlopt_callback, &state);
  nlopt_set_maxeval(opt.get(), max_evaluations);
  nlopt_set_ftol_abs(opt.get(), ftol_abs);
  nlopt_set_ftol_rel(opt.get(), 0.0);
  nlopt_set_xtol_rel(opt.get(), 0.0);

  double final_value = 0.0;
  run.status = nlopt_optimize(opt.get(), run.x.data(), &final_value);
  run.evaluations = state.evaluations;
  // Without a single evaluation NLopt's value describes no point.
  if (run.evaluations > 0) run.objective = final_value;
  if (state.fault) std::rethrow_exception(state.fault);
  return run;
}

}  // namespace kova
