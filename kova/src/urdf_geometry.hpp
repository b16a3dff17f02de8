// The visual and collision elements of URDF links (urdf_geometry.cpp). Read leniently: an element
// whose geometry cannot be understood is left out, and nothing here fails a parse.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "kova/urdf.hpp"

namespace kova::urdf_geometry {

// Colours of named materials: the first definition of a name that gives a usable colour, in
// document order, whether it stands at the top level or inside a link's visual.
class MaterialColours {
 public:
  // A <material> element; one without a name or a usable colour defines nothing.
  void define(const pugi::xml_node& material);
  std::optional<Rgba> find(const std::string& name) const;

 private:
  std::unordered_map<std::string, Rgba> colours_;
};

// Appends the <visual> and <collision> children of a <link> element to `link`, in document
// order; the materials they define go into `colours`.
void read_link_geometry(const pugi::xml_node& element, LinkSpec& link, MaterialColours& colours);

// Gives each visual that names a material but carries no colour of its own the named colour.
void resolve_material_colours(std::vector<LinkSpec>& links, const MaterialColours& colours);

}  // namespace kova::urdf_geometry
