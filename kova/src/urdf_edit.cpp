#include "kova/urdf_edit.hpp"

#include <charconv>
#include <cmath>
#include <sstream>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <pugixml.hpp>

#include "kova/mesh_reference.hpp"
#include "text_file.hpp"
#include "urdf_xml.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;
using urdf_xml::attribute;
using urdf_xml::first_child_element;
using urdf_xml::is_element;

constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;
// Below this a written coordinate is 0: rounding noise of a rotation, far below any size a robot
// description means.
constexpr double kNegligible = 1e-12;

pugi::xml_node robot_element(const pugi::xml_document& doc) {
  for (const pugi::xml_node& node : doc.children()) {
    if (is_element(node, "robot")) return node;
  }
  return {};
}

bool has_named(const pugi::xml_node& robot, std::string_view element, std::string_view name) {
  for (const pugi::xml_node& node : robot.children()) {
    if (is_element(node, element) && node.attribute("name").value() == name) return true;
  }
  return false;
}

std::string number_text(double value) {
  if (std::abs(value) < kNegligible) value = 0.0;
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, written.ptr);
}

std::string triple_text(const Eigen::Vector3d& v) {
  return number_text(v.x()) + " " + number_text(v.y()) + " " + number_text(v.z());
}

// <link name="..."/> and <joint name="..." type="fixed"> with parent, child and origin, built on
// the given nodes (already placed in the document).
void fill_link(pugi::xml_node link, std::string_view name) {
  link.append_attribute("name").set_value(std::string(name).c_str());
}

void fill_fixed_joint(pugi::xml_node joint, std::string_view name, std::string_view parent,
                      std::string_view child, const Eigen::Vector3d& xyz,
                      const Eigen::Vector3d& rpy) {
  joint.append_attribute("name").set_value(std::string(name).c_str());
  joint.append_attribute("type").set_value("fixed");
  pugi::xml_node origin = joint.append_child("origin");
  origin.append_attribute("xyz").set_value(triple_text(xyz).c_str());
  origin.append_attribute("rpy").set_value(triple_text(rpy).c_str());
  joint.append_child("parent").append_attribute("link").set_value(std::string(parent).c_str());
  joint.append_child("child").append_attribute("link").set_value(std::string(child).c_str());
}

Status names_free(const pugi::xml_node& robot, std::string_view link, std::string_view joint) {
  if (link.empty() || joint.empty()) return fail("a new link or joint needs a name");
  if (has_named(robot, "link", link)) {
    return fail("the robot already has a link named " + std::string(link));
  }
  if (has_named(robot, "joint", joint)) {
    return fail("the robot already has a joint named " + std::string(joint));
  }
  return {};
}

// The mesh elements of every <visual> and <collision> of every link.
std::vector<pugi::xml_node> mesh_elements(const pugi::xml_node& robot) {
  std::vector<pugi::xml_node> meshes;
  for (const pugi::xml_node& link : robot.children()) {
    if (!is_element(link, "link")) continue;
    for (const pugi::xml_node& part : link.children()) {
      if (!is_element(part, "visual") && !is_element(part, "collision")) continue;
      const pugi::xml_node mesh =
          first_child_element(first_child_element(part, "geometry"), "mesh");
      if (mesh && mesh.attribute("filename")) meshes.push_back(mesh);
    }
  }
  return meshes;
}

// `file` as seen from `folder`: relative when the two share a root, else absolute.
std::string path_from(const fs::path& file, const fs::path& folder) {
  std::error_code error;
  const fs::path absolute_file = fs::weakly_canonical(fs::absolute(file, error), error);
  const fs::path absolute_folder = fs::weakly_canonical(fs::absolute(folder, error), error);
  if (error) return fs::absolute(file).generic_string();
  const fs::path relative = absolute_file.lexically_relative(absolute_folder);
  return relative.empty() ? absolute_file.generic_string() : relative.generic_string();
}

}  // namespace

UrdfDocument::UrdfDocument() : doc_(std::make_unique<pugi::xml_document>()) {}
UrdfDocument::UrdfDocument(UrdfDocument&&) noexcept = default;
UrdfDocument& UrdfDocument::operator=(UrdfDocument&&) noexcept = default;
UrdfDocument::~UrdfDocument() = default;

Result<UrdfDocument> UrdfDocument::from_file(const fs::path& path) {
  Result<std::string> text = read_utf8_text_file(path, kMaxFileBytes);
  if (!text) return fail("Failed to read URDF: " + text.error());
  return from_str(*text);
}

