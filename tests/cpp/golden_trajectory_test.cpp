// Golden trajectories: every shipped hand and three real hands, each method, the whole demo
// motion, retargeted frame after frame from configuration files as a user would. The recorded
// evaluation counts and joint vectors pin the solver settings (evaluation limits, tolerances),
// the objectives, the bounds and the sequencing with its filter: changing any of them changes
// what is recorded here.
//
// After an intended change, `KOVA_WRITE_GOLDEN=1 kova_tests --gtest_filter='Golden*'` rewrites
// the files under tests/data/golden/ (say why in the commit).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "kova/optimizer.hpp"
#include "kova/reference_map.hpp"
#include "kova/retargeting_config.hpp"
#include "test_data.hpp"

namespace {

namespace fs = std::filesystem;

// Joint vectors are recorded every kStride frames (and the last one); counts for every frame.
constexpr std::size_t kStride = 10;
constexpr std::size_t kLandmarks = 21;

fs::path repo() {
  return kova::testing::test_data_dir().parent_path().parent_path();
}

// The demo motion: a float64 .npy of shape (frames, 21, 3), C order.
std::vector<double> load_demo_motion(std::size_t& frames) {
  const fs::path path = repo() / "python/kova_rs/resources/motions/demo_motion.npy";
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  char magic[8];
  in.read(magic, 8);
  std::uint16_t header_length = 0;
  in.read(reinterpret_cast<char*>(&header_length), 2);
  std::string header(header_length, '\0');
  in.read(header.data(), header_length);
  if (header.find("'descr': '<f8'") == std::string::npos ||
      header.find("'fortran_order': False") == std::string::npos) {
    throw std::runtime_error("unexpected .npy header: " + header);
  }
  const std::size_t shape = header.find("'shape': (");
  frames = std::stoul(header.substr(shape + 10));
  std::vector<double> values(frames * kLandmarks * 3);
  in.read(reinterpret_cast<char*>(values.data()),
          static_cast<std::streamsize>(values.size() * sizeof(double)));
  if (!in) throw std::runtime_error("short .npy file " + path.string());
  return values;
}

struct GoldenCase {
  const char* name;    // file name under tests/data/golden/
  const char* config;  // relative to the repository
};

void PrintTo(const GoldenCase& c, std::ostream* out) {
  *out << c.name;
}

struct Trajectory {
  std::vector<std::uint64_t> origins;
  std::vector<std::uint64_t> tasks;
  std::vector<std::size_t> evaluations;           // per frame
  std::vector<std::vector<double>> sampled_qpos;  // frames 0, kStride, ..., and the last
};

std::vector<std::size_t> sampled_frames(std::size_t frames) {
  std::vector<std::size_t> out;
  for (std::size_t f = 0; f < frames; f += kStride) out.push_back(f);
  if (frames > 0 && out.back() != frames - 1) out.push_back(frames - 1);
  return out;
}

Trajectory run(const GoldenCase& c) {
  auto config = kova::RetargetingConfig::load_from_file(repo() / c.config);
  if (!config) throw std::runtime_error(std::string(c.config) + ": " + config.error());
  // The rows the Python layer feeds the solver, from the core's reference map.
  const auto map = kova::ReferenceMap::from_config(*config);
  if (!map) throw std::runtime_error(std::string(c.config) + ": " + map.error());
  auto seq = std::move(*config).build();
  if (!seq) throw std::runtime_error(std::string(c.config) + ": " + seq.error());
  const auto& optimizer = dynamic_cast<const kova::OptimizerBase&>(seq->optimizer());

  std::size_t frames = 0;
  const std::vector<double> motion = load_demo_motion(frames);
  const std::vector<std::size_t> samples = sampled_frames(frames);
  Trajectory t{{map->origin_landmarks.begin(), map->origin_landmarks.end()},
               {map->task_landmarks.begin(), map->task_landmarks.end()},
               {},
               {}};
  std::vector<double> rows(map->row_values());
  std::size_t next_sample = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    const auto frame = std::span(motion).subspan(f * kLandmarks * 3, kLandmarks * 3);
    if (!kova::reference_rows(*map, frame, rows)) throw std::runtime_error("rows refused");
    std::vector<double> q = seq->retarget(rows, {});
    t.evaluations.push_back(optimizer.last_evaluation_count());
    if (next_sample < samples.size() && samples[next_sample] == f) {
      t.sampled_qpos.push_back(std::move(q));
      ++next_sample;
    }
  }
  return t;
}

fs::path golden_path(const GoldenCase& c) {
  return kova::testing::test_data_dir() / "golden" / (std::string(c.name) + ".txt");
}

template <class T>
void write_list(std::ostream& out, const char* key, const std::vector<T>& values) {
  out << key;
  for (const T& v : values) out << ' ' << v;
  out << '\n';
}

void write_golden(const GoldenCase& c, const Trajectory& t) {
  std::ofstream out(golden_path(c));
  out << "kova golden trajectory 1\nconfig " << c.config << '\n';
  write_list(out, "origins", t.origins);
  write_list(out, "tasks", t.tasks);
  write_list(out, "evaluations", t.evaluations);
  out << std::setprecision(std::numeric_limits<double>::max_digits10);
  for (const auto& q : t.sampled_qpos) write_list(out, "qpos", q);
}

