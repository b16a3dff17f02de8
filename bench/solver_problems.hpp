// The per-frame problems on which the solvers are compared: a robot, a method, its configuration
// and one reference per frame.
//
// - Reachable: the robot's own target links along a smooth joint trajectory (every joint sweeps
//   a sine through the middle of its range), so an exact solution exists; normal_delta 0 and, for
//   DexPilot, no pinch projection.
// - Demo: the shipped demo motion (21 hand keypoints per frame, hand frame) with a shipped
//   configuration, turned into reference rows by the core's reference map.
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
#include "kova/reference_map.hpp"
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

// A configuration, its reference map (what each row compares, from the core) and the rows whose
// error counts as fingertip error (a fingertip, or a vector from a non-fingertip link to one).
struct Problem {
  std::string name;
  kova::RetargetingConfig config;
  kova::ReferenceMap map;
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

inline bool is_tip(const std::string& link) {
  return link.find("tip") != std::string::npos;
}

// The reference map and the fingertip rows of the configuration.
inline void plan_rows(Problem& p) {
  auto map = kova::ReferenceMap::from_config(p.config);
  if (!map) throw std::runtime_error(p.name + ": " + map.error());
  p.map = std::move(*map);
  p.tip_rows.clear();
  for (std::size_t r = 0; r < p.map.row_count(); ++r) {
    const bool tip = is_tip(p.map.links[p.map.task_links[r]]);
    const bool from_tip = p.map.rows_are_vectors() && is_tip(p.map.links[p.map.origin_links[r]]);
    if (tip && !from_tip) p.tip_rows.push_back(r);
  }
}

// Positions of the map's links at a full joint vector, 3 per link.
inline std::vector<double> link_positions_at(kova::Optimizer& opt, const Problem& p,
                                             const std::vector<double>& q) {
  auto positions = opt.link_positions(q, p.map.links);
  if (!positions) throw std::runtime_error(positions.error());
  std::vector<double> flat;
  for (const auto& xyz : *positions) flat.insert(flat.end(), xyz.begin(), xyz.end());
  return flat;
}

// Reference rows the robot meets exactly at q: its own positions, or its own vectors divided by
// the scaling the optimiser applies to human vectors.
inline std::vector<double> rows_at(kova::Optimizer& opt, const Problem& p,
                                   const std::vector<double>& q) {
  const std::vector<double> pos = link_positions_at(opt, p, q);
  std::vector<double> rows(p.map.row_values());
  for (std::size_t r = 0; r < p.map.row_count(); ++r) {
    for (std::size_t a = 0; a < 3; ++a) {
      double v = pos[3 * p.map.task_links[r] + a];
      if (p.map.rows_are_vectors()) {
        v = (v - pos[3 * p.map.origin_links[r] + a]) / p.map.scaling_factor;
      }
      rows[3 * r + a] = v;
    }
  }
  return rows;
}

// Fingertip errors (metres) of a solution q against the frame's reference, as the core measures
// them: sum, largest and count.
struct TipError {
  double sum = 0.0;
  double max = 0.0;
  std::size_t count = 0;
};
inline void add_tip_error(TipError& e, kova::Optimizer& opt, const Problem& p,
                          const std::vector<double>& q, const std::vector<double>& ref) {
  std::vector<double> errors(p.map.row_count());
  if (!kova::target_errors(p.map, link_positions_at(opt, p, q), ref, errors)) {
    throw std::runtime_error(p.name + ": target errors refused");
  }
  for (std::size_t r : p.tip_rows) {
    e.sum += errors[r];
    e.max = std::max(e.max, errors[r]);
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

// Rows from keypoints by the core's reference map, as the retargeters form them.
inline void demo_refs(Problem& p) {
  plan_rows(p);
  std::size_t frames = 0;
  const std::vector<double> kp = read_keypoints(kShipped / "motions/demo_motion.npy", frames);
  std::vector<double> rows(frames * p.map.row_values());
  if (!kova::reference_rows(p.map, kp, rows)) throw std::runtime_error(p.name + ": rows refused");
  p.refs.clear();
  for (std::size_t f = 0; f < frames; ++f) {
    const auto first = rows.begin() + static_cast<long>(f * p.map.row_values());
    p.refs.emplace_back(first, first + static_cast<long>(p.map.row_values()));
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
