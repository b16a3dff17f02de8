// DexPilot retargeting: fingertip-pair and wrist-to-fingertip vectors, with close human pinches
// projected onto short targets under raised weights and a hysteresis across frames.
#pragma once

#include <string>
#include <vector>

#include "kova/optimizer.hpp"

namespace kova {

class DexPilotOptimizer final : public Optimizer {
 public:
  // Throws InternalFault: "DexPilot requires 2-5 fingers", "Joint {} not found in robot",
  // "Link {} not found".
  DexPilotOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                    const std::vector<std::string>& finger_tip_link_names,
                    const std::string& wrist_link_name, double huber_delta, double normal_delta,
                    double project_dist, double escape_dist, double lead_pair_length,
                    double other_pair_length, double scaling_factor);
};

}  // namespace kova
