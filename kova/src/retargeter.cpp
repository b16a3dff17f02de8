#include "kova/retargeter.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/vector_optimizer.hpp"

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

Result<Retargeter> Retargeter::create(RetargetingConfig config) {
  const RetargetingType type = config.type;
  auto seq = std::move(config).build();
  if (!seq) return fail(seq.error());
  return Retargeter(std::move(*seq), type);
}

Retargeter::Retargeter(SeqRetargeting seq, RetargetingType type)
    : seq_(std::move(seq)),
      optimizer_(&optimizer_base(seq_)),
      type_(type),
      joint_names_(optimizer_->dof_joint_names()),
      row_count_(rows_read_by(*optimizer_)) {}

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
                                     std::span<const double> fixed_qpos, std::span<double> out) {
  if (auto checked = check_frames(frames, rows, fixed_qpos, out); !checked) return checked;
  const std::size_t values = 3 * row_count_;
  const std::size_t fixed = fixed_dof();
  const bool per_frame_fixed = fixed > 0 && frames > 1 && fixed_qpos.size() == frames * fixed;
  for (std::size_t f = 0; f < frames; ++f) {
    const std::span<const double> frame_fixed =
        per_frame_fixed ? fixed_qpos.subspan(f * fixed, fixed) : fixed_qpos;
    solve_frame(rows.subspan(f * values, values), frame_fixed, out.subspan(f * dof(), dof()));
  }
  return {};
}

}  // namespace kova