template <class T>
std::vector<T> read_list(std::istream& in, const std::string& key) {
  std::string line;
  std::getline(in, line);
  std::istringstream words(line);
  std::string word;
  words >> word;
  if (word != key) throw std::runtime_error("expected '" + key + "', found: " + line);
  std::vector<T> values;
  T value;
  while (words >> value) values.push_back(value);
  return values;
}

Trajectory read_golden(const GoldenCase& c) {
  std::ifstream in(golden_path(c));
  if (!in) throw std::runtime_error("missing golden file " + golden_path(c).string());
  std::string line;
  std::getline(in, line);
  std::getline(in, line);
  Trajectory t;
  t.origins = read_list<std::uint64_t>(in, "origins");
  t.tasks = read_list<std::uint64_t>(in, "tasks");
  t.evaluations = read_list<std::size_t>(in, "evaluations");
  while (in.peek() != EOF) t.sampled_qpos.push_back(read_list<double>(in, "qpos"));
  return t;
}

std::string case_name(const ::testing::TestParamInfo<GoldenCase>& param) {
  return param.param.name;
}

class GoldenTrajectory : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenTrajectory, MatchesTheRecordedRun) {
  const GoldenCase c = GetParam();
  const Trajectory got = run(c);
  if (std::getenv("KOVA_WRITE_GOLDEN") != nullptr) {
    write_golden(c, got);
    GTEST_SKIP() << "rewrote " << golden_path(c);
  }
  const Trajectory want = read_golden(c);
  EXPECT_EQ(got.origins, want.origins);
  EXPECT_EQ(got.tasks, want.tasks);
  ASSERT_EQ(got.evaluations.size(), want.evaluations.size());
  for (std::size_t f = 0; f < want.evaluations.size(); ++f) {
    ASSERT_EQ(got.evaluations[f], want.evaluations[f]) << "evaluations of frame " << f;
  }
  ASSERT_EQ(got.sampled_qpos.size(), want.sampled_qpos.size());
  const std::vector<std::size_t> frames = sampled_frames(want.evaluations.size());
  for (std::size_t s = 0; s < want.sampled_qpos.size(); ++s) {
    ASSERT_EQ(got.sampled_qpos[s].size(), want.sampled_qpos[s].size());
    for (std::size_t j = 0; j < want.sampled_qpos[s].size(); ++j) {
      ASSERT_NEAR(got.sampled_qpos[s][j], want.sampled_qpos[s][j], 1e-12)
          << "frame " << frames[s] << ", joint " << j;
    }
  }
}

#define KOVA_SHIPPED(method, hand)                                                  \
  GoldenCase {                                                                      \
#hand "_" #method, "python/kova_rs/resources/configs/" #method "/" #hand ".yml" \
  }
#define KOVA_REAL(hand, method)                                              \
  GoldenCase {                                                               \
#hand "_" #method, "tests/data/golden/configs/" #hand "_" #method ".yml" \
  }

INSTANTIATE_TEST_SUITE_P(
    ShippedHands, GoldenTrajectory,
    ::testing::Values(
        KOVA_SHIPPED(position, kova_compact_10dof), KOVA_SHIPPED(vector, kova_compact_10dof),
        KOVA_SHIPPED(dexpilot, kova_compact_10dof), KOVA_SHIPPED(position, kova_linkage_12dof),
        KOVA_SHIPPED(vector, kova_linkage_12dof), KOVA_SHIPPED(dexpilot, kova_linkage_12dof),
        KOVA_SHIPPED(position, kova_four_finger_16dof),
        KOVA_SHIPPED(vector, kova_four_finger_16dof),
        KOVA_SHIPPED(dexpilot, kova_four_finger_16dof), KOVA_SHIPPED(position, kova_numbered_16dof),
        KOVA_SHIPPED(vector, kova_numbered_16dof), KOVA_SHIPPED(dexpilot, kova_numbered_16dof),
        KOVA_SHIPPED(position, kova_five_finger_24dof),
        KOVA_SHIPPED(vector, kova_five_finger_24dof),
        KOVA_SHIPPED(dexpilot, kova_five_finger_24dof), KOVA_SHIPPED(position, kova_coupled_20dof),
        KOVA_SHIPPED(vector, kova_coupled_20dof), KOVA_SHIPPED(dexpilot, kova_coupled_20dof)),
    case_name);

INSTANTIATE_TEST_SUITE_P(RealHands, GoldenTrajectory,
                         ::testing::Values(KOVA_REAL(allegro, position), KOVA_REAL(allegro, vector),
                                           KOVA_REAL(allegro, dexpilot),
                                           KOVA_REAL(shadow, position), KOVA_REAL(shadow, vector),
                                           KOVA_REAL(shadow, dexpilot),
                                           KOVA_REAL(inspire_ftp, position),
                                           KOVA_REAL(inspire_ftp, vector),
                                           KOVA_REAL(inspire_ftp, dexpilot)),
                         case_name);

}  // namespace
