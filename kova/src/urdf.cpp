#include "kova/urdf.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>

#include <pugixml.hpp>

#include "numbers.hpp"
#include "text_file.hpp"
#include "urdf_geometry.hpp"
#include "urdf_xml.hpp"

namespace kova {
namespace {

using namespace urdf_xml;

// No real robot description comes near this; the cap keeps a device or a runaway file from
// exhausting memory.
constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;

std::string read_failure(const std::string& description) {
  return "Failed to read URDF: " + description;
}

// 1-based line and column (in characters) of a byte offset.
std::string position_text(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n') {
      ++line;
      column = 1;
    } else if ((byte & 0xC0u) != 0x80u) {
      ++column;  // continuation bytes belong to the character already counted
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string xml_error(std::string_view text, std::string_view description, std::size_t offset) {
  return "XML parse error: " + std::string(description) + " at " + position_text(text, offset);
}

Result<JointSpec> read_joint(const pugi::xml_node& element) {
  JointSpec joint;
  auto name = attribute(element, "name");
  if (!name) return fail("Joint missing name");
  joint.name = std::move(*name);
  joint.joint_type = attribute(element, "type").value_or("fixed");

  auto parent = attribute(first_child_element(element, "parent"), "link");
  if (!parent) return fail("Joint " + joint.name + " missing parent link");
  joint.parent = std::move(*parent);
  auto child = attribute(first_child_element(element, "child"), "link");
  if (!child) return fail("Joint " + joint.name + " missing child link");
  joint.child = std::move(*child);

  if (const pugi::xml_node origin = first_child_element(element, "origin")) {
    joint.origin = origin_element_transform(origin);
  }
  if (const pugi::xml_node axis = first_child_element(element, "axis")) {
    const auto xyz = vector_attribute(axis, "xyz", "1 0 0");
    joint.axis = Eigen::Vector3d(xyz[0], xyz[1], xyz[2]);
  }
  if (const pugi::xml_node limit = first_child_element(element, "limit")) {
    LimitSpec spec;
    spec.lower = number_attribute(limit, "lower").value_or(0.0);
    spec.upper = number_attribute(limit, "upper").value_or(0.0);
    spec.effort = number_attribute(limit, "effort");
    spec.velocity = number_attribute(limit, "velocity");
    joint.limit = spec;
  }
  if (const pugi::xml_node mimic = first_child_element(element, "mimic")) {
    MimicSpec spec;
    spec.joint = attribute(mimic, "joint").value_or("");
    spec.multiplier = number_attribute(mimic, "multiplier").value_or(1.0);
    spec.offset = number_attribute(mimic, "offset").value_or(0.0);
    joint.mimic = std::move(spec);
  }
  return joint;
}

// Document type declarations are refused (they would bring entity definitions); pugixml only
// reports them as nodes, so the first one found is turned into a parse error here.
std::optional<std::string> doctype_error(std::string_view text, const pugi::xml_document& doc) {
  for (const pugi::xml_node& node : doc.children()) {
    if (node.type() != pugi::node_doctype) continue;
    std::ptrdiff_t offset = node.offset_debug();
    std::size_t start = offset < 0 ? 0 : static_cast<std::size_t>(offset);
    if (start > text.size()) start = text.size();
    const std::size_t declaration = text.substr(0, start).rfind("<!");
    if (declaration != std::string_view::npos) start = declaration;
    return xml_error(text, "document type declarations are not allowed", start);
  }
  return std::nullopt;
}

}  // namespace

Result<UrdfRobot> UrdfRobot::from_file(const std::filesystem::path& path) {
  auto text = read_utf8_text_file(path, kMaxFileBytes);
  if (!text) return fail(read_failure(text.error()));
  return from_str(*text);
}

Result<UrdfRobot> UrdfRobot::from_str(std::string_view text) {
  // pugixml reads up to the first NUL byte; XML allows none, so refuse it instead of parsing a
  // truncated document.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return fail(xml_error(text, "NUL character is not allowed", nul));
  }
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_buffer(
      text.data(), text.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
  if (!parsed) {
    const std::size_t offset = parsed.offset < 0 ? 0 : static_cast<std::size_t>(parsed.offset);
    return fail(xml_error(text, parsed.description(), offset));
  }
  if (auto refused = doctype_error(text, doc)) return fail(std::move(*refused));

  pugi::xml_node robot_element;
  for (const pugi::xml_node& node : doc.children()) {
    if (is_element(node, "robot")) {
      robot_element = node;
      break;
    }
  }
  if (!robot_element) return fail("No <robot> element found");

  UrdfRobot robot;
  robot.name = attribute(robot_element, "name").value_or("unnamed");
  urdf_geometry::MaterialColours colours;
  for (const pugi::xml_node& node : robot_element.children()) {
    if (is_element(node, "link")) {
      auto name = attribute(node, "name");
      if (!name) return fail("Link missing name");
      robot.links.push_back(LinkSpec{std::move(*name)});
      urdf_geometry::read_link_geometry(node, robot.links.back(), colours);
    } else if (is_element(node, "joint")) {
      auto joint = read_joint(node);
      if (!joint) return fail(std::move(joint.error()));
      robot.joints.push_back(std::move(*joint));
    } else if (is_element(node, "material")) {
      colours.define(node);
    }
  }
  urdf_geometry::resolve_material_colours(robot.links, colours);
  robot.rebuild_indices();
  return robot;
}

std::optional<std::string_view> UrdfRobot::root_link() const {
  std::unordered_set<std::string_view> children;
  children.reserve(joints.size());
  for (const JointSpec& joint : joints) children.insert(joint.child);
  for (const LinkSpec& link : links) {
    if (!children.contains(link.name)) return std::string_view(link.name);
  }
  return std::nullopt;
}

MimicJointTable UrdfRobot::parse_mimic_joints() const {
  MimicJointTable table;
  for (const JointSpec& joint : joints) {
    if (!joint.mimic) continue;
    table.mimic_joint_names.push_back(joint.name);
    table.source_joint_names.push_back(joint.mimic->joint);
    table.multipliers.push_back(joint.mimic->multiplier);
    table.offsets.push_back(joint.mimic->offset);
  }
  table.has_mimic = !table.mimic_joint_names.empty();
  return table;
}

void UrdfRobot::rebuild_indices() {
  link_index.clear();
  joint_index.clear();
  link_index.reserve(links.size());
  joint_index.reserve(joints.size());
  for (std::size_t i = 0; i < links.size(); ++i) link_index.insert_or_assign(links[i].name, i);
  for (std::size_t i = 0; i < joints.size(); ++i) joint_index.insert_or_assign(joints[i].name, i);
}

}  // namespace kova
