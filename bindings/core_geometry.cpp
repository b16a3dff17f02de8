// kova_rs._core.Geometry: the visual and collision shapes of a robot's links as the URDF gives
// them (primitives with their sizes, meshes by file name and scale), each with its origin in the
// link frame; and joint vectors whose mimic joints follow their sources.
#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core_arrays.hpp"
#include "core_model.hpp"
#include "kova/mimic_pose.hpp"
#include "kova/urdf.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

struct PyGeometry {
  std::string kind;  // "box", "cylinder", "sphere", "capsule" or "mesh"
  std::string name;
  kova::Transform origin;
  kova::Geometry shape;
  std::optional<kova::Rgba> rgba;
};

const char* kind_of(const kova::Geometry& shape) {
  struct Kind {
    const char* operator()(const kova::BoxGeometry&) const { return "box"; }
    const char* operator()(const kova::CylinderGeometry&) const { return "cylinder"; }
    const char* operator()(const kova::SphereGeometry&) const { return "sphere"; }
    const char* operator()(const kova::CapsuleGeometry&) const { return "capsule"; }
    const char* operator()(const kova::MeshGeometry&) const { return "mesh"; }
  };
  return std::visit(Kind{}, shape);
}

PyGeometry wrap(const kova::GeometryElement& element, std::optional<kova::Rgba> rgba) {
  return {kind_of(element.geometry), element.name, element.origin, element.geometry, rgba};
}

const kova::LinkSpec& link_spec(const PyRobotModel& model, const std::string& link) {
  const auto found = model.robot->link_index().find(link);
  if (found == model.robot->link_index().end()) {
    throw nb::value_error(
        ("Link " + link + " not found in robot " + model.robot->urdf().name).c_str());
  }
  return model.robot->urdf().links[found->second];
}

NumpyArray vector3(const Eigen::Vector3d& v) {
  NumpyArray out = new_array({3});
  for (int a = 0; a < 3; ++a) out.data()[a] = v[a];
  return out;
}

template <class Shape>
const Shape* as(const PyGeometry& g) {
  return std::get_if<Shape>(&g.shape);
}

}  // namespace

void bind_geometry(nb::module_& module, nb::class_<PyRobotModel>& model) {
  nb::class_<PyGeometry>(module, "Geometry",
                         "One <visual> or <collision> shape of a link, as the file gives it.")
      .def_ro("kind", &PyGeometry::kind,
              "\"box\", \"cylinder\", \"sphere\", \"capsule\" or "
              "\"mesh\".")
      .def_ro("name", &PyGeometry::name, "Its name attribute, \"\" when absent.")
      .def_prop_ro(
          "origin",
          [](const PyGeometry& g) {
            NumpyArray out = new_array({4, 4});
            for (int r = 0; r < 4; ++r) {
              for (int c = 0; c < 4; ++c) out.data()[4 * r + c] = g.origin(r, c);
            }
            return out;
          },
          nb::rv_policy::move, "Link frame -> shape frame, (4, 4).")
      .def_prop_ro(
          "size",
          [](const PyGeometry& g) -> std::optional<NumpyArray> {
            if (const auto* box = as<kova::BoxGeometry>(g)) return vector3(box->size);
            return std::nullopt;
          },
          nb::rv_policy::move, "A box's full edge lengths (3,); None for other shapes.")
      .def_prop_ro(
          "radius",
          [](const PyGeometry& g) -> std::optional<double> {
            if (const auto* c = as<kova::CylinderGeometry>(g)) return c->radius;
            if (const auto* s = as<kova::SphereGeometry>(g)) return s->radius;
            if (const auto* c = as<kova::CapsuleGeometry>(g)) return c->radius;
            return std::nullopt;
          },
          "Radius of a cylinder, sphere or capsule; None otherwise.")
      .def_prop_ro(
          "length",
          [](const PyGeometry& g) -> std::optional<double> {
            if (const auto* c = as<kova::CylinderGeometry>(g)) return c->length;
            if (const auto* c = as<kova::CapsuleGeometry>(g)) return c->length;
            return std::nullopt;
          },
          "Length along z of a cylinder or a capsule's straight part; None otherwise.")
      .def_prop_ro(
          "filename",
          [](const PyGeometry& g) -> std::optional<std::string> {
            if (const auto* m = as<kova::MeshGeometry>(g)) return m->filename;
            return std::nullopt;
          },
          "A mesh's file reference as written; None for primitives.")
      .def_prop_ro(
          "scale",
          [](const PyGeometry& g) -> std::optional<NumpyArray> {
            if (const auto* m = as<kova::MeshGeometry>(g)) return vector3(m->scale);
            return std::nullopt;
          },
          nb::rv_policy::move, "A mesh's scale (3,); None for primitives.")
      .def_ro("rgba", &PyGeometry::rgba,
              "A visual's colour (inline or from its named material); None when it has none "
              "and for collision shapes.");

  model
      .def(
          "visuals",
          [](const PyRobotModel& m, const std::string& link) {
            std::vector<PyGeometry> out;
            for (const kova::VisualSpec& v : link_spec(m, link).visuals)
              out.push_back(wrap(v, v.rgba));
            return out;
          },
          "link"_a, "The link's visual shapes, in file order.")
      .def(
          "collisions",
          [](const PyRobotModel& m, const std::string& link) {
            std::vector<PyGeometry> out;
            for (const kova::CollisionSpec& c : link_spec(m, link).collisions) {
              out.push_back(wrap(c, std::nullopt));
            }
            return out;
          },
          "link"_a, "The link's collision shapes, in file order.")
      .def(
          "follow_mimic",
          [](const PyRobotModel& m, const InArray& qpos) {
            const std::size_t dof = m.robot->dof();
            if (!has_shape(qpos, {dof})) {
              throw nb::value_error(
                  ("qpos must have shape (" + std::to_string(dof) + ",), got " + shape_text(qpos))
                      .c_str());
            }
            NumpyArray out = new_array({dof});
            std::copy(qpos.data(), qpos.data() + dof, out.data());
            kova::follow_mimic_joints(m.robot->model(), values(out));
            return out;
          },
          "qpos"_a, nb::rv_policy::move,
          "The joint vector (dof,) with every mimic joint set from its source (a mimic of a "
          "mimic after its source).");
}

}  // namespace kova_core
