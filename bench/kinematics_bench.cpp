// Forward kinematics alone, and forward kinematics plus the position Jacobians of five fingertip
// links, on the hand with the most links among the shared robot files (Ability hand, 46 links)
// and on a 24-DOF hand (Shadow hand).
//
//   kinematics_bench [--benchmark_min_time=...]
#include <array>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

struct BenchRobot {
  const char* label;
  const char* file;  // under <shared>/robots
  std::array<const char*, 5> fingertips;
};

constexpr BenchRobot kAbility{
    "ability_46_links_10_dof",
    "ability/ability_hand_right_large.urdf",
    {"index_anchor", "middle_anchor", "ring_anchor", "pinky_anchor", "thumb_anchor"}};
constexpr BenchRobot kShadow{"shadow_33_links_24_dof",
                             "shadow_2020/shadowhand_motor.urdf",
                             {"rh_fftip", "rh_mftip", "rh_rftip", "rh_lftip", "rh_thtip"}};

struct Loaded {
  kova::RobotWrapper wrapper;
  std::vector<std::size_t> tips;
  std::vector<double> qpos;
};

kova::Result<Loaded> load(const BenchRobot& robot) {
  const auto path = std::filesystem::path(KOVA_TEST_DATA_DIR) / "robots" / robot.file;
  auto urdf = kova::UrdfRobot::from_file(path);
  if (!urdf) return kova::fail(path.string() + ": " + urdf.error());
  auto wrapper = kova::RobotWrapper::create(std::move(*urdf));
  if (!wrapper) return kova::fail(wrapper.error());
  Loaded loaded{std::move(*wrapper), {}, {}};
  for (const char* tip : robot.fingertips) {
    const auto found = loaded.wrapper.link_index().find(tip);
    if (found == loaded.wrapper.link_index().end()) {
      return kova::fail(std::string("fingertip link ") + tip + " not found");
    }
    loaded.tips.push_back(found->second);
  }
  std::mt19937 rng(42);
  for (const auto& [lower, upper] : loaded.wrapper.joint_limits()) {
    std::uniform_real_distribution<double> value(std::max(lower, -3.0), std::min(upper, 3.0));
    loaded.qpos.push_back(value(rng));
  }
  return loaded;
}

void forward_kinematics(benchmark::State& state, const BenchRobot& robot) {
  auto loaded = load(robot);
  if (!loaded) {
    state.SkipWithError(loaded.error().c_str());
    return;
  }
  for (auto _ : state) {
    loaded->wrapper.compute_forward_kinematics(loaded->qpos);
    benchmark::DoNotOptimize(loaded->wrapper.link_transforms().data());
    benchmark::ClobberMemory();
  }
  state.counters["links"] = static_cast<double>(loaded->wrapper.link_count());
  state.counters["dof"] = static_cast<double>(loaded->wrapper.dof());
}

void forward_kinematics_and_fingertip_jacobians(benchmark::State& state, const BenchRobot& robot) {
  auto loaded = load(robot);
  if (!loaded) {
    state.SkipWithError(loaded.error().c_str());
    return;
  }
  std::vector<kova::Jacobian> jacobians(
      loaded->tips.size(), kova::Jacobian(3, static_cast<Eigen::Index>(loaded->wrapper.dof())));
  for (auto _ : state) {
    loaded->wrapper.compute_forward_kinematics(loaded->qpos);
    for (std::size_t i = 0; i < loaded->tips.size(); ++i) {
      loaded->wrapper.compute_single_link_position_jacobian_cached(loaded->tips[i], jacobians[i]);
    }
    benchmark::DoNotOptimize(jacobians.data());
    benchmark::ClobberMemory();
  }
}

void construction(benchmark::State& state, const BenchRobot& robot) {
  const auto path = std::filesystem::path(KOVA_TEST_DATA_DIR) / "robots" / robot.file;
  auto urdf = kova::UrdfRobot::from_file(path);
  if (!urdf) {
    state.SkipWithError(urdf.error().c_str());
    return;
  }
  for (auto _ : state) {
    auto wrapper = kova::RobotWrapper::create(*urdf);
    benchmark::DoNotOptimize(wrapper);
  }
}

BENCHMARK_CAPTURE(forward_kinematics, ability, kAbility);
BENCHMARK_CAPTURE(forward_kinematics, shadow, kShadow);
BENCHMARK_CAPTURE(forward_kinematics_and_fingertip_jacobians, ability, kAbility);
BENCHMARK_CAPTURE(forward_kinematics_and_fingertip_jacobians, shadow, kShadow);
BENCHMARK_CAPTURE(construction, ability, kAbility)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(construction, shadow, kShadow)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
