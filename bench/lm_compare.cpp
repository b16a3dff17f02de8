// kova's two solvers on the same frames: SLSQP (NLopt, the optimisers' fixed limits) and the
// bounded Levenberg-Marquardt solver.
//
//   lm_compare [FRAMES]
//
// Environment: LM_ONLY=<problem> runs one problem, LM_REPEAT=<k> times each frame k times (the
// least counts), LM_DIGEST prints a hash of every solution instead of the table, LM_DIAG
// explains frames where LM ends far off or above SLSQP.
//
// Exits with 1 when a frame's reported LM objective is not the objective at the returned x.
// Per problem (see solver_problems.hpp), each solver runs its own warm-started sequence; the
// per-frame figures are thread CPU times of SeqRetargeting::retarget. The objective comparison
// solves every frame a third time with LM from the SLSQP sequence's warm start, so that both
// solvers face the same objective (same reference, warm start and regulariser reference); SLSQP's
// objective is then evaluated at its own solution by the optimiser's objective.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "../kova/src/objective_probe.hpp"
#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/vector_optimizer.hpp"
#include "solver_problems.hpp"

namespace {

using namespace kova_bench;

// Frames whose reported LM objective differs from the objective at the returned x.
std::size_t g_report_mismatches = 0;

// With LM_DIGEST set, a hash of every solution's bits per problem, so that a change meant to
// leave results bit-identical can be checked by comparing two builds' output.
std::uint64_t digest(std::uint64_t hash, const std::vector<double>& values) {
  for (const double v : values) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    hash = (hash ^ bits) * 0x100000001b3ULL;
  }
  return hash;
}

struct Times {
  std::vector<double> us;
  double median() const {
    std::vector<double> s = us;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0.0 : s[s.size() / 2];
  }
  double p99() const {
    std::vector<double> s = us;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0.0 : s[std::min(s.size() - 1, s.size() * 99 / 100)];
  }
  double mean() const {
    return us.empty() ? 0.0
                      : std::accumulate(us.begin(), us.end(), 0.0) / static_cast<double>(us.size());
  }
};

// Thread CPU time of each frame of one fresh warm-started sequence.
std::vector<double> frame_times(const Problem& p, bool least_squares) {
  kova::SeqRetargeting seq = build(p.config);
  if (least_squares) base_of(seq).set_solver(kova::SolverKind::LeastSquares);
  std::vector<double> us;
  for (const auto& ref : p.refs) {
    const double t0 = thread_seconds();
    seq.retarget(ref, {});
    us.push_back((thread_seconds() - t0) * 1e6);
  }
  return us;
}

// With LM_REPEAT=k, each frame's time is the least over k sequences (the first one included),
// which steadies the figures on a shared machine.
void keep_fastest(const Problem& p, Times& slsqp, Times& lm) {
  const char* repeat = std::getenv("LM_REPEAT");
  const long passes = repeat != nullptr ? std::strtol(repeat, nullptr, 10) : 1;
  for (long pass = 1; pass < passes; ++pass) {
    for (const bool least_squares : {false, true}) {
      Times& times = least_squares ? lm : slsqp;
      const std::vector<double> us = frame_times(p, least_squares);
      for (std::size_t f = 0; f < us.size(); ++f) times.us[f] = std::min(times.us[f], us[f]);
    }
  }
}

