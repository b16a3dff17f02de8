#include "kova/retargeter.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "kova/config_check.hpp"
#include "kova/dexpilot_optimizer.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/robot_file.hpp"
#include "kova/vector_optimizer.hpp"
#include "yaml_value.hpp"

namespace kova {
namespace {

// The rows each optimiser reads per frame: one per target link or per robot vector.
std::size_t rows_read_by(const OptimizerBase& optimizer) {
  if (const auto* position = dynamic_cast<const PositionOptimizer*>(&optimizer)) {
    return position->target_link_indices().size();
  }
  if (const auto* vector = dynamic_cast<const VectorOptimizer*>(&optimizer)) {
    return vector->vectors().vector_count();
  }
  if (const auto* dexpilot = dynamic_cast<const DexPilotOptimizer*>(&optimizer)) {
    return dexpilot->vectors().vector_count();
  }
  throw InternalFault("Retargeter: unknown optimiser");
}

OptimizerBase& optimizer_base(SeqRetargeting& seq) {
  auto* base = dynamic_cast<OptimizerBase*>(&seq.optimizer());
  if (base == nullptr) throw InternalFault("Retargeter: optimiser without shared data");
  return *base;
}

std::string count_text(std::size_t count, const char* what) {
  return std::to_string(count) + " " + what;
}

}  // namespace

std::string config_error_text(std::span<const ConfigIssue> issues) {
  const ConfigIssue* first = nullptr;
  std::size_t errors = 0;
  for (const ConfigIssue& issue : issues) {
    if (issue.severity != Severity::Error) continue;
    if (first == nullptr) first = &issue;
    ++errors;
  }
  if (first == nullptr) return {};
  std::string text = first->key;
  if (first->line > 0)
    text += (text.empty() ? "line " : " (line ") + std::to_string(first->line) +
            (text.empty() ? "" : ")");
  if (!text.empty()) text += ": ";
  text += first->message;
  if (errors > 1) text += " (and " + std::to_string(errors - 1) + " more)";
  return text;
}

Status check_config_text(std::string_view document) {
  const std::vector<ConfigIssue> issues = check_config_document(document);
  if (has_errors(issues)) return fail(config_error_text(issues));
  return {};
}

Result<RetargeterOptions> retargeter_options(std::string_view document) {
  if (auto checked = check_config_text(document); !checked) return fail(checked.error());
  auto parsed = yaml::Document::parse(document);
  if (!parsed) return fail(parsed.error());
  RetargeterOptions options;
  const yaml::Node* section = parsed->root().find("kova");
  const yaml::Node* solver = section != nullptr ? section->find("solver") : nullptr;
  if (solver != nullptr) {
    auto kind = solver_kind_from_str(solver->text());
    if (!kind) return fail("kova.solver: " + kind.error());
    options.solver = *kind;
  }
  if (const yaml::Node* side = section != nullptr ? section->find("side") : nullptr) {
    auto which = hand_side_from_str(side->text());
    if (!which) return fail("kova.side: " + which.error());
    options.side = *which;
  }
  const yaml::Node* fingers = section != nullptr ? section->find("fingers") : nullptr;
  for (const Finger finger : kFingers) {
    const yaml::Node* entry = fingers != nullptr ? fingers->find(to_string(finger)) : nullptr;
    const yaml::Node* tip = entry != nullptr ? entry->find("tip") : nullptr;
    // The document check has made sure a tip, when there, is a string.
    if (tip != nullptr && tip->kind() == yaml::Kind::String) {
      options.fingertip_links.emplace_back(finger, tip->text());
    }
  }
  return options;
}

Result<Retargeter> Retargeter::create(RetargetingConfig config, RetargeterOptions options) {
  const RetargetingType type = config.type;
  if (auto valid = config.validate(); !valid) return fail(valid.error());
  auto urdf_file = config_robot_file(config);
  if (!urdf_file) return fail(urdf_file.error());
  // Everything below reads the file the configuration names, wherever it was found.
  config.urdf_path = urdf_file->string();
  const std::vector<ConfigIssue> issues = check_config_with_robot(config);
  if (has_errors(issues)) return fail(config_error_text(issues));
  auto map = ReferenceMap::from_config(config);
  if (!map) return fail(map.error());
  auto seq = std::move(config).build();
  if (!seq) return fail(seq.error());
  Retargeter made(std::move(*seq), type, std::move(*urdf_file), std::move(*map));
  made.optimizer_->set_solver(options.solver);
  return made;
}

Retargeter::Retargeter(SeqRetargeting seq, RetargetingType type, std::filesystem::path urdf_file,
                       ReferenceMap map)
    : seq_(std::move(seq)),
      optimizer_(&optimizer_base(seq_)),
      type_(type),
      joint_names_(optimizer_->dof_joint_names()),
      row_count_(rows_read_by(*optimizer_)),
      urdf_file_(std::move(urdf_file)),
      map_(std::move(map)),
      kinematics_(optimizer_->data().robot),
      qpos_scratch_(joint_names_.size()) {
  auto links = link_indices(map_.links);
  if (!links) throw InternalFault("Retargeter: reference map link " + links.error());
  map_link_indices_ = std::move(*links);
  positions_scratch_.resize(3 * map_link_indices_.size());
  if (map_.row_count() != row_count_) {
    throw InternalFault("Retargeter: the reference map and the optimiser disagree on the rows");
  }
}

Status Retargeter::reference_rows(std::size_t frames, std::span<const double> keypoints,
                                  std::span<double> rows) const {
  if (keypoints.size() != frames * kKeypointFrameValues) {
    return fail("expected " + count_text(frames, "frame(s)") + " of " +
                std::to_string(kHandLandmarkCount) + " keypoints (" +
                std::to_string(frames * kKeypointFrameValues) + " values), got " +
                count_text(keypoints.size(), "values"));
  }
  if (rows.size() != frames * map_.row_values()) {
    return fail("the rows hold " + count_text(rows.size(), "values") + ", " +
                std::to_string(frames * map_.row_values()) + " are needed");
  }
  return kova::reference_rows(map_, keypoints, rows);
}

Status Retargeter::target_errors(std::size_t frames, std::span<const double> rows,
                                 std::span<const double> qpos, std::span<double> errors) {
  if (rows.size() != frames * map_.row_values() || qpos.size() != frames * dof() ||
      errors.size() != frames * map_.row_count()) {
    return fail("expected " + count_text(frames, "frame(s)") + " of rows (" +
                std::to_string(map_.row_values()) + " values each), joint vectors (" +
                std::to_string(dof()) + ") and errors (" + std::to_string(map_.row_count()) +
                "), got " + std::to_string(rows.size()) + ", " + std::to_string(qpos.size()) +
                " and " + std::to_string(errors.size()) + " values");
  }
  const std::size_t n = dof();
  for (std::size_t f = 0; f < frames; ++f) {
    if (auto done =
            link_positions(1, qpos.subspan(f * n, n), map_link_indices_, positions_scratch_);
        !done) {
      return done;
    }
    if (auto done = kova::target_errors(map_, positions_scratch_,
                                        rows.subspan(f * map_.row_values(), map_.row_values()),
                                        errors.subspan(f * map_.row_count(), map_.row_count()));
        !done) {
      return done;
    }
  }
  return {};
}

Result<std::vector<std::size_t>> Retargeter::link_indices(
    std::span<const std::string> names) const {
  std::vector<std::size_t> indices;
  indices.reserve(names.size());
  for (const std::string& name : names) {
    const auto found = kinematics_.link_index().find(name);
    if (found == kinematics_.link_index().end()) return fail("Link " + name + " not found");
    indices.push_back(found->second);
  }
  return indices;
}

Status Retargeter::link_positions(std::size_t frames, std::span<const double> qpos,
                                  std::span<const std::size_t> links, std::span<double> out) {
  const std::size_t n = dof();
  if (qpos.size() != frames * n) {
    return fail("expected " + count_text(frames, "joint vector(s)") + " of " +
                count_text(n, "values") + ", got " + count_text(qpos.size(), "values"));
  }
  if (out.size() != frames * links.size() * 3) {
    return fail("the output holds " + count_text(out.size(), "values") + ", " +
                std::to_string(frames * links.size() * 3) + " are needed");
  }
  for (const std::size_t link : links) check_index(link, kinematics_.link_count());
  for (std::size_t f = 0; f < frames; ++f) {
    std::copy_n(qpos.begin() + static_cast<std::ptrdiff_t>(f * n), n, qpos_scratch_.begin());
    optimizer_->apply_adaptor_forward(qpos_scratch_);
    kinematics_.compute_forward_kinematics(qpos_scratch_);
    for (std::size_t k = 0; k < links.size(); ++k) {
      const Eigen::Vector3d p = kinematics_.link_position(links[k]);
      for (int a = 0; a < 3; ++a)
        out[(f * links.size() + k) * 3 + static_cast<std::size_t>(a)] = p[a];
    }
  }
  return {};
}

Status Retargeter::check_frames(std::size_t frames, std::span<const double> rows,
                                std::span<const double> fixed_qpos, std::span<double> out) const {
  const std::size_t values = 3 * row_count_;
  if (rows.size() != frames * values) {
    return fail("expected " + count_text(frames, "frame(s)") + " of " +
                count_text(row_count_, "reference rows") + " (3 values each, " +
                std::to_string(frames * values) + " values), got " + std::to_string(rows.size()) +
                " values");
  }
  const std::size_t fixed = fixed_dof();
  if (!fixed_qpos.empty() && fixed_qpos.size() != fixed && fixed_qpos.size() != frames * fixed) {
    return fail("fixed_qpos must hold " + count_text(fixed, "values") +
                " (one per fixed joint) for every frame, got " +
                count_text(fixed_qpos.size(), "values"));
  }
  if (out.size() != frames * dof()) {
    return fail("the output holds " + count_text(out.size(), "values") + ", " +
                std::to_string(frames * dof()) + " are needed");
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!std::isfinite(rows[i])) {
      return fail("reference row " + std::to_string(i / 3 % row_count_) + " of frame " +
                  std::to_string(i / values) + " is not finite");
    }
  }
  return {};
}

