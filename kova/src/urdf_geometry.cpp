#include "urdf_geometry.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <utility>

#include "numbers.hpp"
#include "urdf_xml.hpp"

namespace kova::urdf_geometry {
namespace {

using namespace urdf_xml;

// Exactly N numbers, each finite and written strictly; nullopt otherwise.
template <std::size_t N>
std::optional<std::array<double, N>> exact_numbers(const pugi::xml_node& node, const char* name) {
  const pugi::xml_attribute found = node.attribute(name);
  if (!found) return std::nullopt;
  const std::vector<std::string_view> tokens = numbers::split_unicode_whitespace(found.value());
  if (tokens.size() != N) return std::nullopt;
  std::array<double, N> values{};
  for (std::size_t i = 0; i < N; ++i) {
    const std::optional<double> value = numbers::parse_strict_double(tokens[i]);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    values[i] = *value;
  }
  return values;
}

// A size: one finite number, not negative.
std::optional<double> size_attribute(const pugi::xml_node& node, const char* name) {
  const auto value = exact_numbers<1>(node, name);
  if (!value || (*value)[0] < 0.0) return std::nullopt;
  return (*value)[0];
}

std::optional<Geometry> read_shape(const pugi::xml_node& shape) {
  const std::string_view kind = local_name(shape);
  if (kind == "box") {
    const auto size = exact_numbers<3>(shape, "size");
    if (!size || (*size)[0] < 0.0 || (*size)[1] < 0.0 || (*size)[2] < 0.0) return std::nullopt;
    return BoxGeometry{Eigen::Vector3d((*size)[0], (*size)[1], (*size)[2])};
  }
  if (kind == "cylinder" || kind == "capsule") {
    const auto radius = size_attribute(shape, "radius");
    const auto length = size_attribute(shape, "length");
    if (!radius || !length) return std::nullopt;
    if (kind == "cylinder") return CylinderGeometry{*radius, *length};
    return CapsuleGeometry{*radius, *length};
  }
  if (kind == "sphere") {
    const auto radius = size_attribute(shape, "radius");
    if (!radius) return std::nullopt;
    return SphereGeometry{*radius};
  }
  if (kind == "mesh") {
    auto filename = attribute(shape, "filename");
    if (!filename || filename->empty()) return std::nullopt;
    MeshGeometry mesh{std::move(*filename)};
    if (shape.attribute("scale")) {
      const auto scale = exact_numbers<3>(shape, "scale");
      if (!scale) return std::nullopt;
      mesh.scale = Eigen::Vector3d((*scale)[0], (*scale)[1], (*scale)[2]);
    }
    return mesh;
  }
  return std::nullopt;
}

// The first element child of <geometry> that is a shape this reader knows.
std::optional<Geometry> read_geometry(const pugi::xml_node& element) {
  const pugi::xml_node geometry = first_child_element(element, "geometry");
  for (const pugi::xml_node& shape : geometry.children()) {
    if (shape.type() != pugi::node_element) continue;
    if (auto read = read_shape(shape)) return read;
    const std::string_view kind = local_name(shape);
    if (kind == "box" || kind == "cylinder" || kind == "capsule" || kind == "sphere" ||
        kind == "mesh") {
      return std::nullopt;  // a known shape written wrongly: the element is left out
    }
  }
  return std::nullopt;
}

std::optional<GeometryElement> read_element(const pugi::xml_node& element) {
  auto geometry = read_geometry(element);
  if (!geometry) return std::nullopt;
  GeometryElement read;
  read.name = attribute(element, "name").value_or("");
  if (const pugi::xml_node origin = first_child_element(element, "origin")) {
    read.origin = origin_element_transform(origin);
  }
  read.geometry = std::move(*geometry);
  return read;
}

std::optional<Rgba> colour_of(const pugi::xml_node& material) {
  const auto rgba = exact_numbers<4>(first_child_element(material, "color"), "rgba");
  if (!rgba) return std::nullopt;
  return Rgba{(*rgba)[0], (*rgba)[1], (*rgba)[2], (*rgba)[3]};
}

}  // namespace

void MaterialColours::define(const pugi::xml_node& material) {
  const auto name = attribute(material, "name");
  if (!name || name->empty()) return;
  if (const auto rgba = colour_of(material)) colours_.try_emplace(*name, *rgba);
}

std::optional<Rgba> MaterialColours::find(const std::string& name) const {
  const auto found = colours_.find(name);
  if (found == colours_.end()) return std::nullopt;
  return found->second;
}

void read_link_geometry(const pugi::xml_node& element, LinkSpec& link, MaterialColours& colours) {
  for (const pugi::xml_node& child : element.children()) {
    if (is_element(child, "visual")) {
      auto read = read_element(child);
      if (!read) continue;
      VisualSpec visual;
      static_cast<GeometryElement&>(visual) = std::move(*read);
      if (const pugi::xml_node material = first_child_element(child, "material")) {
        visual.material = attribute(material, "name").value_or("");
        visual.rgba = colour_of(material);
        colours.define(material);
      }
      link.visuals.push_back(std::move(visual));
    } else if (is_element(child, "collision")) {
      if (auto read = read_element(child)) link.collisions.push_back(std::move(*read));
    }
  }
}

void resolve_material_colours(std::vector<LinkSpec>& links, const MaterialColours& colours) {
  for (LinkSpec& link : links) {
    for (VisualSpec& visual : link.visuals) {
      if (!visual.rgba && !visual.material.empty()) visual.rgba = colours.find(visual.material);
    }
  }
}

}  // namespace kova::urdf_geometry
