#include "kova/solve_report.hpp"

#include <nlopt.h>

#include <string>

namespace kova {

Result<SolverKind> solver_kind_from_str(std::string_view text) {
  if (text == "slsqp") return SolverKind::Slsqp;
  if (text == "lm") return SolverKind::LeastSquares;
  return fail("Unknown solver '" + std::string(text) + "'; valid solvers: slsqp, lm");
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

std::string_view slsqp_stop_reason(int status) {
  switch (status) {
    case 0:
      return "nothing to solve (no variables)";
    case NLOPT_SUCCESS:
      return "success";
    case NLOPT_STOPVAL_REACHED:
      return "objective stop value reached";
    case NLOPT_FTOL_REACHED:
      return "objective tolerance reached";
    case NLOPT_XTOL_REACHED:
      return "step tolerance reached";
    case NLOPT_MAXEVAL_REACHED:
      return "evaluation limit reached";
    case NLOPT_MAXTIME_REACHED:
      return "time limit reached";
    case NLOPT_FAILURE:
      return "solver failure";
    case NLOPT_INVALID_ARGS:
      return "invalid arguments";
    case NLOPT_OUT_OF_MEMORY:
      return "out of memory";
    case NLOPT_ROUNDOFF_LIMITED:
      return "round-off limited";
    case NLOPT_FORCED_STOP:
      return "forced stop";
    default:
      return "unknown status";
  }
}

}  // namespace kova