void run(const Problem& p, bool reachable) {
  kova::SeqRetargeting slsqp = build(p.config);
  kova::SeqRetargeting lm = build(p.config);
  base_of(lm).set_solver(kova::SolverKind::LeastSquares);
  kova::SeqRetargeting same = build(p.config);
  kova::OptimizerBase& same_opt = base_of(same);
  same_opt.set_solver(kova::SolverKind::LeastSquares);

  Times t_slsqp, t_lm;
  TipError e_slsqp, e_lm;
  std::size_t at_or_below = 0, report_mismatch = 0;
  double worst_excess = -1e300, iterations = 0.0, evaluations = 0.0, slsqp_evaluations = 0.0;
  std::size_t frame = 0;
  std::uint64_t hash_slsqp = 0xcbf29ce484222325ULL;
  std::uint64_t hash_lm = hash_slsqp;
  for (const auto& ref : p.refs) {
    ++frame;
    const std::vector<double> warm = clamped(slsqp.last_qpos(), slsqp.joint_limits());

    double t0 = thread_seconds();
    const std::vector<double> q_slsqp = slsqp.retarget(ref, {});
    double t1 = thread_seconds();
    if (std::getenv("LM_TRACE")) std::fprintf(stderr, "frame\n");
    const std::vector<double> q_lm = lm.retarget(ref, {});
    double t2 = thread_seconds();
    hash_slsqp = digest(hash_slsqp, q_slsqp);
    hash_lm = digest(hash_lm, q_lm);
    t_slsqp.us.push_back((t1 - t0) * 1e6);
    t_lm.us.push_back((t2 - t1) * 1e6);
    slsqp_evaluations += static_cast<double>(base_of(slsqp).last_report().evaluations);
    iterations += static_cast<double>(base_of(lm).last_report().iterations);
    evaluations += static_cast<double>(base_of(lm).last_report().evaluations);
    if (reachable) {
      add_tip_error(e_slsqp, slsqp.optimizer(), p, q_slsqp, ref);
      TipError one;
      add_tip_error(one, lm.optimizer(), p, q_lm, ref);
      add_tip_error(e_lm, lm.optimizer(), p, q_lm, ref);
      if (std::getenv("LM_DIAG") != nullptr && one.max > 5e-4) {
        const auto& r = base_of(lm).last_report();
        std::printf("  far (frame %zu): %.3f mm stop %d (%s) it %zu ev %zu f %.3e\n", frame - 1,
                    one.max * 1e3, r.status, std::string(r.stop_reason).c_str(), r.iterations,
                    r.evaluations, r.objective);
      }
    }

    const std::vector<double> x = same_opt.retarget(ref, {}, warm);
    const double f_lm = same_opt.last_report().objective;
    if (f_lm != objective_at(same_opt, x)) {
      ++report_mismatch;
      ++g_report_mismatches;
    }
    const double f_slsqp = objective_at(same_opt, slsqp.last_qpos());
    if (f_lm <= f_slsqp) ++at_or_below;
    if (std::getenv("LM_DIAG") != nullptr && f_lm > f_slsqp) {
      const auto& r = same_opt.last_report();
      std::printf("  above (frame %zu): f_lm %.17g f_slsqp %.17g stop %d (%s) it %zu ev %zu\n",
                  frame - 1, f_lm, f_slsqp, r.status, std::string(r.stop_reason).c_str(),
                  r.iterations, r.evaluations);
      // The objective on the segment from LM's solution to SLSQP's: a rise in between means
      // the two lie in different basins.
      const std::vector<double>& x_slsqp = slsqp.last_qpos();
      double joint_distance = 0.0;
      std::printf("  segment LM -> SLSQP:");
      for (int k = 0; k <= 10; ++k) {
        std::vector<double> y = x;
        for (std::size_t i = 0; i < y.size(); ++i) {
          y[i] += 0.1 * k * (x_slsqp[i] - x[i]);
          joint_distance = std::max(joint_distance, std::abs(x_slsqp[i] - x[i]));
        }
        std::printf(" %.6g", objective_at(same_opt, y));
      }
      std::printf("\n  largest joint difference %.3f rad\n", joint_distance);
    }
    worst_excess = std::max(worst_excess, f_lm - f_slsqp);
  }
  keep_fastest(p, t_slsqp, t_lm);
  if (std::getenv("LM_DIGEST") != nullptr) {
    std::printf("digest %s: SLSQP %016llx LM %016llx\n", p.name.c_str(),
                static_cast<unsigned long long>(hash_slsqp),
                static_cast<unsigned long long>(hash_lm));
    return;
  }
  const double frames = static_cast<double>(p.refs.size());
  std::printf("| %-28s | %6.1f / %6.1f | %5.1f / %5.1f | %5.1fx | ", p.name.c_str(),
              t_slsqp.median(), t_slsqp.p99(), t_lm.median(), t_lm.p99(),
              t_slsqp.mean() / t_lm.mean());
  if (reachable) {
    std::printf("%7.4f / %7.3f | %8.5f / %7.4f | ",
                1e3 * e_slsqp.sum / static_cast<double>(e_slsqp.count), 1e3 * e_slsqp.max,
                1e3 * e_lm.sum / static_cast<double>(e_lm.count), 1e3 * e_lm.max);
  }
  std::printf("%6.2f%% | %9.2e | %5.1f | %4.1f / %4.1f | %zu |\n",
              100.0 * static_cast<double>(at_or_below) / frames, worst_excess,
              slsqp_evaluations / frames, iterations / frames, evaluations / frames,
              report_mismatch);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t frames = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 600;
  try {
    std::printf(
        "Reachable targets (%zu frames, normal_delta 0). Times in us per frame "
        "(thread CPU), errors in mm.\n\n",
        frames);
    std::printf(
        "| problem | SLSQP median / p99 | LM median / p99 | mean speed-up | SLSQP tip "
        "error mean / max | LM tip error mean / max | LM obj <= SLSQP | max LM - SLSQP "
        "| SLSQP evals | LM iters / evals | report != objective |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Problem& p : reachable_problems(frames)) {
      if (std::getenv("LM_ONLY") && p.name != std::getenv("LM_ONLY")) continue;
      run(p, true);
    }
    std::printf("\nDemo motion, shipped configurations.\n\n");
    std::printf(
        "| problem | SLSQP median / p99 | LM median / p99 | mean speed-up | LM obj <= "
        "SLSQP | max LM - SLSQP | SLSQP evals | LM iters / evals | report != objective "
        "|\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Problem& p : demo_problems()) {
      if (std::getenv("LM_ONLY") && p.name != std::getenv("LM_ONLY")) continue;
      run(p, false);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lm_compare: %s\n", e.what());
    return 1;
  }
  if (g_report_mismatches != 0) {
    std::fprintf(stderr,
                 "lm_compare: %zu frames reported an objective other than the objective's\n",
                 g_report_mismatches);
    return 1;
  }
  return 0;
}
