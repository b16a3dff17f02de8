// kova_rs._core.RobotModel: a robot description as the solver reads it, immutable once loaded,
// with forward kinematics, link positions and link position Jacobians on NumPy arrays. Every
// computing call works on a kinematic buffer of its own, so threads may share one model.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core_arrays.hpp"
#include "core_errors.hpp"
#include "core_model.hpp"
#include "core_modules.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/ros_package.hpp"
#include "kova/urdf.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

PyRobotModel make_model(kova::Result<kova::UrdfRobot> urdf) {
  kova::UrdfRobot robot = value_or_raise(std::move(urdf));
  return PyRobotModel{std::make_shared<const kova::RobotWrapper>(
      value_or_raise(kova::RobotWrapper::create(std::move(robot))))};
}

// A 4 x 4 column-major transform into 16 values in C (row-major) order.
void put_transform(const kova::Transform& t, double* out) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) out[4 * r + c] = t(r, c);
  }
}

NumpyArray transform_array(const kova::Transform& t) {
  NumpyArray out = new_array({4, 4});
  put_transform(t, out.data());
  return out;
}

std::size_t link_slot(const kova::RobotWrapper& robot, const std::string& name) {
  const auto found = robot.link_index().find(name);
  if (found == robot.link_index().end()) {
    throw nb::value_error(("Link " + name + " not found in robot " + robot.urdf().name).c_str());
  }
  return found->second;
}

std::vector<std::size_t> link_slots(const kova::RobotWrapper& robot,
                                    const std::vector<std::string>& names) {
  std::vector<std::size_t> slots;
  slots.reserve(names.size());
  for (const std::string& name : names) slots.push_back(link_slot(robot, name));
  return slots;
}

// Frames of joint vectors: (dof,) is one frame, (N, dof) N frames.
struct Frames {
  std::size_t count;
  bool batched;
};

Frames check_qpos(const kova::RobotWrapper& robot, const InArray& qpos) {
  const std::size_t dof = robot.dof();
  if (has_shape(qpos, {dof})) return {1, false};
  if (qpos.ndim() == 2 && qpos.shape(1) == dof) return {qpos.shape(0), true};
  throw nb::value_error(("qpos must have shape (" + std::to_string(dof) + ",) or (N, " +
                         std::to_string(dof) + "), got " + shape_text(qpos))
                            .c_str());
}

// Runs `per_frame(robot with that frame's kinematics, frame index)` for every frame, without the
// interpreter lock, on a kinematic buffer of this call's own.
template <class PerFrame>
void for_each_frame(const PyRobotModel& model, const InArray& qpos, Frames frames,
                    PerFrame&& per_frame) {
  nb::gil_scoped_release released;
  kova::RobotWrapper scratch = *model.robot;
  const std::size_t dof = scratch.dof();
  for (std::size_t f = 0; f < frames.count; ++f) {
    scratch.compute_forward_kinematics({qpos.data() + f * dof, dof});
    per_frame(scratch, f);
  }
}

NumpyArray forward_kinematics(const PyRobotModel& model, const InArray& qpos) {
  const Frames frames = check_qpos(*model.robot, qpos);
  const std::size_t links = model.robot->link_count();
  NumpyArray out =
      frames.batched ? new_array({frames.count, links, 4, 4}) : new_array({links, 4, 4});
  double* data = out.data();
  for_each_frame(model, qpos, frames, [&](const kova::RobotWrapper& robot, std::size_t f) {
    for (std::size_t l = 0; l < links; ++l) {
      put_transform(robot.link_transforms()[l], data + (f * links + l) * 16);
    }
  });
  return out;
}

