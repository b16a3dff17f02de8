#include "kova/robot_file.hpp"

#include "kova/ros_package.hpp"

namespace kova {

Result<std::filesystem::path> config_robot_file(const RetargetingConfig& config) {
  if (is_package_uri(config.urdf_path)) {
    return resolve_package_uri(config.urdf_path, PackageSearchPath::from_environment());
  }
  return config.resolve_urdf_path();
}

}  // namespace kova
