// Element and attribute access shared by the URDF reader's parts: local names, the first child of
// a name, attributes as optional strings and numbers, and the <origin> transform.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "kova/urdf.hpp"
#include "numbers.hpp"

namespace kova::urdf_xml {

inline std::string_view local_name(const pugi::xml_node& node) {
  std::string_view name = node.name();
  const std::size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

inline bool is_element(const pugi::xml_node& node, std::string_view name) {
  return node.type() == pugi::node_element && local_name(node) == name;
}

inline pugi::xml_node first_child_element(const pugi::xml_node& parent, std::string_view name) {
  for (const pugi::xml_node& child : parent.children()) {
    if (is_element(child, name)) return child;
  }
  return {};
}

inline std::optional<std::string> attribute(const pugi::xml_node& node, const char* name) {
  const pugi::xml_attribute found = node.attribute(name);
  if (!found) return std::nullopt;
  return std::string(found.value());
}

inline std::optional<double> number_attribute(const pugi::xml_node& node, const char* name) {
  const pugi::xml_attribute found = node.attribute(name);
  if (!found) return std::nullopt;
  return numbers::parse_strict_double(found.value());
}

inline std::array<double, 3> vector_attribute(const pugi::xml_node& node, const char* name,
                                              std::string_view fallback) {
  const pugi::xml_attribute found = node.attribute(name);
  return numbers::parse_vector3(found ? std::string_view(found.value()) : fallback);
}

// Rotation Rz(yaw) * Ry(pitch) * Rx(roll) and translation xyz as a homogeneous transform.
inline Transform origin_transform(const std::array<double, 3>& xyz,
                                  const std::array<double, 3>& rpy) {
  const double ca = std::cos(rpy[0]);
  const double sa = std::sin(rpy[0]);
  const double cb = std::cos(rpy[1]);
  const double sb = std::sin(rpy[1]);
  const double cg = std::cos(rpy[2]);
  const double sg = std::sin(rpy[2]);
  Transform t = Transform::Identity();
  t(0, 0) = cg * cb;
  t(0, 1) = cg * sb * sa - sg * ca;
  t(0, 2) = cg * sb * ca + sg * sa;
  t(1, 0) = sg * cb;
  t(1, 1) = sg * sb * sa + cg * ca;
  t(1, 2) = sg * sb * ca - cg * sa;
  t(2, 0) = -sb;
  t(2, 1) = cb * sa;
  t(2, 2) = cb * ca;
  t(0, 3) = xyz[0];
  t(1, 3) = xyz[1];
  t(2, 3) = xyz[2];
  return t;
}

// An <origin> element: `xyz` and `rpy` read as number lists (default "0 0 0").
inline Transform origin_element_transform(const pugi::xml_node& origin) {
  return origin_transform(vector_attribute(origin, "xyz", "0 0 0"),
                          vector_attribute(origin, "rpy", "0 0 0"));
}

}  // namespace kova::urdf_xml
