// The DexPilot vector set: which links each of its vectors runs between, in the order the
// optimiser reads its reference rows. Written once here for the optimiser, the reference map and
// every tool that lists the vectors.
#pragma once

#include <cstddef>
#include <vector>

namespace kova {

inline constexpr std::size_t kDexPilotMinFingers = 2;
inline constexpr std::size_t kDexPilotMaxFingers = 5;

// A vector from link `origin` to link `task`, over the link numbers 0 = wrist, 1..n = the
// fingertips in configuration order.
struct DexPilotVector {
  std::size_t task;
  std::size_t origin;
  bool operator==(const DexPilotVector&) const = default;
};

// Every fingertip pair first (for i < j: from tip j to tip i, i ascending, then j), then the
// wrist to each fingertip: n (n - 1) / 2 + n vectors.
std::vector<DexPilotVector> dexpilot_vector_pairs(std::size_t finger_count);

}  // namespace kova
