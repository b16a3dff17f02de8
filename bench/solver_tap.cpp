#include "solver_tap.hpp"

#include <nlopt.h>

#include <cstring>
#include <stdexcept>

extern "C" {
nlopt_result __real_nlopt_set_min_objective(nlopt_opt opt, nlopt_func f, void* f_data);
nlopt_result __real_nlopt_optimize(nlopt_opt opt, double* x, double* opt_f);
nlopt_result __wrap_nlopt_set_min_objective(nlopt_opt opt, nlopt_func f, void* f_data);
nlopt_result __wrap_nlopt_optimize(nlopt_opt opt, double* x, double* opt_f);
}

namespace kova_bench {
namespace {

enum class Mode { kOff, kCounting, kRecording };

struct Tap {
  Mode mode = Mode::kOff;
  Recording recording;
  std::size_t counted = 0;
  // The objective kova installed on the solver that is about to run.
  nlopt_func user_f = nullptr;
  void* user_data = nullptr;
};

Tap tap;

double counting_objective(unsigned n, const double* x, double* grad, void*) {
  ++tap.counted;
  return tap.user_f(n, x, grad, tap.user_data);
}

double recording_objective(unsigned n, const double* x, double* grad, void*) {
  const double f = tap.user_f(n, x, grad, tap.user_data);
  Recording& rec = tap.recording;
  rec.evals.push_back({rec.values.size(), grad != nullptr, f});
  rec.values.insert(rec.values.end(), x, x + n);
  if (grad != nullptr) rec.values.insert(rec.values.end(), grad, grad + n);
  return f;
}

struct Replay {
  const Recording* recording;
  std::size_t next;  // index into evals
  std::size_t end;
  bool verify;
  bool mismatch;
};

// The floor objective: hands back the recorded value and gradient, nothing else.
double replay_objective(unsigned n, const double* x, double* grad, void* data) {
  auto* r = static_cast<Replay*>(data);
  if (r->next >= r->end) {
    r->mismatch = true;
    return 0.0;
  }
  const Eval& e = r->recording->evals[r->next++];
  const double* stored = r->recording->values.data() + e.offset;
  if (r->verify &&
      (std::memcmp(stored, x, n * sizeof(double)) != 0 || e.has_gradient != (grad != nullptr))) {
    r->mismatch = true;
  }
  if (grad != nullptr && e.has_gradient) std::memcpy(grad, stored + n, n * sizeof(double));
  return e.f;
}

}  // namespace

void start_recording() {
  tap.recording = Recording{};
  tap.mode = Mode::kRecording;
}

Recording stop_recording() {
  tap.mode = Mode::kOff;
  return std::move(tap.recording);
}

void start_counting() {
  tap.counted = 0;
  tap.mode = Mode::kCounting;
}

std::size_t stop_counting() {
  tap.mode = Mode::kOff;
  return tap.counted;
}

std::size_t replay(const Recording& recording, std::size_t index, bool verify) {
  const Solve& s = recording.solves.at(index);
  Replay r{&recording, s.first_eval, s.first_eval + s.eval_count, verify, false};
  nlopt_opt opt = nlopt_create(NLOPT_LD_SLSQP, s.dimension);
  nlopt_set_lower_bounds(opt, s.lower.data());
  nlopt_set_upper_bounds(opt, s.upper.data());
  __real_nlopt_set_min_objective(opt, replay_objective, &r);
  nlopt_set_maxeval(opt, s.maxeval);
  nlopt_set_ftol_abs(opt, s.ftol_abs);
  nlopt_set_ftol_rel(opt, s.ftol_rel);
  nlopt_set_xtol_rel(opt, s.xtol_rel);
  static std::vector<double> x;  // keeps its capacity: the floor allocates nothing per solve
  x.assign(s.x0.begin(), s.x0.end());
  double f = 0.0;
  __real_nlopt_optimize(opt, x.data(), &f);
  nlopt_destroy(opt);
  const std::size_t evaluations = r.next - s.first_eval;
  if (verify) {
    if (r.mismatch || evaluations != s.eval_count) {
      throw std::runtime_error("replay of solve " + std::to_string(index) +
                               " diverged: " + std::to_string(evaluations) +
                               " evaluations instead of " + std::to_string(s.eval_count));
    }
    if (std::memcmp(x.data(), s.x_final.data(), x.size() * sizeof(double)) != 0) {
      throw std::runtime_error("replay of solve " + std::to_string(index) + " ended on another x");
    }
  }
  return evaluations;
}

}  // namespace kova_bench

using kova_bench::Mode;
using kova_bench::tap;

extern "C" nlopt_result __wrap_nlopt_set_min_objective(nlopt_opt opt, nlopt_func f, void* f_data) {
  switch (tap.mode) {
    case Mode::kOff:
      return __real_nlopt_set_min_objective(opt, f, f_data);
    case Mode::kCounting:
      tap.user_f = f;
      tap.user_data = f_data;
      return __real_nlopt_set_min_objective(opt, kova_bench::counting_objective, nullptr);
    case Mode::kRecording:
      tap.user_f = f;
      tap.user_data = f_data;
      return __real_nlopt_set_min_objective(opt, kova_bench::recording_objective, nullptr);
  }
  return NLOPT_INVALID_ARGS;
}

extern "C" nlopt_result __wrap_nlopt_optimize(nlopt_opt opt, double* x, double* opt_f) {
  if (tap.mode != Mode::kRecording) return __real_nlopt_optimize(opt, x, opt_f);
  kova_bench::Recording& rec = tap.recording;
  kova_bench::Solve s;
  s.dimension = nlopt_get_dimension(opt);
  s.lower.resize(s.dimension);
  s.upper.resize(s.dimension);
  nlopt_get_lower_bounds(opt, s.lower.data());
  nlopt_get_upper_bounds(opt, s.upper.data());
  s.x0.assign(x, x + s.dimension);
  s.maxeval = nlopt_get_maxeval(opt);
  s.ftol_abs = nlopt_get_ftol_abs(opt);
  s.ftol_rel = nlopt_get_ftol_rel(opt);
  s.xtol_rel = nlopt_get_xtol_rel(opt);
  s.first_eval = rec.evals.size();
  const nlopt_result result = __real_nlopt_optimize(opt, x, opt_f);
  s.eval_count = rec.evals.size() - s.first_eval;
  s.x_final.assign(x, x + s.dimension);
  rec.solves.push_back(std::move(s));
  return result;
}
