// URDF robot description reader.
//
// Reads the robot's name, its links and joints in document order, each joint's type, parent,
// child, origin transform, axis, limit and mimic relation, and each link's visual and collision
// geometry (for viewers and tools; the kinematics never reads it). Everything else in the file is
// ignored. Malformed numbers and missing optional attributes take defaults; only a broken
// document or a missing required name is an error. Geometry is read leniently: an entry that
// cannot be understood is left out and never fails the parse.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include <Eigen/Core>

#include "kova/result.hpp"

namespace kova {

// Homogeneous transform, column-major: element (r, c) at position 4c + r, translation at 12..14.
using Transform = Eigen::Matrix4d;

// Shapes of a <geometry> element. Sizes in metres, as written (finite, not negative).
struct BoxGeometry {
  Eigen::Vector3d size = Eigen::Vector3d::Zero();  // full edge lengths along x, y, z
};
struct CylinderGeometry {  // axis along z, centred on the origin
  double radius = 0.0;
  double length = 0.0;
};
struct SphereGeometry {
  double radius = 0.0;
};
struct CapsuleGeometry {  // a cylinder of `length` along z with hemispherical caps
  double radius = 0.0;
  double length = 0.0;
};
struct MeshGeometry {
  std::string filename;  // as written (e.g. "package://hand/meshes/palm.stl" or a relative path)
  Eigen::Vector3d scale = Eigen::Vector3d::Ones();
};
using Geometry =
    std::variant<BoxGeometry, CylinderGeometry, SphereGeometry, CapsuleGeometry, MeshGeometry>;

// RGBA in [0, 1] as written.
using Rgba = std::array<double, 4>;

// A <visual> or <collision> element of a link, in document order.
struct GeometryElement {
  std::string name;                          // its `name` attribute, empty when absent
  Transform origin = Transform::Identity();  // link frame -> geometry frame (read like a joint's)
  Geometry geometry;
};
struct VisualSpec : GeometryElement {
  std::string material;  // the material's name, empty when none is given
  // The colour given inline, or else the first colour the document gives a material of that name
  // (at the top level or inside another visual); nullopt when there is none. A colour is four
  // finite numbers.
  std::optional<Rgba> rgba;
};
using CollisionSpec = GeometryElement;

struct LinkSpec {
  std::string name;
  std::vector<VisualSpec> visuals = {};
  std::vector<CollisionSpec> collisions = {};
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
  Transform origin = Transform::Identity();               // parent link frame -> joint frame
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
