#include "kova/mimic_pose.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kova {
namespace {

enum class Visit : std::uint8_t { kTodo, kOpen, kDone };

}  // namespace

void follow_mimic_joints(const KinematicModel& model, std::span<double> qpos) {
  const std::vector<JointSpec>& joints = model.dof_joints();
  if (qpos.size() != joints.size()) {
    throw InternalFault("joint vector of " + std::to_string(qpos.size()) +
                        " values for a robot of " + std::to_string(joints.size()) +
                        " degrees of freedom");
  }
  std::vector<std::optional<std::size_t>> source(joints.size());
  for (std::size_t j = 0; j < joints.size(); ++j) {
    if (joints[j].mimic) source[j] = model.find_dof_joint(joints[j].mimic->joint);
  }
  // Each chain of sources is walked once, up to a joint that follows nothing or is already
  // done, then set from its far end back; a loop, no stack depth that a file could exhaust.
  std::vector<Visit> state(joints.size(), Visit::kTodo);
  std::vector<std::size_t> chain;
  for (std::size_t start = 0; start < joints.size(); ++start) {
    if (state[start] != Visit::kTodo) continue;
    std::optional<std::size_t> cycle_entry;
    for (std::size_t j = start;;) {
      state[j] = Visit::kOpen;
      chain.push_back(j);
      if (!source[j] || state[*source[j]] == Visit::kDone) break;
      if (state[*source[j]] == Visit::kOpen) {  // back into this chain: a cycle
        cycle_entry = *source[j];
        break;
      }
      j = *source[j];
    }
    bool on_cycle = cycle_entry.has_value();
    while (!chain.empty()) {
      const std::size_t k = chain.back();
      chain.pop_back();
      if (source[k] && !on_cycle) {
        qpos[k] = joints[k].mimic->multiplier * qpos[*source[k]] + joints[k].mimic->offset;
      }
      if (on_cycle && k == *cycle_entry) on_cycle = false;  // the joints before lead into it
      state[k] = Visit::kDone;
    }
  }
}

}  // namespace kova
