#include "kova/solve_report.hpp"

#include <string>

namespace kova {

Result<SolverKind> solver_kind_from_str(std::string_view text) {
  if (text == "slsqp") return SolverKind::Slsqp;
  if (text == "lm") return SolverKind::LeastSquares;
  return fail("Unknown solver '" + std::string(text) + "': expected 'slsqp' or 'lm'");
}

std::string_view to_string(SolverKind kind) {
  switch (kind) {
    case SolverKind::Slsqp:
      return "slsqp";
    case SolverKind::LeastSquares:
      return "lm";
  }
  return "slsqp";
}

}  // namespace kova
