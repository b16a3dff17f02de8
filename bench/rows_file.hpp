// The benchmark's reference-row files, written by bench/run_bench.py and bench/solver_table.py:
// two little-endian uint64 (frames, numbers per frame), then frames x numbers doubles.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kova_bench {

struct Motion {
  std::size_t frames = 0;
  std::size_t width = 0;
  std::vector<double> values;
  std::span<const double> row(std::size_t i) const { return {values.data() + i * width, width}; }
};

inline Motion read_motion(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::uint64_t header[2] = {0, 0};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  if (!in || header[0] == 0 || header[1] == 0 || header[0] > 10'000'000 || header[1] > 10'000) {
    throw std::runtime_error(std::string("bad motion file ") + path);
  }
  Motion m{header[0], header[1], {}};
  m.values.resize(m.frames * m.width);
  in.read(reinterpret_cast<char*>(m.values.data()),
          static_cast<std::streamsize>(m.values.size() * sizeof(double)));
  if (!in) throw std::runtime_error(std::string("short motion file ") + path);
  return m;
}

}  // namespace kova_bench
