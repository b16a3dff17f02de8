// Editing a URDF document while keeping everything in it.
//
// The reader (urdf.hpp) keeps only what kinematics and viewers need; a tool that writes a robot
// back (a hand re-rooted at its hand frame, tip links added) must keep every element it does not
// touch: inertia, materials, transmissions, plugins, comments. UrdfDocument holds the whole XML
// tree and changes only what each call names. Links and joints are found among the <robot>
// element's direct children, as the reader finds them.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "kova/result.hpp"
#include "kova/ros_package.hpp"
#include "kova/urdf.hpp"

namespace pugi {
class xml_document;
}

namespace kova {

// What became of one <mesh filename="..."> when a document moves to another folder.
struct MeshPathChange {
  std::string written;    // the reference as the source had it
  std::string rewritten;  // the reference the document now holds (== written when kept)
  bool found = false;     // whether the referenced file exists
};

class UrdfDocument {
 public:
  // Reads the file as a robot description would be read; fails with the reader's messages.
  static Result<UrdfDocument> from_file(const std::filesystem::path& path);
  static Result<UrdfDocument> from_str(std::string_view text);

  UrdfDocument(UrdfDocument&&) noexcept;
  UrdfDocument& operator=(UrdfDocument&&) noexcept;
  ~UrdfDocument();

  // The first link that is no joint's child, as the reader decides it.
  Result<std::string> root_link() const;

  // Puts a new link `link` above the current root, holding it by the fixed joint `joint` whose
  // origin is `old_root_pose`: the old root's frame expressed in the new link's frame. Fails when
  // either name is taken or the document has no root.
  Status add_root(std::string_view link, std::string_view joint, const Transform& old_root_pose);

  // Adds link `link` fixed to link `parent` by joint `joint`, its frame at `position` in the
  // parent's frame (axes parallel). Fails when the parent is missing or a name is taken.
  Status add_fixed_link(std::string_view parent, std::string_view link, std::string_view joint,
                        const Eigen::Vector3d& position);

  // Rewrites every mesh reference so that a copy of the document saved in `target_dir` still
  // names the files the source in `source_dir` named: a relative path to an existing file is
  // made relative to `target_dir` (absolute when no relative path exists); package:// and
  // absolute references, and relative ones to missing files, are kept as written.
  std::vector<MeshPathChange> rewrite_mesh_paths(const std::filesystem::path& source_dir,
                                                 const std::filesystem::path& target_dir,
                                                 const PackageSearchPath& search);

  // The document as text, indented by two spaces, with an XML declaration.
  std::string to_string() const;

 private:
  UrdfDocument();
  std::unique_ptr<pugi::xml_document> doc_;
};

// Roll, pitch and yaw (URDF order: R = Rz(yaw) Ry(pitch) Rx(roll)) of a rotation matrix; at the
// pitch singularity the roll is 0.
Eigen::Vector3d rpy_of(const Eigen::Matrix3d& rotation);

}  // namespace kova
