// Vector retargeting: robot link-to-link vectors match scaled human vectors (Huber on the length
// of each vector error).
#pragma once

#include <string>
#include <vector>

#include "kova/optimizer.hpp"

namespace kova {

class VectorOptimizer final : public Optimizer {
 public:
  // Throws InternalFault: "Joint {} not found in robot", "Link {} not found".
  VectorOptimizer(RobotWrapper robot, std::vector<std::string> target_joint_names,
                  const std::vector<std::string>& target_origin_link_names,
                  const std::vector<std::string>& target_task_link_names, double huber_delta,
                  double normal_delta, double scaling_factor);
};

}  // namespace kova
