#include "kova/dexpilot_vectors.hpp"

namespace kova {

std::vector<DexPilotVector> dexpilot_vector_pairs(std::size_t finger_count) {
  std::vector<DexPilotVector> vectors;
  vectors.reserve(finger_count * (finger_count - 1) / 2 + finger_count);
  for (std::size_t i = 1; i < finger_count; ++i) {
    for (std::size_t j = i + 1; j <= finger_count; ++j) vectors.push_back({i, j});
  }
  for (std::size_t i = 1; i <= finger_count; ++i) vectors.push_back({i, 0});
  return vectors;
}

}  // namespace kova