Result<UrdfDocument> UrdfDocument::from_str(std::string_view text) {
  // The reader decides what is a robot description (and refuses what it cannot read); the
  // editor then keeps the whole tree, comments and processing instructions included.
  if (auto robot = UrdfRobot::from_str(text); !robot) return fail(std::move(robot.error()));
  UrdfDocument document;
  const unsigned flags = pugi::parse_default | pugi::parse_doctype | pugi::parse_comments |
                         pugi::parse_declaration | pugi::parse_pi;
  if (!document.doc_->load_buffer(text.data(), text.size(), flags, pugi::encoding_utf8)) {
    return fail("XML parse error");  // the reader accepted it: not expected
  }
  // Some makers put a licence comment above the XML declaration, which XML forbids there:
  // lenient readers accept it, strict ones refuse the file. What is written puts it first.
  for (pugi::xml_node node = document.doc_->first_child().next_sibling(); node;
       node = node.next_sibling()) {
    if (node.type() == pugi::node_declaration) {
      document.doc_->prepend_move(node);
      break;
    }
  }
  return document;
}

Result<std::string> UrdfDocument::root_link() const {
  const pugi::xml_node robot = robot_element(*doc_);
  std::unordered_set<std::string> children;
  for (const pugi::xml_node& joint : robot.children()) {
    if (!is_element(joint, "joint")) continue;
    if (auto child = attribute(first_child_element(joint, "child"), "link")) {
      children.insert(std::move(*child));
    }
  }
  for (const pugi::xml_node& link : robot.children()) {
    if (!is_element(link, "link")) continue;
    std::string name = link.attribute("name").value();
    if (!children.contains(name)) return name;
  }
  return fail("No root link found");
}

Status UrdfDocument::add_root(std::string_view link, std::string_view joint,
                              const Transform& old_root_pose) {
  pugi::xml_node robot = robot_element(*doc_);
  if (Status free = names_free(robot, link, joint); !free) return free;
  Result<std::string> old_root = root_link();
  if (!old_root) return fail(std::move(old_root.error()));
  // First in the file, so that a reader taking the first parentless link finds the new root.
  pugi::xml_node joint_node = robot.prepend_child("joint");
  pugi::xml_node link_node = robot.prepend_child("link");
  fill_link(link_node, link);
  fill_fixed_joint(joint_node, joint, link, *old_root, old_root_pose.block<3, 1>(0, 3),
                   rpy_of(old_root_pose.block<3, 3>(0, 0)));
  return {};
}

Status UrdfDocument::add_fixed_link(std::string_view parent, std::string_view link,
                                    std::string_view joint, const Eigen::Vector3d& position) {
  pugi::xml_node robot = robot_element(*doc_);
  if (!has_named(robot, "link", parent)) {
    return fail("the robot has no link named " + std::string(parent));
  }
  if (Status free = names_free(robot, link, joint); !free) return free;
  fill_link(robot.append_child("link"), link);
  fill_fixed_joint(robot.append_child("joint"), joint, parent, link, position,
                   Eigen::Vector3d::Zero());
  return {};
}

std::vector<MeshPathChange> UrdfDocument::rewrite_mesh_paths(const fs::path& source_dir,
                                                             const fs::path& target_dir,
                                                             const PackageSearchPath& search) {
  std::vector<MeshPathChange> changes;
  for (pugi::xml_node mesh : mesh_elements(robot_element(*doc_))) {
    pugi::xml_attribute filename = mesh.attribute("filename");
    MeshPathChange change;
    change.written = filename.value();
    change.rewritten = change.written;
    const std::string_view reference = change.written;
    change.found = resolve_mesh_reference(reference, source_dir, search).has_value();
    const bool relative = !is_package_uri(reference) && !reference.starts_with(kFileScheme) &&
                          !fs::path(reference).is_absolute();
    if (relative && change.found) {
      change.rewritten = path_from(source_dir / fs::path(reference), target_dir);
      filename.set_value(change.rewritten.c_str());
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

std::string UrdfDocument::to_string() const {
  std::ostringstream out;
  // pugixml writes a declaration only when the document has none of its own.
  doc_->save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
  return out.str();
}

Eigen::Vector3d rpy_of(const Eigen::Matrix3d& r) {
  const double pitch = std::atan2(-r(2, 0), std::hypot(r(0, 0), r(1, 0)));
  if (std::hypot(r(0, 0), r(1, 0)) < 1e-12) {  // pitch at +-90 degrees: only roll - yaw is known
    return {0.0, pitch, std::atan2(-r(0, 1), r(1, 1))};
  }
  return {std::atan2(r(2, 1), r(2, 2)), pitch, std::atan2(r(1, 0), r(0, 0))};
}

}  // namespace kova
