// The per-frame problems on which the solvers are compared: a robot, a method, its configuration
// and one reference per frame.
//
// - Reachable: the robot's own target links along a smooth joint trajectory (every joint sweeps
//   a sine through the middle of its range), so an exact solution exists; normal_delta 0 and, for
//   DexPilot, no pinch projection.
// - Demo: the shipped demo motion (21 hand keypoints per frame, hand frame) with a shipped
//   configuration, turned into reference rows as the Python retargeter does.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../kova/src/objective_probe.hpp"
#include "kova/dexpilot_optimizer.hpp"
#include "kova/optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/vector_optimizer.hpp"

namespace kova_bench {

using Strings = std::vector<std::string>;

inline const std::filesystem::path kSourceDir = std::filesystem::path(KOVA_TEST_DATA_DIR) / "../..";
inline const std::filesystem::path kShipped = kSourceDir / "python/kova_rs/resources";

inline double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// A configuration, the links each reference row compares (origin empty for a position row) and
// the rows whose error counts as fingertip error (relative to the wrist for vector methods).
struct Problem {
  std::string name;
  kova::RetargetingConfig config;
  Strings origins;  // per reference row; empty for position rows
  Strings tasks;
  std::vector<std::size_t> tip_rows;
  std::vector<std::vector<double>> refs;
};

inline kova::SeqRetargeting build(const kova::RetargetingConfig& config) {
  kova::RetargetingConfig copy = config;
  auto seq = std::move(copy).build();
  if (!seq) throw std::runtime_error(seq.error());
  return std::move(*seq);
}

inline kova::OptimizerBase& base_of(kova::SeqRetargeting& seq) {
  return dynamic_cast<kova::OptimizerBase&>(seq.optimizer());
}

// The optimiser's objective at x, for the frame it last prepared.
inline double objective_at(kova::OptimizerBase& opt, const std::vector<double>& x) {
  if (auto* p = dynamic_cast<kova::PositionOptimizer*>(&opt)) {
    return kova::ObjectiveProbe::value(*p, x);
  }
  if (auto* v = dynamic_cast<kova::VectorOptimizer*>(&opt)) {
    return kova::ObjectiveProbe::value(*v, x);
  }
  return kova::ObjectiveProbe::value(dynamic_cast<kova::DexPilotOptimizer&>(opt), x);
}

// DexPilot's vectors over link numbers 0 = wrist, 1..n = tips: pairs, then wrist to tip.
inline std::vector<std::pair<std::size_t, std::size_t>> dexpilot_vectors(std::size_t n) {
  std::vector<std::pair<std::size_t, std::size_t>> v;  // (task, origin)
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = i + 1; j <= n; ++j) v.emplace_back(i, j);
  }
  for (std::size_t i = 1; i <= n; ++i) v.emplace_back(i, 0);
  return v;
}

// Fills origins, tasks and tip_rows from the configuration.
inline void plan_rows(Problem& p) {
  const kova::RetargetingConfig& c = p.config;
  p.origins.clear();
  p.tasks.clear();
  p.tip_rows.clear();
  if (c.type == kova::RetargetingType::Position) {
    p.tasks = *c.target_link_names;
    p.origins.assign(p.tasks.size(), "");
    for (std::size_t i = 0; i < p.tasks.size(); ++i) {
      if (p.tasks[i].find("tip") != std::string::npos) p.tip_rows.push_back(i);
    }
  } else if (c.type == kova::RetargetingType::Vector) {
    p.origins = *c.target_origin_link_names;
    p.tasks = *c.target_task_link_names;
    for (std::size_t i = 0; i < p.tasks.size(); ++i) {
      if (p.tasks[i].find("tip") != std::string::npos) p.tip_rows.push_back(i);
    }
  } else {
    const Strings& tips = *c.finger_tip_link_names;
    Strings links{*c.wrist_link_name};
    links.insert(links.end(), tips.begin(), tips.end());
    const auto vectors = dexpilot_vectors(tips.size());
    for (std::size_t k = 0; k < vectors.size(); ++k) {
      p.tasks.push_back(links[vectors[k].first]);
      p.origins.push_back(links[vectors[k].second]);
      if (vectors[k].second == 0) p.tip_rows.push_back(k);
    }
  }
  if (p.tip_rows.empty()) {
    for (std::size_t i = 0; i < p.tasks.size(); ++i) p.tip_rows.push_back(i);
  }
}

