#include "kova/dexpilot_optimizer.hpp"

#include <cmath>
#include <utility>

#include "kova/dexpilot_vectors.hpp"

namespace kova {
namespace {

constexpr int kMaxEvaluations = 500;
constexpr double kFtolAbs = 1e-6;
// A pair among the other fingers is projected only while its own human distance is at most this.
constexpr double kOtherPairProjectDist = 0.03;
constexpr double kLeadPairWeight = 200.0;
constexpr double kOtherPairWeight = 400.0;
// Keeps the projected direction finite for a zero-length human vector.
constexpr double kDirectionEpsilon = 1e-6;

RobotWrapper require_finger_count(RobotWrapper robot, std::size_t finger_count) {
  if (finger_count < kDexPilotMinFingers || finger_count > kDexPilotMaxFingers) {
    throw InternalFault("DexPilot requires 2-5 fingers");
  }
  return robot;
}

struct VectorSet {
  std::vector<std::string> origins;
  std::vector<std::string> tasks;
};

// Link names of the vector set; link 0 is the wrist, links 1..n the finger tips.
VectorSet dexpilot_vectors(const std::vector<std::string>& finger_tip_link_names,
                           const std::string& wrist_link_name) {
  std::vector<std::string> links{wrist_link_name};
  links.insert(links.end(), finger_tip_link_names.begin(), finger_tip_link_names.end());
  VectorSet set;
  for (const DexPilotVector& vector : dexpilot_vector_pairs(finger_tip_link_names.size())) {
    set.tasks.push_back(links[vector.task]);
    set.origins.push_back(links[vector.origin]);
  }
  return set;
}

}  // namespace

DexPilotOptimizer::DexPilotOptimizer(RobotWrapper robot,
                                     std::vector<std::string> target_joint_names,
                                     const std::vector<std::string>& finger_tip_link_names,
                                     const std::string& wrist_link_name, double huber_delta,
                                     double normal_delta, double project_dist, double escape_dist,
                                     double lead_pair_length, double other_pair_length,
                                     double scaling_factor)
    : OptimizerBase(require_finger_count(std::move(robot), finger_tip_link_names.size()),
                    std::move(target_joint_names)),
      vectors_([&] {
        const VectorSet set = dexpilot_vectors(finger_tip_link_names, wrist_link_name);
        return LinkVectorObjective(data_.robot, set.origins, set.tasks, data_.opt_dof);
      }()),
      huber_delta_(huber_delta),
      normal_delta_(normal_delta),
      scaling_factor_(scaling_factor),
      finger_count_(finger_tip_link_names.size()),
      project_dist_(project_dist),
      escape_dist_(escape_dist) {
  const std::size_t n = finger_count_;
  const std::size_t pairs = n * (n - 1) / 2;
  const std::size_t lead_pairs = n - 1;
  projected_.assign(pairs, false);
  // Pair (F(a+2), F(b+2)) is projected only while both (F1, F(a+2)) and (F1, F(b+2)) are.
  for (std::size_t a = 0; a + 2 < n; ++a) {
    for (std::size_t b = a + 1; b + 1 < n; ++b) {
      lead_slot_b_.push_back(b);
      lead_slot_a_.push_back(a);
    }
  }
  projected_lengths_.assign(lead_pairs, lead_pair_length);
  projected_lengths_.insert(projected_lengths_.end(), pairs - lead_pairs, other_pair_length);
  vectors_.plan_vector_columns(*this);
}

void DexPilotOptimizer::prepare(std::span<const double> ref_value,
                                std::span<const double> fixed_qpos,
                                std::span<const double> last_qpos) {
  const std::size_t vector_count = vectors_.vector_count();
  if (ref_value.size() < 3 * vector_count) {
    throw_index_out_of_range(ref_value.size(), ref_value.size());
  }
  check_adaptor_shape();

  const std::size_t n = finger_count_;
  const std::size_t pairs = projected_.size();
  const std::size_t lead_pairs = n - 1;
  const auto length = [&](std::size_t k) {
    const double x = ref_value[3 * k];
    const double y = ref_value[3 * k + 1];
    const double z = ref_value[3 * k + 2];
    return std::sqrt(x * x + y * y + z * z);
  };

  // Hysteresis on the pairs with the first finger: on below project_dist, off above
  // escape_dist, unchanged in between (the second test wins when the two overlap).
  for (std::size_t k = 0; k < lead_pairs; ++k) {
    const double d = length(k);
    if (d < project_dist_) projected_[k] = true;
    if (d > escape_dist_) projected_[k] = false;
  }
  for (std::size_t m = 0; m < lead_slot_b_.size(); ++m) {
    projected_[lead_pairs + m] = projected_[lead_slot_b_[m]] && projected_[lead_slot_a_[m]] &&
                                 length(lead_pairs + m) <= kOtherPairProjectDist;
  }

  std::span<double> weights = vectors_.weights();
  std::span<double> targets = vectors_.targets();
  const double wrist_weight = static_cast<double>(pairs + n);
  for (std::size_t k = 0; k < vector_count; ++k) {
    const bool is_projected = k < pairs && projected_[k];
    if (k >= pairs) {
      weights[k] = wrist_weight;
    } else if (is_projected) {
      weights[k] = k < lead_pairs ? kLeadPairWeight : kOtherPairWeight;
    } else {
      weights[k] = 1.0;
    }
    if (is_projected) {
      const double d = length(k);
      for (std::size_t a = 0; a < 3; ++a) {
        targets[3 * k + a] = ref_value[3 * k + a] / (d + kDirectionEpsilon) * projected_lengths_[k];
      }
    } else {
      for (std::size_t a = 0; a < 3; ++a) {
        targets[3 * k + a] = scaling_factor_ * ref_value[3 * k + a];
      }
    }
  }
  prepare_frame(fixed_qpos, last_qpos);
}

std::vector<double> DexPilotOptimizer::retarget(std::span<const double> ref_value,
                                                std::span<const double> fixed_qpos,
                                                std::span<const double> last_qpos) {
  clear_report();
  prepare(ref_value, fixed_qpos, last_qpos);
  return solve_with({kMaxEvaluations, kFtolAbs}, *this);
}

void DexPilotOptimizer::clear_sequence_state() {
  projected_.assign(projected_.size(), false);
}

double DexPilotOptimizer::evaluate(const double* x, double* grad, double* gauss_newton) {
  return vectors_.evaluate(*this, huber_delta_, normal_delta_, x, grad, gauss_newton);
}

}  // namespace kova
