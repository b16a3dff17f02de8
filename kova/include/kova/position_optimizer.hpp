// Position retargeting: target links reach 3-D keypoints under a per-axis Huber loss.
#pragma once

#include <string>
#include <vector>

#include "kova/optimizer.hpp"

namespace kova {

class PositionOptimizer final : public Optimizer {
 public:
  // Throws InternalFault: "Joint {} not found in robot", "Link {} not found".
  PositionOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                    const std::vector<std::string>& target_link_names, double huber_delta,
                    double normal_delta);
  // ... the Optimizer operations; members are private to the implementation.
};

}  // namespace kova
