// Per-frame timing of kova's C++ API and of the solver's floor on one configuration and motion.
//
//   kova_frame_timing CONFIG.yml ROWS.bin OUT.json [REPETITIONS]
//
// ROWS.bin: two little-endian uint64 (frames, numbers per frame), then frames x numbers doubles.
// Each repetition builds a fresh retargeter and runs the whole motion, timing every
// SeqRetargeting::retarget call; the per-frame time is the minimum over the repetitions. A
// further run records what the objective returned to NLopt, every recorded solve is replayed
// once with a bit-for-bit check (same x requested, same number of evaluations, same final x),
// and then the replays are timed the same way. OUT.json gets the DOF joint names, the
// per-frame times in nanoseconds, the evaluations per frame and the joint vectors of the first
// repetition. Times are thread CPU time.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "kova/retargeting_config.hpp"
#include "kova/seq_retarget.hpp"
#include "rows_file.hpp"
#include "solver_tap.hpp"

namespace {

using kova_bench::Motion;
using kova_bench::read_motion;

kova::SeqRetargeting build(const char* config_path) {
  auto config = kova::RetargetingConfig::load_from_file(config_path);
  if (!config) throw std::runtime_error(config.error());
  auto seq = std::move(*config).build();
  if (!seq) throw std::runtime_error(seq.error());
  return std::move(*seq);
}

// Thread CPU time: on a shared machine, wall time mostly measures the other processes.
struct Clock {
  using time_point = std::int64_t;
  static time_point now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  }
};

std::int64_t nanoseconds(Clock::time_point a, Clock::time_point b) {
  return b - a;
}

void keep_minimum(std::vector<std::int64_t>& best, std::size_t i, std::int64_t t) {
  best[i] = std::min(best[i], t);
}

void write_numbers(std::FILE* out, const char* key, const std::vector<std::int64_t>& v) {
  std::fprintf(out, "\"%s\": [", key);
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::fprintf(out, "%s%lld", i ? ", " : "", static_cast<long long>(v[i]));
  }
  std::fprintf(out, "],\n");
}

int run(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s CONFIG.yml ROWS.bin OUT.json [REPETITIONS]\n", argv[0]);
    return 2;
  }
  const char* config_path = argv[1];
  const Motion motion = read_motion(argv[2]);
  const int repetitions = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  constexpr auto kNever = std::numeric_limits<std::int64_t>::max();

  // kova through the C++ API.
  std::vector<std::int64_t> kova_ns(motion.frames, kNever);
  std::vector<std::vector<double>> qpos(motion.frames);
  std::vector<std::string> joint_names;
  for (int rep = 0; rep < repetitions; ++rep) {
    kova::SeqRetargeting seq = build(config_path);
    if (rep == 0) joint_names = seq.optimizer().dof_joint_names();
    for (std::size_t i = 0; i < motion.frames; ++i) {
      const auto t0 = Clock::now();
      std::vector<double> q = seq.retarget(motion.row(i), {});
      const auto t1 = Clock::now();
      keep_minimum(kova_ns, i, nanoseconds(t0, t1));
      if (rep == 0) qpos[i] = std::move(q);
    }
  }

  // The same run once more, recording what NLopt saw.
  kova_bench::start_recording();
  {
    kova::SeqRetargeting seq = build(config_path);
    for (std::size_t i = 0; i < motion.frames; ++i) {
      if (seq.retarget(motion.row(i), {}) != qpos[i]) {
        kova_bench::stop_recording();
        throw std::runtime_error("recorded run differs from the timed run at frame " +
                                 std::to_string(i));
      }
    }
  }
  const kova_bench::Recording recording = kova_bench::stop_recording();
  if (recording.solves.size() != motion.frames) {
    throw std::runtime_error("expected one solve per frame, got " +
                             std::to_string(recording.solves.size()));
  }
  std::vector<std::int64_t> evaluations(motion.frames);
  for (std::size_t i = 0; i < motion.frames; ++i) {
    evaluations[i] = static_cast<std::int64_t>(kova_bench::replay(recording, i, true));
  }

  // The floor.
  std::vector<std::int64_t> floor_ns(motion.frames, kNever);
  for (int rep = 0; rep < repetitions; ++rep) {
    for (std::size_t i = 0; i < motion.frames; ++i) {
      const auto t0 = Clock::now();
      kova_bench::replay(recording, i, false);
      const auto t1 = Clock::now();
      keep_minimum(floor_ns, i, nanoseconds(t0, t1));
    }
  }

  std::FILE* out = std::fopen(argv[3], "w");
  if (out == nullptr) throw std::runtime_error(std::string("cannot write ") + argv[3]);
  std::fprintf(out, "{\n\"joint_names\": [");
  for (std::size_t i = 0; i < joint_names.size(); ++i) {
    std::fprintf(out, "%s\"%s\"", i ? ", " : "", joint_names[i].c_str());
  }
  std::fprintf(out, "],\n");
  write_numbers(out, "kova_ns", kova_ns);
  write_numbers(out, "floor_ns", floor_ns);
  write_numbers(out, "evaluations", evaluations);
  std::fprintf(out, "\"qpos\": [");
  for (std::size_t i = 0; i < qpos.size(); ++i) {
    std::fprintf(out, "%s[", i ? ",\n" : "\n");
    for (std::size_t j = 0; j < qpos[i].size(); ++j) {
      std::fprintf(out, "%s%.17g", j ? ", " : "", qpos[i][j]);
    }
    std::fprintf(out, "]");
  }
  std::fprintf(out, "]\n}\n");
  std::fclose(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova_frame_timing: %s\n", e.what());
    return 1;
  }
}