NumpyArray link_positions(const PyRobotModel& model, const InArray& qpos,
                          const std::vector<std::string>& names) {
  const Frames frames = check_qpos(*model.robot, qpos);
  const std::vector<std::size_t> slots = link_slots(*model.robot, names);
  const std::size_t n = slots.size();
  NumpyArray out = frames.batched ? new_array({frames.count, n, 3}) : new_array({n, 3});
  double* data = out.data();
  for_each_frame(model, qpos, frames, [&](const kova::RobotWrapper& robot, std::size_t f) {
    for (std::size_t k = 0; k < n; ++k) {
      const Eigen::Vector3d p = robot.link_position(slots[k]);
      for (int a = 0; a < 3; ++a) data[(f * n + k) * 3 + a] = p[a];
    }
  });
  return out;
}

NumpyArray link_jacobians(const PyRobotModel& model, const InArray& qpos,
                          const std::vector<std::string>& names) {
  const Frames frames = check_qpos(*model.robot, qpos);
  const std::vector<std::size_t> slots = link_slots(*model.robot, names);
  const std::size_t n = slots.size();
  const std::size_t dof = model.robot->dof();
  NumpyArray out = frames.batched ? new_array({frames.count, n, 3, dof}) : new_array({n, 3, dof});
  double* data = out.data();
  for_each_frame(model, qpos, frames, [&](const kova::RobotWrapper& robot, std::size_t f) {
    kova::Jacobian jacobian(3, static_cast<Eigen::Index>(dof));
    for (std::size_t k = 0; k < n; ++k) {
      robot.compute_single_link_position_jacobian_cached(slots[k], jacobian);
      double* block = data + (f * n + k) * 3 * dof;
      for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < dof; ++c) {
          block[r * dof + c] = jacobian(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
        }
      }
    }
  });
  return out;
}

std::vector<std::string> children(const PyRobotModel& model, const std::string& link) {
  const kova::RobotWrapper& robot = *model.robot;
  link_slot(robot, link);
  std::vector<std::string> names;
  const auto found = robot.parent_link_joints().find(link);
  if (found == robot.parent_link_joints().end()) return names;
  for (const std::size_t joint : found->second) names.push_back(robot.urdf().joints[joint].child);
  return names;
}

const kova::JointSpec& joint(const PyRobotModel& model, const std::string& name) {
  const kova::UrdfRobot& urdf = model.robot->urdf();
  const auto found = urdf.joint_index.find(name);
  if (found == urdf.joint_index.end()) {
    throw nb::value_error(("Joint " + name + " not found in robot " + urdf.name).c_str());
  }
  return urdf.joints[found->second];
}

NumpyArray joint_limits(const PyRobotModel& model) {
  const auto& limits = model.robot->joint_limits();
  NumpyArray out = new_array({limits.size(), 2});
  for (std::size_t i = 0; i < limits.size(); ++i) {
    out.data()[2 * i] = limits[i].first;
    out.data()[2 * i + 1] = limits[i].second;
  }
  return out;
}

}  // namespace

