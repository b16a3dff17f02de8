// The file a URDF <mesh filename="..."> names. URDF files write meshes as paths relative to the
// file's folder, absolute paths, file:// URIs or package://NAME/PATH references (ROS packages,
// resolved through ros_package.hpp).
#pragma once

#include <filesystem>
#include <string_view>

#include "kova/result.hpp"
#include "kova/ros_package.hpp"

namespace kova {

inline constexpr std::string_view kFileScheme = "file://";

// The path `reference` names, seen from a URDF file in `urdf_dir`, whether or not it exists
// (package:// references must resolve to an existing file: the error names the package and where
// it was looked for).
Result<std::filesystem::path> mesh_reference_path(std::string_view reference,
                                                  const std::filesystem::path& urdf_dir,
                                                  const PackageSearchPath& search);

// The existing file `reference` names; the error says which file is missing.
Result<std::filesystem::path> resolve_mesh_reference(std::string_view reference,
                                                     const std::filesystem::path& urdf_dir,
                                                     const PackageSearchPath& search);

}  // namespace kova
