// Helpers shared by the fuzz targets: an in-memory file with a path (the readers take paths),
// a deterministic stream of numbers derived from the input, and the fault filter.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

namespace kova_fuzz {

// An anonymous in-memory file reachable through /proc/self/fd/<n>, rewritten for every input so
// that no fuzz iteration touches the disk.
class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the content; returns the path under which it can be opened.
  const std::string& write(std::string_view content) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < content.size()) {
      const ssize_t put =
          ::pwrite(fd_, content.data() + done, content.size() - done, static_cast<off_t>(done));
      if (put <= 0) std::abort();
      done += static_cast<std::size_t>(put);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

// splitmix64 seeded from the input: the same input always gives the same numbers.
class Numbers {
 public:
  explicit Numbers(std::string_view seed_bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : seed_bytes) h = (h ^ c) * 0x100000001b3ULL;
    state_ = h;
  }
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi).
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(next() >> 11) * 0x1.0p-53;
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
  // Mostly plausible hand coordinates; now and then a value no tracker should ever send.
  double coordinate() {
    switch (below(64)) {
      case 0:
        return std::numeric_limits<double>::quiet_NaN();
      case 1:
        return std::numeric_limits<double>::infinity();
      case 2:
        return -std::numeric_limits<double>::infinity();
      case 3:
        return 1e300;
      case 4:
        return std::numeric_limits<double>::denorm_min();
      default:
        return uniform(-0.2, 0.2);
    }
  }

 private:
  std::uint64_t state_;
};

}  // namespace kova_fuzz