// Reference rows of a full joint vector: the robot's own positions / vectors.
inline std::vector<double> rows_at(kova::Optimizer& opt, const Problem& p,
                                   const std::vector<double>& q) {
  auto tasks = opt.link_positions(q, p.tasks);
  if (!tasks) throw std::runtime_error(tasks.error());
  std::vector<double> rows;
  for (std::size_t i = 0; i < p.tasks.size(); ++i) {
    kova::LinkPosition v = (*tasks)[i];
    if (!p.origins[i].empty()) {
      auto o = opt.link_positions(q, std::vector<std::string>{p.origins[i]});
      if (!o) throw std::runtime_error(o.error());
      for (int a = 0; a < 3; ++a) v[a] -= (*o)[0][a];
    }
    rows.insert(rows.end(), v.begin(), v.end());
  }
  return rows;
}

// Largest and summed distance between the tip rows of two references.
struct TipError {
  double sum = 0.0;
  double max = 0.0;
  std::size_t count = 0;
};
inline void add_tip_error(TipError& e, const Problem& p, const std::vector<double>& a,
                          const std::vector<double>& b) {
  for (std::size_t r : p.tip_rows) {
    const double dx = a[3 * r] - b[3 * r];
    const double dy = a[3 * r + 1] - b[3 * r + 1];
    const double dz = a[3 * r + 2] - b[3 * r + 2];
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    e.sum += d;
    e.max = std::max(e.max, d);
    ++e.count;
  }
}

inline void reachable_refs(Problem& p, std::size_t frames) {
  plan_rows(p);
  kova::SeqRetargeting seq = build(p.config);
  kova::Optimizer& opt = seq.optimizer();
  const auto& limits = seq.joint_limits();
  const std::size_t dof = opt.dof_joint_names().size();
  const auto target = opt.idx_pin2target();
  p.refs.clear();
  for (std::size_t f = 0; f < frames; ++f) {
    std::vector<double> q(dof, 0.0);
    for (std::size_t j = 0; j < target.size(); ++j) {
      const auto [lower, upper] = limits[j];
      const double phase = 0.05 * static_cast<double>(f) + 0.7 * static_cast<double>(j);
      q[target[j]] = lower + (upper - lower) * (0.5 + 0.35 * std::sin(phase));
    }
    opt.apply_adaptor_forward(q);
    p.refs.push_back(rows_at(opt, p, q));
  }
}

// (N, 21, 3) float64 C-order .npy.
inline std::vector<double> read_keypoints(const std::filesystem::path& path, std::size_t& frames) {
  std::ifstream in(path, std::ios::binary);
  char magic[8];
  in.read(magic, 8);
  if (!in || std::memcmp(magic, "\x93NUMPY", 6) != 0 || magic[6] != 1) {
    throw std::runtime_error("not a version 1 .npy file: " + path.string());
  }
  std::uint16_t header_length = 0;
  in.read(reinterpret_cast<char*>(&header_length), 2);
  std::string header(header_length, ' ');
  in.read(header.data(), header_length);
  if (header.find("'<f8'") == std::string::npos || header.find("False") == std::string::npos) {
    throw std::runtime_error("expected C-order float64: " + path.string());
  }
  const std::size_t open = header.find('(');
  frames = std::stoul(header.substr(open + 1));
  std::vector<double> values(frames * 21 * 3);
  in.read(reinterpret_cast<char*>(values.data()),
          static_cast<std::streamsize>(values.size() * sizeof(double)));
  if (!in) throw std::runtime_error("short .npy file: " + path.string());
  return values;
}

// Rows from keypoints as the Python retargeter forms them: position rows are the keypoints of
// target_link_human_indices; vector rows task minus origin (indices: origins, then tasks);
// DexPilot without indices uses the wrist (0) and the fingertips (4, 8, 12, 16, 20) in the
// configured order (the shipped configurations list the thumb first).
inline void demo_refs(Problem& p) {
  plan_rows(p);
  std::size_t frames = 0;
  const std::vector<double> kp = read_keypoints(kShipped / "motions/demo_motion.npy", frames);
  const kova::RetargetingConfig& c = p.config;
  std::vector<std::uint64_t> origin_idx, task_idx;
  if (c.type == kova::RetargetingType::Position) {
    task_idx = *c.target_link_human_indices;
  } else if (c.type == kova::RetargetingType::Vector) {
    const auto& all = *c.target_link_human_indices;
    origin_idx.assign(all.begin(), all.begin() + static_cast<long>(all.size() / 2));
    task_idx.assign(all.begin() + static_cast<long>(all.size() / 2), all.end());
  } else {
    std::vector<std::uint64_t> landmarks{0};
    for (std::size_t k = 0; k < c.finger_tip_link_names->size(); ++k) {
      landmarks.push_back(4 * (k + 1));
    }
    for (const auto& [t, o] : dexpilot_vectors(c.finger_tip_link_names->size())) {
      origin_idx.push_back(landmarks[o]);
      task_idx.push_back(landmarks[t]);
    }
  }
  p.refs.clear();
  for (std::size_t f = 0; f < frames; ++f) {
    const double* frame = kp.data() + f * 63;
    std::vector<double> rows;
    for (std::size_t r = 0; r < task_idx.size(); ++r) {
      for (std::size_t a = 0; a < 3; ++a) {
        double v = frame[3 * task_idx[r] + a];
        if (!origin_idx.empty()) v -= frame[3 * origin_idx[r] + a];
        rows.push_back(v);
      }
    }
    p.refs.push_back(std::move(rows));
  }
}