void Retargeter::solve_frame(std::span<const double> rows, std::span<const double> fixed_qpos,
                             std::span<double> out) {
  const std::vector<double> q = seq_.retarget(rows, fixed_qpos);
  if (q.size() != out.size()) throw InternalFault("Retargeter: sequencer returned a short qpos");
  std::copy(q.begin(), q.end(), out.begin());
}

Status Retargeter::retarget(std::span<const double> rows, std::span<const double> fixed_qpos,
                            std::span<double> out) {
  if (auto checked = check_frames(1, rows, fixed_qpos, out); !checked) return checked;
  solve_frame(rows, fixed_qpos, out);
  return {};
}

Status Retargeter::retarget_sequence(std::size_t frames, std::span<const double> rows,
                                     std::span<const double> fixed_qpos, std::span<double> out,
                                     std::span<SolveReport> reports) {
  if (auto checked = check_frames(frames, rows, fixed_qpos, out); !checked) return checked;
  if (!reports.empty() && reports.size() != frames) {
    return fail("reports hold " + count_text(reports.size(), "entries") + ", " +
                count_text(frames, "frame(s)") + " are solved");
  }
  const std::size_t values = 3 * row_count_;
  const std::size_t fixed = fixed_dof();
  const bool per_frame_fixed = fixed > 0 && frames > 1 && fixed_qpos.size() == frames * fixed;
  for (std::size_t f = 0; f < frames; ++f) {
    const std::span<const double> frame_fixed =
        per_frame_fixed ? fixed_qpos.subspan(f * fixed, fixed) : fixed_qpos;
    solve_frame(rows.subspan(f * values, values), frame_fixed, out.subspan(f * dof(), dof()));
    if (!reports.empty()) reports[f] = last_report();
  }
  return {};
}

}  // namespace kova
