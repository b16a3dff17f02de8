// ROS file references: "package://NAME/PATH" names the file PATH inside the ROS package NAME, as
// URDF files from ROS write their mesh and robot paths. A package is found the way ROS finds it:
//  - through ROS_PACKAGE_PATH (ROS 1), entry by entry: a folder NAME directly inside an entry,
//    else a folder below it whose package.xml has <name>NAME</name> (a bounded search);
//  - then through AMENT_PREFIX_PATH (ROS 2): <prefix>/share/NAME.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

#include "kova/result.hpp"

namespace kova {

inline constexpr std::string_view kPackageScheme = "package://";

// Where packages are looked for; usually read from the environment.
struct PackageSearchPath {
  std::vector<std::filesystem::path> ros_package_path;   // ROS_PACKAGE_PATH entries, in order
  std::vector<std::filesystem::path> ament_prefix_path;  // AMENT_PREFIX_PATH entries, in order

  // Both variables split at ':', empty entries left out.
  static PackageSearchPath from_environment();
};

// Bounds of the package.xml search below one ROS_PACKAGE_PATH entry, so that an entry pointing at
// a huge tree (a home folder, "/") costs a bounded time.
struct PackageSearchLimits {
  std::size_t max_depth = 6;            // folder levels below the entry
  std::size_t max_directories = 10000;  // folders visited per entry
};

// True when `reference` starts with "package://".
bool is_package_uri(std::string_view reference);

// The folder of ROS package `name`; the error names the package and every place it looked.
Result<std::filesystem::path> find_ros_package(std::string_view name,
                                               const PackageSearchPath& search,
                                               const PackageSearchLimits& limits = {});

// The file a "package://NAME/PATH" reference names; it must exist.
Result<std::filesystem::path> resolve_package_uri(std::string_view uri,
                                                  const PackageSearchPath& search,
                                                  const PackageSearchLimits& limits = {});

}  // namespace kova
