// Which solver an optimiser runs per frame, and what it reports about the last frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "kova/result.hpp"

namespace kova {

// Slsqp: NLopt's SLSQP with the optimisers' fixed limits. LeastSquares: kova's bounded
// Levenberg-Marquardt method on the same objective.
enum class SolverKind : std::uint8_t { Slsqp, LeastSquares };

// "slsqp" or "lm"; anything else fails with a message that names both.
Result<SolverKind> solver_kind_from_str(std::string_view text);
std::string_view to_string(SolverKind kind);

struct SolveReport {
  SolverKind solver = SolverKind::Slsqp;
  int status = 0;                // SLSQP: the nlopt_result code; LM: its own stop code
  std::string_view stop_reason;  // static text, e.g. "objective tolerance reached"
  std::size_t iterations = 0;    // SLSQP: = evaluations (NLopt does not report iterations)
  std::size_t evaluations = 0;
  double objective = std::numeric_limits<double>::quiet_NaN();  // final objective value
};

}  // namespace kova
