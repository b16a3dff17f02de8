// Per-frame cost of the three optimisers on a smooth 1000-frame motion of a real robot hand.
//
// One benchmark iteration retargets the whole motion from a fresh sequence. Counters:
//   median_us, p99_us   per-frame thread CPU time of SeqRetargeting::retarget
//   evals_per_frame     objective evaluations per frame (mean)
//   eval_us             one objective evaluation with gradient, timed on its own
//   objective_share     evals_per_frame * eval_us / mean frame time
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../kova/src/objective_probe.hpp"
#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/vector_optimizer.hpp"

namespace {

// The machine is shared: per-frame figures use this thread's CPU time, which other processes
// do not inflate.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}
using Strings = std::vector<std::string>;
using Limits = std::vector<std::pair<double, double>>;

constexpr int kFrames = 1000;
const char* const kRobot = "allegro/allegro_hand_description_right.urdf";
const Strings kTips{"link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"};
const Strings kLinks{"base_link", "link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"};

enum class Method { kPosition, kVector, kDexPilot };

std::optional<kova::RobotWrapper> load_robot() {
  const auto path = std::filesystem::path(KOVA_TEST_DATA_DIR) / "robots" / kRobot;
  if (!std::filesystem::exists(path)) return std::nullopt;
  auto urdf = kova::UrdfRobot::from_file(path);
  if (!urdf) return std::nullopt;
  auto robot = kova::RobotWrapper::create(std::move(*urdf));
  if (!robot) return std::nullopt;
  return std::move(*robot);
}

// Every joint sweeps a slow sine through the middle of its range (about 1.5 s per cycle at
// 90 Hz); the references are the robot's own link positions / vectors along the motion.
std::vector<std::vector<double>> motion(kova::RobotWrapper& robot, Method method) {
  std::vector<std::vector<double>> refs;
  const std::size_t dof = robot.dof();
  for (int f = 0; f < kFrames; ++f) {
    std::vector<double> q;
    for (std::size_t i = 0; i < dof; ++i) {
      const auto [lower, upper] = robot.joint_limits()[i];
      const double phase = 0.05 * f + 0.7 * static_cast<double>(i);
      q.push_back(lower + (upper - lower) * (0.5 + 0.35 * std::sin(phase)));
    }
    robot.compute_forward_kinematics(q);
    std::vector<Eigen::Vector3d> p;
    for (const auto& name : kLinks) p.push_back(robot.link_position(robot.link_index().at(name)));
    std::vector<double> ref;
    const auto push = [&](const Eigen::Vector3d& v) {
      ref.insert(ref.end(), {v.x(), v.y(), v.z()});
    };
    if (method == Method::kPosition) {
      for (std::size_t k = 1; k < p.size(); ++k) push(p[k]);
    } else if (method == Method::kVector) {
      for (std::size_t k = 1; k < p.size(); ++k) push(p[k] - p[0]);
    } else {
      for (std::size_t i = 1; i < p.size(); ++i) {
        for (std::size_t j = i + 1; j < p.size(); ++j) push(p[i] - p[j]);
      }
      for (std::size_t k = 1; k < p.size(); ++k) push(p[k] - p[0]);
    }
    refs.push_back(std::move(ref));
  }
  return refs;
}

std::unique_ptr<kova::OptimizerBase> make_optimizer(kova::RobotWrapper robot, Method method) {
  const Strings joints = robot.dof_joint_names();
  switch (method) {
    case Method::kPosition:
      return std::make_unique<kova::PositionOptimizer>(std::move(robot), joints, kTips, 0.02, 4e-3);
    case Method::kVector:
      return std::make_unique<kova::VectorOptimizer>(
          std::move(robot), joints, Strings(4, "base_link"), kTips, 0.02, 4e-3, 1.0);
    case Method::kDexPilot:
      return std::make_unique<kova::DexPilotOptimizer>(std::move(robot), joints, kTips, "base_link",
                                                       0.03, 4e-3, 0.03, 0.05, 1e-4, 0.03, 1.0);
  }
  return nullptr;
}

// Mean time of one objective evaluation with gradient at the frame's solution.
template <class Opt>
double evaluation_seconds(kova::OptimizerBase& base, const std::vector<double>& ref,
                          const std::vector<double>& x) {
  auto& optimizer = static_cast<Opt&>(base);
  kova::ObjectiveProbe::prepare(optimizer, ref, {}, x);
  std::vector<double> gradient(x.size());
  constexpr int kRepeats = 2000;
  const double start = thread_seconds();
  for (int i = 0; i < kRepeats; ++i) {
    benchmark::DoNotOptimize(kova::ObjectiveProbe::value_and_gradient(optimizer, x, gradient));
  }
  return (thread_seconds() - start) / kRepeats;
}

void run_motion(benchmark::State& state, Method method) {
  auto robot = load_robot();
  if (!robot) {
    state.SkipWithError("shared robot file not found (../shared absent)");
    return;
  }
  auto kinematics = load_robot();
  const std::vector<std::vector<double>> refs = motion(*kinematics, method);
  const Limits limits = robot->joint_limits();

  std::vector<double> frame_seconds;
  std::vector<double> evaluations;
  double eval_seconds = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    auto optimizer = make_optimizer(*load_robot(), method);
    optimizer->set_joint_limit(limits);
    kova::OptimizerBase* view = optimizer.get();
    kova::SeqRetargeting seq(std::move(optimizer), true, std::nullopt, limits);
    frame_seconds.clear();
    evaluations.clear();
    state.ResumeTiming();
    for (const auto& ref : refs) {
      const double start = thread_seconds();
      benchmark::DoNotOptimize(seq.retarget(ref, {}));
      frame_seconds.push_back(thread_seconds() - start);
      evaluations.push_back(static_cast<double>(view->last_evaluation_count()));
    }
    state.PauseTiming();
    const std::vector<double> x = seq.last_qpos();
    switch (method) {
      case Method::kPosition:
        eval_seconds = evaluation_seconds<kova::PositionOptimizer>(*view, refs.back(), x);
        break;
      case Method::kVector:
        eval_seconds = evaluation_seconds<kova::VectorOptimizer>(*view, refs.back(), x);
        break;
      case Method::kDexPilot:
        eval_seconds = evaluation_seconds<kova::DexPilotOptimizer>(*view, refs.back(), x);
        break;
    }
    state.ResumeTiming();
  }

  std::vector<double> sorted = frame_seconds;
  std::sort(sorted.begin(), sorted.end());
  const double mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / kFrames;
  const double evals = std::accumulate(evaluations.begin(), evaluations.end(), 0.0) / kFrames;
  state.counters["median_us"] = sorted[sorted.size() / 2] * 1e6;
  state.counters["p99_us"] = sorted[sorted.size() * 99 / 100] * 1e6;
  state.counters["mean_us"] = mean * 1e6;
  state.counters["evals_per_frame"] = evals;
  state.counters["eval_us"] = eval_seconds * 1e6;
  state.counters["objective_share"] = evals * eval_seconds / mean;
  state.SetItemsProcessed(state.iterations() * kFrames);
}

void BM_PositionAllegro1000(benchmark::State& state) {
  run_motion(state, Method::kPosition);
}
void BM_VectorAllegro1000(benchmark::State& state) {
  run_motion(state, Method::kVector);
}
void BM_DexPilotAllegro1000(benchmark::State& state) {
  run_motion(state, Method::kDexPilot);
}

BENCHMARK(BM_PositionAllegro1000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_VectorAllegro1000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DexPilotAllegro1000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
