// A tap on kova's SLSQP calls, for the benchmark's floor.
//
// The executable that links solver_tap.cpp is linked with
//   -Wl,--wrap=nlopt_set_min_objective -Wl,--wrap=nlopt_optimize
// so every call kova makes to those two NLopt functions passes through here first. When
// recording, the tap keeps each solve's settings (dimension, bounds, start point, stopping
// criteria) and every (x, f, gradient) the objective hands back to NLopt. `replay` then runs
// the same SLSQP solves again through NLopt's C API, with an objective that only returns the
// recorded values in order: what is left is the solver's own work, the floor under any
// objective. Nothing in kova is changed or hooked at run time besides these two symbols.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kova_bench {

struct Solve {
  unsigned dimension = 0;
  std::vector<double> lower, upper, x0, x_final;
  int maxeval = 0;
  double ftol_abs = 0.0, ftol_rel = 0.0, xtol_rel = 0.0;
  std::size_t first_eval = 0;  // range into Recording::evals
  std::size_t eval_count = 0;
};

struct Eval {
  std::size_t offset;  // into Recording::values: x (n), then gradient (n) when requested
  bool has_gradient;
  double f;
};

struct Recording {
  std::vector<Solve> solves;
  std::vector<Eval> evals;
  std::vector<double> values;
};

// Starts recording every following solve into a fresh recording; stop_recording returns it.
void start_recording();
Recording stop_recording();

// Counts objective evaluations (without recording) while counting is on.
void start_counting();
std::size_t stop_counting();

// Runs solve `index` of the recording again with the replaying objective; returns the number of
// evaluations NLopt asked for. When `verify` is set, every requested x is compared with the
// recorded one bit for bit; a mismatch, a different evaluation count or a different final x
// throws std::runtime_error with `what` describing it.
std::size_t replay(const Recording& recording, std::size_t index, bool verify);

}  // namespace kova_bench