void bind_model(nb::module_& module) {
  module.def(
      "resolve_package_uri",
      [](const std::string& uri) {
        auto found = [&] {
          nb::gil_scoped_release released;
          return kova::resolve_package_uri(uri, kova::PackageSearchPath::from_environment());
        }();
        return value_or_raise(std::move(found));
      },
      "uri"_a,
      "The file a \"package://NAME/PATH\" reference names, its package found through "
      "ROS_PACKAGE_PATH, then AMENT_PREFIX_PATH. ValueError names the package and where it "
      "was looked for.");
  nb::class_<kova::MimicSpec>(module, "Mimic",
                              "A joint that follows another: q = multiplier * q_joint + offset.")
      .def_ro("joint", &kova::MimicSpec::joint, "The joint followed.")
      .def_ro("multiplier", &kova::MimicSpec::multiplier)
      .def_ro("offset", &kova::MimicSpec::offset);

  nb::class_<kova::JointSpec>(module, "Joint",
                              "A joint of the robot description, as the solver reads it.")
      .def_ro("name", &kova::JointSpec::name)
      .def_ro("type", &kova::JointSpec::joint_type, "As written in the file.")
      .def_ro("parent", &kova::JointSpec::parent, "Parent link.")
      .def_ro("child", &kova::JointSpec::child, "Child link.")
      .def_prop_ro(
          "origin", [](const kova::JointSpec& j) { return transform_array(j.origin); },
          nb::rv_policy::move, "Parent link frame -> joint frame, (4, 4).")
      .def_prop_ro(
          "axis",
          [](const kova::JointSpec& j) {
            NumpyArray out = new_array({3});
            for (int a = 0; a < 3; ++a) out.data()[a] = j.axis[a];
            return out;
          },
          nb::rv_policy::move, "As written (not normalised), (3,).")
      .def_prop_ro(
          "limit",
          [](const kova::JointSpec& j) -> std::optional<std::pair<double, double>> {
            if (!j.limit) return std::nullopt;
            return std::pair{j.limit->lower, j.limit->upper};
          },
          "(lower, upper) of its <limit> element, or None without one.")
      .def_ro("mimic", &kova::JointSpec::mimic, "The joint it follows, or None.");

  nb::class_<PyRobotModel> model(
      module, "RobotModel",
      "A robot description as the solver reads it: links, joints, the order "
      "of the degrees of freedom, limits and kinematics. Immutable; threads "
      "may share it.");
  model
      .def_static(
          "from_file",
          [](const std::filesystem::path& path) {
            return make_model([&] {
              nb::gil_scoped_release released;
              return kova::UrdfRobot::from_file(path);
            }());
          },
          "path"_a, "Reads a URDF file.")
      .def_static(
          "from_string",
          [](const std::string& text) { return make_model(kova::UrdfRobot::from_str(text)); },
          "text"_a, "Parses URDF text.")
      .def_prop_ro("name", [](const PyRobotModel& m) { return m.robot->urdf().name; })
      .def_prop_ro(
          "root_link", [](const PyRobotModel& m) { return m.robot->root_link(); },
          "The first link that is no joint's child.")
      .def_prop_ro(
          "link_names", [](const PyRobotModel& m) { return m.robot->link_names(); },
          "Every link in file order: the order of forward_kinematics' output.")
      .def_prop_ro(
          "joints", [](const PyRobotModel& m) { return m.robot->urdf().joints; },
          "Every joint in file order.")
      .def_prop_ro(
          "dof", [](const PyRobotModel& m) { return m.robot->dof(); },
          "Length of every joint vector.")
      .def_prop_ro(
          "dof_joint_names", [](const PyRobotModel& m) { return m.robot->dof_joint_names(); },
          "The movable joints in the order of every joint vector.")
      .def_prop_ro("joint_limits", &joint_limits, nb::rv_policy::move,
                   "(dof, 2): (lower, upper) per DOF joint as the solver bounds it; (-10000, "
                   "10000) without a <limit> element and for mimic joints.")
      .def("joint", &joint, "name"_a, nb::rv_policy::reference_internal, "A joint by name.")
      .def("children", &children, "link"_a, "Child links of a link, in joint order.")
      .def("forward_kinematics", &forward_kinematics, "qpos"_a,
           "Link transforms for a joint vector (dof,) -> (links, 4, 4), or for joint vectors "
           "(N, dof) -> (N, links, 4, 4), in link_names order. Mimic joints take the values "
           "given.")
      .def("link_positions", &link_positions, "qpos"_a, "link_names"_a,
           "Positions of the named links: (dof,) -> (L, 3), (N, dof) -> (N, L, 3).")
      .def("link_jacobians", &link_jacobians, "qpos"_a, "link_names"_a,
           "Position Jacobians d(link origin)/d(qpos) of the named links: (dof,) -> (L, 3, dof), "
           "(N, dof) -> (N, L, 3, dof).");
  bind_geometry(module, model);
}

}  // namespace kova_core
