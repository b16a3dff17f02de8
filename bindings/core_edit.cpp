// kova_rs._core.UrdfDocument: a URDF document edited in place (a new root above the old one,
// fixed links, mesh references moved with the file) with everything else in it kept; and the
// file a mesh reference names.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core_arrays.hpp"
#include "core_errors.hpp"
#include "core_modules.hpp"
#include "kova/mesh_reference.hpp"
#include "kova/urdf_edit.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

kova::Transform transform_of(const InArray& pose) {
  if (!has_shape(pose, {4, 4})) {
    throw nb::value_error(("pose must have shape (4, 4), got " + shape_text(pose)).c_str());
  }
  kova::Transform t;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) t(r, c) = pose.data()[4 * r + c];
  }
  return t;
}

Eigen::Vector3d point_of(const InArray& point) {
  if (!has_shape(point, {3})) {
    throw nb::value_error(("position must have shape (3,), got " + shape_text(point)).c_str());
  }
  return {point.data()[0], point.data()[1], point.data()[2]};
}

}  // namespace

void bind_edit(nb::module_& module) {
  nb::class_<kova::MeshPathChange>(module, "MeshPathChange",
                                   "What became of one mesh reference when a document moved.")
      .def_ro("written", &kova::MeshPathChange::written, "The reference as the source had it.")
      .def_ro("rewritten", &kova::MeshPathChange::rewritten,
              "The reference the document now holds (the same when kept).")
      .def_ro("found", &kova::MeshPathChange::found, "Whether the referenced file exists.");

  nb::class_<kova::UrdfDocument>(module, "UrdfDocument",
                                 "A URDF document that keeps every element it holds while a few "
                                 "are added or changed.")
      .def_static(
          "from_file",
          [](const std::filesystem::path& path) {
            return value_or_raise(kova::UrdfDocument::from_file(path));
          },
          "path"_a, "Reads a URDF file (the errors of RobotModel.from_file).")
      .def_static(
          "from_string",
          [](const std::string& text) {
            return value_or_raise(kova::UrdfDocument::from_str(text));
          },
          "text"_a, "Parses URDF text.")
      .def_prop_ro(
          "root_link", [](const kova::UrdfDocument& d) { return value_or_raise(d.root_link()); },
          "The first link that is no joint's child.")
      .def(
          "add_root",
          [](kova::UrdfDocument& d, const std::string& link, const std::string& joint,
             const InArray& pose) { raise_on_error(d.add_root(link, joint, transform_of(pose))); },
          "link"_a, "joint"_a, "old_root_pose"_a,
          "A new root link above the current root, holding it by a fixed joint; old_root_pose "
          "(4, 4) is the old root's frame in the new link's frame. ValueError when a name is "
          "taken.")
      .def(
          "add_fixed_link",
          [](kova::UrdfDocument& d, const std::string& parent, const std::string& link,
             const std::string& joint, const InArray& position) {
            raise_on_error(d.add_fixed_link(parent, link, joint, point_of(position)));
          },
          "parent"_a, "link"_a, "joint"_a, "position"_a,
          "A link fixed to parent at position (3,) in the parent's frame, axes parallel.")
      .def(
          "rewrite_mesh_paths",
          [](kova::UrdfDocument& d, const std::filesystem::path& source_dir,
             const std::filesystem::path& target_dir) {
            return d.rewrite_mesh_paths(source_dir, target_dir,
                                        kova::PackageSearchPath::from_environment());
          },
          "source_dir"_a, "target_dir"_a,
          "Makes every mesh reference of a document read from source_dir resolve from "
          "target_dir: relative paths to existing files are rewritten; package:// (found "
          "through ROS_PACKAGE_PATH / AMENT_PREFIX_PATH), absolute ones and missing files are "
          "kept. One MeshPathChange per mesh element, in file order.")
      .def("to_string", &kova::UrdfDocument::to_string, "The document as indented XML text.");

  module.def(
      "resolve_mesh",
      [](const std::string& reference, const std::filesystem::path& urdf_dir) {
        return value_or_raise(kova::resolve_mesh_reference(
            reference, urdf_dir, kova::PackageSearchPath::from_environment()));
      },
      "reference"_a, "urdf_dir"_a,
      "The existing file a URDF mesh reference names, seen from a URDF file in urdf_dir "
      "(package:// through ROS_PACKAGE_PATH and AMENT_PREFIX_PATH); ValueError when there is "
      "none.");
}

}  // namespace kova_core
