// URDF robot description reader.
//
// Reads only what retargeting needs: the robot's name, its links and joints in document order,
// each joint's type, parent, child, origin transform, axis, limit and mimic relation. Everything
// else in the file is ignored. Malformed numbers and missing optional attributes take defaults;
// only a broken document or a missing required name is an error.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include "kova/result.hpp"

namespace kova {

// Homogeneous transform, column-major: element (r, c) at position 4c + r, translation at 12..14.
using Transform = Eigen::Matrix4d;

struct LinkSpec {
  std::string name;
};

struct LimitSpec {
  double lower = 0.0;
  double upper = 0.0;
  std::optional<double> effort;
  std::optional<double> velocity;
};

struct MimicSpec {
  std::string joint;  // name of the joint being followed
  double multiplier = 1.0;
  double offset = 0.0;
};

struct JointSpec {
  std::string name;
  std::string joint_type = "fixed";  // as written in the file, never validated
  std::string parent;
  std::string child;
  Transform origin = Transform::Identity();  // parent link frame -> joint frame
  Eigen::Vector3d axis = Eigen::Vector3d(1.0, 0.0, 0.0);  // as written, not normalised
  std::optional<LimitSpec> limit;
  std::optional<MimicSpec> mimic;
};

// Parallel lists, one entry per joint that carries a <mimic> element, in joint order.
struct MimicJointTable {
  std::vector<std::string> mimic_joint_names;
  std::vector<std::string> source_joint_names;
  std::vector<double> multipliers;
  std::vector<double> offsets;
  bool has_mimic = false;
};

struct UrdfRobot {
  std::string name = "unnamed";
  std::vector<LinkSpec> links;
  std::vector<JointSpec> joints;
  // Name -> position in `links` / `joints`; a later duplicate replaces an earlier one.
  std::unordered_map<std::string, std::size_t> link_index;
  std::unordered_map<std::string, std::size_t> joint_index;

  // Reads the whole file as UTF-8 and parses it. "Failed to read URDF: {}" on a read failure.
  static Result<UrdfRobot> from_file(const std::filesystem::path& path);
  // Parses URDF text. The first problem ends the parse; no partial robot is returned.
  static Result<UrdfRobot> from_str(std::string_view text);

  // The first link, in link order, that is no joint's child; nullopt when there is none.
  // The view points into `links` and is valid while the robot is unchanged.
  std::optional<std::string_view> root_link() const;

  MimicJointTable parse_mimic_joints() const;

  // Refills `link_index` and `joint_index` from the lists.
  void rebuild_indices();
};

}  // namespace kova
