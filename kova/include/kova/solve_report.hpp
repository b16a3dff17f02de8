// Which solver runs a frame, and what it reported about that frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "kova/result.hpp"

namespace kova {

// Slsqp: NLopt's SLSQP, the solver every optimiser uses by default. LeastSquares: a bounded
// least-squares solver for the same objectives.
enum class SolverKind : std::uint8_t { Slsqp, LeastSquares };

// "slsqp" or "lm", exactly (no case folding, no trimming). Otherwise the error names the text
// and the valid choices.
Result<SolverKind> solver_kind_from_str(std::string_view text);

// "slsqp" or "lm".
std::string_view to_string(SolverKind kind);

// The outcome of one frame's solve. The solution is used whatever the outcome; this record only
// says how the solver got there.
struct SolveReport {
  SolverKind solver = SolverKind::Slsqp;  // the solver that ran
  int status = 0;  // SLSQP: the nlopt_result code, 0 when nothing was solved; LM: LeastSquaresStop
  std::string_view stop_reason = "not solved";  // static text, e.g. "objective tolerance reached"
  std::size_t iterations = 0;   // SLSQP: = evaluations (NLopt does not report iterations)
  std::size_t evaluations = 0;  // objective evaluations
  double objective = std::numeric_limits<double>::quiet_NaN();  // final objective value
};

// Static text for an nlopt_result code; "unknown status" for a code NLopt does not define.
std::string_view slsqp_stop_reason(int status);

}  // namespace kova