inline kova::RetargetingConfig shipped_config(const std::string& method, const std::string& hand) {
  auto config =
      kova::RetargetingConfig::load_from_file(kShipped / "configs" / method / (hand + ".yml"));
  if (!config) throw std::runtime_error(config.error());
  return *config;
}

// A configuration for a real hand: every joint optimised, fingertips (thumb first) and a wrist.
inline kova::RetargetingConfig real_hand_config(kova::RetargetingType type, const std::string& urdf,
                                                const Strings& tips, const std::string& wrist) {
  kova::RetargetingConfig c;
  c.type = type;
  c.urdf_path = (std::filesystem::path(KOVA_TEST_DATA_DIR) / "robots" / urdf).string();
  c.low_pass_alpha = -1.0;  // no filter
  if (type == kova::RetargetingType::Position) {
    c.target_link_names = tips;
    c.target_link_human_indices = std::vector<std::uint64_t>(tips.size(), 0);
  } else if (type == kova::RetargetingType::Vector) {
    c.target_origin_link_names = Strings(tips.size(), wrist);
    c.target_task_link_names = tips;
    c.target_link_human_indices = std::vector<std::uint64_t>(2 * tips.size(), 0);
  } else {
    c.finger_tip_link_names = tips;
    c.wrist_link_name = wrist;
  }
  return c;
}

inline const Strings kAllegroTips{"link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"};
inline const Strings kShadowTips{"rh_thtip", "rh_fftip", "rh_mftip", "rh_rftip", "rh_lftip"};

inline const char* method_name(kova::RetargetingType type) {
  switch (type) {
    case kova::RetargetingType::Position:
      return "position";
    case kova::RetargetingType::Vector:
      return "vector";
    case kova::RetargetingType::DexPilot:
      return "dexpilot";
  }
  return "?";
}

// Reachable problems: the shipped 24-DOF hand (its configurations) and two real hands, all
// methods, normal_delta 0, no filter.
inline std::vector<Problem> reachable_problems(std::size_t frames) {
  std::vector<Problem> out;
  const kova::RetargetingType types[] = {kova::RetargetingType::Position,
                                         kova::RetargetingType::Vector,
                                         kova::RetargetingType::DexPilot};
  for (auto type : types) {
    Problem p;
    p.config = shipped_config(method_name(type), "kova_five_finger_24dof");
    p.name = std::string("kova24 ") + method_name(type);
    out.push_back(std::move(p));
    Problem a;
    a.config = real_hand_config(type, "allegro/allegro_hand_description_right.urdf", kAllegroTips,
                                "base_link");
    a.name = std::string("allegro ") + method_name(type);
    out.push_back(std::move(a));
    Problem s;
    s.config = real_hand_config(type, "shadow_2020/shadowhand_motor.urdf", kShadowTips, "rh_palm");
    s.name = std::string("shadow ") + method_name(type);
    out.push_back(std::move(s));
  }
  for (Problem& p : out) {
    p.config.normal_delta = 0.0;
    // A pinch would replace a fingertip pair's target by a short projected vector, which the
    // robot need not reach: no projection here.
    p.config.project_dist = 0.0;
    p.config.low_pass_alpha = -1.0;  // no filter
    reachable_refs(p, frames);
  }
  return out;
}

inline const Strings kShippedHands{"kova_compact_10dof",     "kova_coupled_20dof",
                                   "kova_five_finger_24dof", "kova_four_finger_16dof",
                                   "kova_linkage_12dof",     "kova_numbered_16dof"};

// The demo motion with every shipped configuration (filter off: it does not enter the solve).
inline std::vector<Problem> demo_problems() {
  std::vector<Problem> out;
  for (const char* method : {"position", "vector", "dexpilot"}) {
    for (const std::string& hand : kShippedHands) {
      Problem p;
      p.config = shipped_config(method, hand);
      p.config.low_pass_alpha = -1.0;  // no filter
      p.name = hand + " " + method;
      demo_refs(p);
      out.push_back(std::move(p));
    }
  }
  return out;
}

}  // namespace kova_bench
