// The Python RobotModel: a shared, immutable robot description, also handed out by retargeters.
#pragma once

#include <memory>

#include "kova/robot_wrapper.hpp"

namespace kova_core {

struct PyRobotModel {
  std::shared_ptr<const kova::RobotWrapper> robot;
};

}  // namespace kova_core
