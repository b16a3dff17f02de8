// Retargets a recorded hand motion with the installed kova C++ package and prints a summary.
//
//   kova_retarget_motion CONFIG.yml MOTION.npy
//
// CONFIG is a retargeting configuration (for example one shipped under
// python/kova_rs/resources/configs/), MOTION a float64 array of shape (frames, 21, 3) holding
// the hand's keypoints in the hand frame, in metres.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "kova/optimizer.hpp"
#include "kova/reference_map.hpp"
#include "kova/retargeting_config.hpp"
#include "npy_reader.hpp"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "kova_retarget_motion: error: %s\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CONFIG.yml MOTION.npy\n", argv[0]);
    return 2;
  }
  const std::string config_path = argv[1];
  auto config = kova::RetargetingConfig::load_from_file(config_path);
  if (!config) return fail(config_path + ": " + config.error());
  auto motion = npy::read_float64(argv[2]);
  if (!motion) return fail(motion.error());
  if (motion->shape.size() != 3 || motion->shape[1] != kova::kHandLandmarkCount ||
      motion->shape[2] != 3) {
    return fail(std::string(argv[2]) + ": expected keypoints of shape (frames, 21, 3)");
  }
  const std::size_t frames = motion->shape[0];

  // The rows each frame's solve reads, for the whole motion at once.
  auto map = kova::ReferenceMap::from_config(*config);
  if (!map) return fail(config_path + ": " + map.error());
  std::vector<double> rows(frames * map->row_values());
  if (auto made = kova::reference_rows(*map, motion->values, rows); !made) {
    return fail(made.error());
  }

  auto built = kova::RetargetingConfig(*config).build();
  if (!built) return fail(config_path + ": " + built.error());
  kova::SeqRetargeting& sequence = *built;
  const kova::Optimizer& optimizer = sequence.optimizer();
  const std::vector<std::string> joints = optimizer.dof_joint_names();

  std::vector<double> qpos;
  qpos.reserve(frames * joints.size());
  std::size_t evaluations = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t n = 0; n < frames; ++n) {
    const std::span<const double> frame(rows.data() + n * map->row_values(), map->row_values());
    const std::vector<double> q = sequence.retarget(frame, {});
    qpos.insert(qpos.end(), q.begin(), q.end());
    if (const auto* base = dynamic_cast<const kova::OptimizerBase*>(&optimizer)) {
      evaluations += base->last_report().evaluations;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Per-target errors of the solved motion, from the links the reference map names.
  std::vector<double> positions(frames * map->links.size() * 3);
  for (std::size_t n = 0; n < frames; ++n) {
    const std::span<const double> q(qpos.data() + n * joints.size(), joints.size());
    auto linked = sequence.optimizer().link_positions(q, map->links);
    if (!linked) return fail(linked.error());
    for (std::size_t k = 0; k < linked->size(); ++k) {
      std::copy_n((*linked)[k].data(), 3, positions.data() + (n * map->links.size() + k) * 3);
    }
  }
  std::vector<double> errors(frames * map->row_count());
  if (auto measured = kova::target_errors(*map, positions, rows, errors); !measured) {
    return fail(measured.error());
  }
  double error_sum = 0.0;
  for (double e : errors) error_sum += e;
  const double error_max = errors.empty() ? 0.0 : *std::max_element(errors.begin(), errors.end());

  std::printf("configuration  %s\n", config_path.c_str());
  std::printf("robot          %zu joints, %zu targets (%s rows)\n", joints.size(), map->row_count(),
              map->rows_are_vectors() ? "vector" : "position");
  std::printf("motion         %zu frames\n", frames);
  std::printf("solve          %.3f ms per frame, %.1f evaluations per frame\n",
              frames ? 1e3 * seconds / static_cast<double>(frames) : 0.0,
              frames ? static_cast<double>(evaluations) / static_cast<double>(frames) : 0.0);
  std::printf("target error   mean %.2f mm, max %.2f mm\n",
              errors.empty() ? 0.0 : 1e3 * error_sum / static_cast<double>(errors.size()),
              1e3 * error_max);
  std::printf("joint range over the motion (rad or m):\n");
  for (std::size_t j = 0; j < joints.size(); ++j) {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t n = 0; n < frames; ++n) {
      low = std::min(low, qpos[n * joints.size() + j]);
      high = std::max(high, qpos[n * joints.size() + j]);
    }
    std::printf("  %-32s %8.4f .. %8.4f\n", joints[j].c_str(), low, high);
  }
  return 0;
}
