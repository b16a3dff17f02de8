// kova's two solvers on one configuration and one set of frames, for bench/solver_table.py.
//
//   kova_solver_table CONFIG.yml ROWS.bin OUT.json [REPETITIONS]
//
// ROWS.bin as in rows_file.hpp. For SLSQP and for the least-squares solver, each repetition
// builds a fresh retargeter and runs every frame, timing SeqRetargeting::retarget (thread CPU
// time); a frame's time is its minimum over the repetitions. Then the objectives: an SLSQP
// sequence runs once more and every frame is also solved by the least-squares solver from the
// SLSQP sequence's warm start, so that both face the same objective (same reference, warm start
// and regulariser reference); SLSQP's objective is the optimiser's objective at its solution.
// OUT.json gets the DOF joint names and, per solver, the per-frame times (ns), joint vectors of
// the first repetition, iterations and evaluations, and the two objectives of every frame.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "rows_file.hpp"
#include "solver_problems.hpp"

namespace {

using kova_bench::Motion;

kova::SeqRetargeting build(const char* config_path, kova::SolverKind solver) {
  auto config = kova::RetargetingConfig::load_from_file(config_path);
  if (!config) throw std::runtime_error(config.error());
  kova::SeqRetargeting seq = kova_bench::build(*config);
  kova_bench::base_of(seq).set_solver(solver);
  return seq;
}

struct Run {
  std::vector<std::int64_t> ns;
  std::vector<std::vector<double>> qpos;
  std::vector<std::int64_t> iterations, evaluations;
};

std::int64_t thread_ns() {
  return static_cast<std::int64_t>(kova_bench::thread_seconds() * 1e9);
}

Run timed(const char* config_path, kova::SolverKind solver, const Motion& motion, int reps) {
  Run run{std::vector<std::int64_t>(motion.frames, std::numeric_limits<std::int64_t>::max()),
          std::vector<std::vector<double>>(motion.frames), std::vector<std::int64_t>(motion.frames),
          std::vector<std::int64_t>(motion.frames)};
  for (int rep = 0; rep < reps; ++rep) {
    kova::SeqRetargeting seq = build(config_path, solver);
    for (std::size_t i = 0; i < motion.frames; ++i) {
      const std::int64_t t0 = thread_ns();
      std::vector<double> q = seq.retarget(motion.row(i), {});
      const std::int64_t t1 = thread_ns();
      run.ns[i] = std::min(run.ns[i], t1 - t0);
      if (rep == 0) {
        run.qpos[i] = std::move(q);
        const kova::SolveReport& report = kova_bench::base_of(seq).last_report();
        run.iterations[i] = static_cast<std::int64_t>(report.iterations);
        run.evaluations[i] = static_cast<std::int64_t>(report.evaluations);
      }
    }
  }
  return run;
}

// f_slsqp: the objective at SLSQP's solution; f_lm: the least-squares solver's from the same
// warm start.
void objectives(const char* config_path, const Motion& motion, std::vector<double>& f_slsqp,
                std::vector<double>& f_lm) {
  kova::SeqRetargeting slsqp = build(config_path, kova::SolverKind::Slsqp);
  kova::SeqRetargeting same = build(config_path, kova::SolverKind::LeastSquares);
  kova::OptimizerBase& lm = kova_bench::base_of(same);
  for (std::size_t i = 0; i < motion.frames; ++i) {
    const std::vector<double> warm = kova_bench::clamped(slsqp.last_qpos(), slsqp.joint_limits());
    slsqp.retarget(motion.row(i), {});
    lm.retarget(motion.row(i), {}, warm);
    f_lm.push_back(lm.last_report().objective);
    f_slsqp.push_back(kova_bench::objective_at(lm, slsqp.last_qpos()));
  }
}

template <typename T>
void write_list(std::FILE* out, const char* key, const std::vector<T>& v, bool last = false) {
  std::fprintf(out, "\"%s\": [", key);
  for (std::size_t i = 0; i < v.size(); ++i) {
    if constexpr (std::is_floating_point_v<T>) {
      std::fprintf(out, "%s%.17g", i ? ", " : "", v[i]);
    } else {
      std::fprintf(out, "%s%lld", i ? ", " : "", static_cast<long long>(v[i]));
    }
  }
  std::fprintf(out, "]%s\n", last ? "" : ",");
}

void write_run(std::FILE* out, const char* name, const Run& run) {
  std::fprintf(out, "\"%s\": {\n", name);
  write_list(out, "ns", run.ns);
  write_list(out, "iterations", run.iterations);
  write_list(out, "evaluations", run.evaluations);
  std::fprintf(out, "\"qpos\": [");
  for (std::size_t i = 0; i < run.qpos.size(); ++i) {
    std::fprintf(out, "%s[", i ? ",\n" : "\n");
    for (std::size_t j = 0; j < run.qpos[i].size(); ++j) {
      std::fprintf(out, "%s%.17g", j ? ", " : "", run.qpos[i][j]);
    }
    std::fprintf(out, "]");
  }
  std::fprintf(out, "]\n},\n");
}

int run(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s CONFIG.yml ROWS.bin OUT.json [REPETITIONS]\n", argv[0]);
    return 2;
  }
  const char* config_path = argv[1];
  const Motion motion = kova_bench::read_motion(argv[2]);
  const int reps = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  const Run slsqp = timed(config_path, kova::SolverKind::Slsqp, motion, reps);
  const Run lm = timed(config_path, kova::SolverKind::LeastSquares, motion, reps);
  std::vector<double> f_slsqp, f_lm;
  objectives(config_path, motion, f_slsqp, f_lm);

  std::FILE* out = std::fopen(argv[3], "w");
  if (out == nullptr) throw std::runtime_error(std::string("cannot write ") + argv[3]);
  const std::vector<std::string> names =
      build(config_path, kova::SolverKind::Slsqp).optimizer().dof_joint_names();
  std::fprintf(out, "{\n\"joint_names\": [");
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::fprintf(out, "%s\"%s\"", i ? ", " : "", names[i].c_str());
  }
  std::fprintf(out, "],\n");
  write_run(out, "slsqp", slsqp);
  write_run(out, "lm", lm);
  write_list(out, "objective_slsqp", f_slsqp);
  write_list(out, "objective_lm", f_lm, true);
  std::fprintf(out, "}\n");
  std::fclose(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova_solver_table: %s\n", e.what());
    return 1;
  }
}
