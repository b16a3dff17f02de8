// The robot file a configuration names, as the project's own layers find it: a
// "package://NAME/PATH" urdf_path through the ROS package search path of the environment
// (ROS_PACKAGE_PATH, then AMENT_PREFIX_PATH), any other path as
// RetargetingConfig::resolve_urdf_path finds it.
#pragma once

#include <filesystem>

#include "kova/result.hpp"
#include "kova/retargeting_config.hpp"

namespace kova {

Result<std::filesystem::path> config_robot_file(const RetargetingConfig& config);

}  // namespace kova
