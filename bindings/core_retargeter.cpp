// kova_rs._core.Retargeter: one kova::Retargeter behind its own mutex. Every computing call
// releases the interpreter lock first and then takes the mutex, so calls on distinct objects run
// in parallel and calls on one object are serialised whole.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "core_arrays.hpp"
#include "core_errors.hpp"
#include "core_model.hpp"
#include "core_modules.hpp"
#include "kova/constants.hpp"
#include "kova/dexpilot_vectors.hpp"
#include "kova/fingertip_match.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/reference_map.hpp"
#include "kova/retargeter.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/solve_report.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

struct PyRetargeter {
  kova::Retargeter core;
  std::mutex mutex;
  PyRobotModel model;  // the robot the retargeter solves for, for viewers and tools
};

template <class Body>
auto locked(PyRetargeter& self, Body&& body) {
  nb::gil_scoped_release released;
  std::lock_guard lock(self.mutex);
  return body(self.core);
}

using Names = std::optional<std::vector<std::string>>;

// Python types of the arrays, for signatures written out by hand.
#define NB_IN_ARRAY                                                                      \
  "typing.Annotated[numpy.typing.NDArray[numpy.float64], dict(order='C', device='cpu', " \
  "writable=False)]"
#define NB_OUT_ARRAY "numpy.typing.NDArray[numpy.float64]"

struct ConfigFields {
  std::string type;
  std::string urdf_path;
  std::string urdf_dir;
  bool add_dummy_free_joint;
  std::optional<std::vector<std::uint64_t>> target_link_human_indices;
  std::optional<std::string> wrist_link_name;
  Names target_link_names, target_joint_names, target_origin_link_names, target_task_link_names,
      finger_tip_link_names;
  double scaling_factor, normal_delta, huber_delta, project_dist, escape_dist;
  bool has_joint_limits, ignore_mimic_joint;
  double low_pass_alpha;
};

kova::RetargetingConfig to_config(ConfigFields fields) {
  kova::RetargetingConfig config;
  config.type = config_or_raise(kova::retargeting_type_from_str(fields.type));
  config.urdf_path = std::move(fields.urdf_path);
  config.urdf_dir = std::move(fields.urdf_dir);
  config.add_dummy_free_joint = fields.add_dummy_free_joint;
  config.target_link_human_indices = std::move(fields.target_link_human_indices);
  config.wrist_link_name = std::move(fields.wrist_link_name);
  config.target_link_names = std::move(fields.target_link_names);
  config.target_joint_names = std::move(fields.target_joint_names);
  config.target_origin_link_names = std::move(fields.target_origin_link_names);
  config.target_task_link_names = std::move(fields.target_task_link_names);
  config.finger_tip_link_names = std::move(fields.finger_tip_link_names);
  config.scaling_factor = fields.scaling_factor;
  config.normal_delta = fields.normal_delta;
  config.huber_delta = fields.huber_delta;
  config.project_dist = fields.project_dist;
  config.escape_dist = fields.escape_dist;
  config.has_joint_limits = fields.has_joint_limits;
  config.ignore_mimic_joint = fields.ignore_mimic_joint;
  config.low_pass_alpha = fields.low_pass_alpha;
  if (auto valid = config.validate(); !valid) throw ConfigMistake(valid.error());
  return config;
}

void construct(PyRetargeter* self, kova::RetargetingConfig config, const std::string& solver) {
  kova::RetargeterOptions options;
  options.solver = config_or_raise(kova::solver_kind_from_str(solver));
  kova::Result<kova::Retargeter> made = [&] {
    nb::gil_scoped_release released;  // reads the robot file and builds the optimiser
    return kova::Retargeter::create(std::move(config), options);
  }();
  kova::Retargeter core = config_or_raise(std::move(made));
  auto robot = std::make_shared<const kova::RobotWrapper>(core.robot());
  new (self) PyRetargeter{std::move(core), {}, PyRobotModel{std::move(robot)}};
}

std::string rows_shape(const PyRetargeter& self, bool sequence) {
  return std::string(sequence ? "(N, " : "(") + std::to_string(self.core.row_count()) + ", 3)";
}

void check_rows(const PyRetargeter& self, const InArray& rows, bool sequence) {
  const std::size_t r = self.core.row_count();
  const bool fits = sequence ? rows.ndim() == 3 && rows.shape(1) == r && rows.shape(2) == 3
                             : has_shape(rows, {r, 3});
  if (!fits) {
    throw nb::value_error(("rows must have shape " + rows_shape(self, sequence) +
                           " (one row per target), got " + shape_text(rows))
                              .c_str());
  }
}

// Empty for None; otherwise (fixed_dof,) or, for a sequence of N frames, (N, fixed_dof).
std::span<const double> check_fixed(const PyRetargeter& self, const std::optional<InArray>& fixed,
                                    std::optional<std::size_t> frames) {
  if (!fixed) return {};
  const std::size_t count = self.core.fixed_dof();
  const bool fits = has_shape(*fixed, {count}) || (frames && has_shape(*fixed, {*frames, count}));
  if (!fits) {
    std::string wanted = "(" + std::to_string(count) + ",)";
    if (frames) wanted += " or (" + std::to_string(*frames) + ", " + std::to_string(count) + ")";
    throw nb::value_error(("fixed_qpos must have shape " + wanted +
                           " (one value per fixed joint), got " + shape_text(*fixed))
                              .c_str());
  }
  return values(*fixed);
}

NumpyArray retarget(PyRetargeter& self, const InArray& rows, const std::optional<InArray>& fixed) {
  check_rows(self, rows, false);
  const std::span<const double> fixed_values = check_fixed(self, fixed, std::nullopt);
  NumpyArray out = new_array({self.core.dof()});
  raise_on_error(locked(self, [&](kova::Retargeter& core) {
    return core.retarget(values(rows), fixed_values, values(out));
  }));
  return out;
}

nb::object retarget_sequence(PyRetargeter& self, const InArray& rows,
                             const std::optional<InArray>& fixed, nb::handle out) {
  check_rows(self, rows, true);
  const std::size_t frames = rows.shape(0);
  const std::span<const double> fixed_values = check_fixed(self, fixed, frames);
  const std::size_t dof = self.core.dof();
  OutArray target;
  nb::object result;
  if (out.is_none()) {
    NumpyArray made = new_array({frames, dof});
    target = OutArray(made);
    result = nb::cast(made);
  } else {
    if (!nb::try_cast(out, target, /*convert=*/false)) {
      throw nb::type_error("out must be a writable C-contiguous float64 array");
    }
    if (!has_shape(target, {frames, dof})) {
      throw nb::value_error(("out must have shape (" + std::to_string(frames) + ", " +
                             std::to_string(dof) + "), got " + shape_text(target))
                                .c_str());
    }
    result = nb::borrow(out);
  }
  raise_on_error(locked(self, [&](kova::Retargeter& core) {
    return core.retarget_sequence(frames, values(rows), fixed_values, values(target));
  }));
  return result;
}

NumpyArray link_positions(PyRetargeter& self, const InArray& qpos,
                          const std::vector<std::string>& names) {
  const std::size_t dof = self.core.dof();
  const bool batched = qpos.ndim() == 2 && qpos.shape(1) == dof;
  if (!batched && !has_shape(qpos, {dof})) {
    throw nb::value_error(("qpos must have shape (" + std::to_string(dof) + ",) or (N, " +
                           std::to_string(dof) + "), got " + shape_text(qpos))
                              .c_str());
  }
  const std::vector<std::size_t> links = value_or_raise(self.core.link_indices(names));
  const std::size_t frames = batched ? qpos.shape(0) : 1;
  NumpyArray out = batched ? new_array({frames, links.size(), 3}) : new_array({links.size(), 3});
  raise_on_error(locked(self, [&](kova::Retargeter& core) {
    return core.link_positions(frames, values(qpos), links, values(out));
  }));
  return out;
}

// Keypoints (21, 3) -> rows (R, 3); (N, 21, 3) -> (N, R, 3).
NumpyArray reference(PyRetargeter& self, const InArray& keypoints) {
  const std::size_t landmarks = kova::kHandLandmarkCount;
  const bool sequence =
      keypoints.ndim() == 3 && keypoints.shape(1) == landmarks && keypoints.shape(2) == 3;
  if (!sequence && !has_shape(keypoints, {landmarks, 3})) {
    throw nb::value_error(
        ("keypoints must have shape (21, 3) or (N, 21, 3), got " + shape_text(keypoints)).c_str());
  }
  const std::size_t frames = sequence ? keypoints.shape(0) : 1;
  const std::size_t r = self.core.row_count();
  NumpyArray rows = sequence ? new_array({frames, r, 3}) : new_array({r, 3});
  kova::Status done;
  {
    nb::gil_scoped_release released;  // the map is immutable: no lock needed
    done = self.core.reference_rows(frames, values(keypoints), values(rows));
  }
  raise_on_error(done);
  return rows;
}

// Rows (R, 3) with qpos (dof,) -> (R,); (N, R, 3) with (N, dof) -> (N, R).
NumpyArray errors(PyRetargeter& self, const InArray& rows, const InArray& qpos) {
  const std::size_t r = self.core.row_count();
  const std::size_t dof = self.core.dof();
  const bool sequence = rows.ndim() == 3;
  check_rows(self, rows, sequence);
  const std::size_t frames = sequence ? rows.shape(0) : 1;
  if (!(sequence ? has_shape(qpos, {frames, dof}) : has_shape(qpos, {dof}))) {
    const std::string wanted = sequence
                                   ? "(" + std::to_string(frames) + ", " + std::to_string(dof) + ")"
                                   : "(" + std::to_string(dof) + ",)";
    throw nb::value_error(("qpos must have shape " + wanted + ", got " + shape_text(qpos)).c_str());
  }
  NumpyArray out = sequence ? new_array({frames, r}) : new_array({r});
  raise_on_error(locked(self, [&](kova::Retargeter& core) {
    return core.target_errors(frames, values(rows), values(qpos), values(out));
  }));
  return out;
}

std::tuple<NumpyArray, std::vector<kova::SolveReport>> retarget_sequence_reported(
    PyRetargeter& self, const InArray& rows, const std::optional<InArray>& fixed) {
  check_rows(self, rows, true);
  const std::size_t frames = rows.shape(0);
  const std::span<const double> fixed_values = check_fixed(self, fixed, frames);
  NumpyArray out = new_array({frames, self.core.dof()});
  std::vector<kova::SolveReport> reports(frames);
  raise_on_error(locked(self, [&](kova::Retargeter& core) {
    return core.retarget_sequence(frames, values(rows), fixed_values, values(out), reports);
  }));
  return {out, std::move(reports)};
}

using TargetRow =
    std::tuple<std::optional<std::string>, std::string, std::optional<std::size_t>, std::size_t>;

std::vector<TargetRow> target_rows(const PyRetargeter& self) {
  const kova::ReferenceMap& map = self.core.reference_map();
  std::vector<TargetRow> rows;
  rows.reserve(map.row_count());
  for (std::size_t r = 0; r < map.row_count(); ++r) {
    TargetRow row{std::nullopt, map.links[map.task_links[r]], std::nullopt, map.task_landmarks[r]};
    if (map.rows_are_vectors()) {
      std::get<0>(row) = map.links[map.origin_links[r]];
      std::get<2>(row) = map.origin_landmarks[r];
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

void bind_solve_report(nb::module_& module) {
  nb::class_<kova::SolveReport>(module, "SolveReport", "How the solver ended one frame.")
      .def_prop_ro(
          "solver",
          [](const kova::SolveReport& r) { return std::string(kova::to_string(r.solver)); },
          "\"slsqp\" or \"lm\".")
      .def_ro("status", &kova::SolveReport::status,
              "The solver's own code (SLSQP: NLopt's result code; 0: nothing was solved).")
      .def_prop_ro(
          "stop_reason", [](const kova::SolveReport& r) { return std::string(r.stop_reason); },
          "Why the solver stopped, in words.")
      .def_ro("iterations", &kova::SolveReport::iterations,
              "Solver iterations (SLSQP reports evaluations only: the same number).")
      .def_ro("evaluations", &kova::SolveReport::evaluations, "Objective evaluations.")
      .def_ro("objective", &kova::SolveReport::objective, "The final objective value.")
      .def("__repr__", [](const kova::SolveReport& r) {
        return "SolveReport(solver='" + std::string(kova::to_string(r.solver)) +
               "', status=" + std::to_string(r.status) + ", stop_reason='" +
               std::string(r.stop_reason) + "', evaluations=" + std::to_string(r.evaluations) +
               ", objective=" + std::to_string(r.objective) + ")";
      });
}

void bind_retargeter(nb::module_& module) {
  module.def(
      "dexpilot_vectors",
      [](std::size_t finger_count) {
        std::vector<std::tuple<std::size_t, std::size_t>> pairs;
        for (const kova::DexPilotVector& v : kova::dexpilot_vector_pairs(finger_count)) {
          pairs.emplace_back(v.task, v.origin);
        }
        return pairs;
      },
      "finger_count"_a,
      "(task, origin) of each DexPilot vector, in the order the optimiser reads its rows, over "
      "link numbers 0 = the wrist and 1..n = the fingertips: every fingertip pair (from tip j to "
      "tip i, i < j), then the wrist to each fingertip.");
  module.def(
      "fingertip_landmarks",
      [](const std::vector<std::string>& link_names) {
        const kova::FingertipMatch match = value_or_raise(kova::match_fingertips(link_names));
        std::vector<std::size_t> landmarks;
        for (const kova::Finger finger : match.fingers) {
          landmarks.push_back(kova::fingertip_landmark(finger));
        }
        return landmarks;
      },
      "link_names"_a,
      "The human fingertip landmark (4, 8, 12, 16, 20) each robot fingertip link stands for, "
      "from the finger word in its name (thumb/th, index/ff/first/fore, middle/mf, ring/rf, "
      "little/pinky/lf); in list order (thumb first) when the names do not decide.");
  nb::class_<PyRetargeter>(module, "Retargeter",
                           "Retargets reference rows onto one robot hand, frame after frame "
                           "(one sequence). Safe to share between threads: calls on one object "
                           "are serialised, calls on distinct objects run in parallel.")
      .def(
          "__init__",
          [](PyRetargeter* self, std::string type, std::string urdf_path, std::string urdf_dir,
             bool add_dummy_free_joint, std::optional<std::vector<std::uint64_t>> indices,
             std::optional<std::string> wrist_link_name, Names target_link_names,
             Names target_joint_names, Names target_origin_link_names, Names target_task_link_names,
             Names finger_tip_link_names, double scaling_factor, double normal_delta,
             double huber_delta, double project_dist, double escape_dist, bool has_joint_limits,
             bool ignore_mimic_joint, double low_pass_alpha, const std::string& solver) {
            construct(self,
                      to_config(ConfigFields{
                          std::move(type), std::move(urdf_path), std::move(urdf_dir),
                          add_dummy_free_joint, std::move(indices), std::move(wrist_link_name),
                          std::move(target_link_names), std::move(target_joint_names),
                          std::move(target_origin_link_names), std::move(target_task_link_names),
                          std::move(finger_tip_link_names), scaling_factor, normal_delta,
                          huber_delta, project_dist, escape_dist, has_joint_limits,
                          ignore_mimic_joint, low_pass_alpha}),
                      solver);
          },
          "type"_a, "urdf_path"_a, nb::kw_only(), "urdf_dir"_a = ".",
          "add_dummy_free_joint"_a = false, "target_link_human_indices"_a = nb::none(),
          "wrist_link_name"_a = nb::none(), "target_link_names"_a = nb::none(),
          "target_joint_names"_a = nb::none(), "target_origin_link_names"_a = nb::none(),
          "target_task_link_names"_a = nb::none(), "finger_tip_link_names"_a = nb::none(),
          "scaling_factor"_a = 1.0, "normal_delta"_a = 4e-3, "huber_delta"_a = 2e-2,
          "project_dist"_a = 0.03, "escape_dist"_a = 0.05, "has_joint_limits"_a = true,
          "ignore_mimic_joint"_a = false, "low_pass_alpha"_a = 0.1, "solver"_a = "slsqp",
          "From the fields of a retargeting configuration (the keys of its YAML section). A "
          "relative urdf_path is searched as the configuration file's would be, from urdf_dir. The "
          "configuration is checked first: a value out of range, a missing or misspelt link or "
          "joint name (with the closest one and the robot's names) raises ConfigError.")
      .def_prop_ro(
          "type",
          [](const PyRetargeter& self) { return std::string(kova::to_string(self.core.type())); },
          "\"position\", \"vector\" or \"dexpilot\".")
      .def_prop_ro(
          "joint_names", [](const PyRetargeter& self) { return self.core.joint_names(); },
          "The DOF joint names: the order of every joint vector.")
      .def_prop_ro(
          "dof", [](const PyRetargeter& self) { return self.core.dof(); },
          "Length of every joint vector.")
      .def_prop_ro(
          "fixed_dof", [](const PyRetargeter& self) { return self.core.fixed_dof(); },
          "Number of joints neither optimised nor following a mimic source; fixed_qpos holds "
          "their values in DOF order.")
      .def_prop_ro(
          "row_count", [](const PyRetargeter& self) { return self.core.row_count(); },
          "Reference rows (x, y, z) per frame: one per target link or target vector.")
      .def("retarget", &retarget, "rows"_a, "fixed_qpos"_a = nb::none(),
           "One frame (row_count, 3) -> joint vector (dof,), continuing the sequence. "
           "fixed_qpos: None (all 0) or (fixed_dof,).")
      .def("retarget_sequence", &retarget_sequence, "rows"_a, "fixed_qpos"_a = nb::none(),
           "out"_a = nb::none(),
           nb::sig("def retarget_sequence(self, rows: " NB_IN_ARRAY ", fixed_qpos: " NB_IN_ARRAY
                   " | None = None, out: " NB_OUT_ARRAY " | None = None) -> " NB_OUT_ARRAY),
           "N frames (N, row_count, 3) -> joint vectors (N, dof), solved one after the other "
           "without the interpreter lock, continuing the sequence. fixed_qpos: None, "
           "(fixed_dof,) for every frame or (N, fixed_dof). out: an (N, dof) float64 array to "
           "write into instead of a new one; it is returned.")
      .def("retarget_sequence_reported", &retarget_sequence_reported, "rows"_a,
           "fixed_qpos"_a = nb::none(),
           "retarget_sequence, also returning how the solver ended each frame.")
      .def(
          "last_report",
          [](PyRetargeter& self) {
            return locked(self, [](kova::Retargeter& core) { return core.last_report(); });
          },
          "How the solver ended the most recently solved frame.")
      .def_prop_ro(
          "solver",
          [](const PyRetargeter& self) { return std::string(kova::to_string(self.core.solver())); },
          "The solver every frame uses: \"slsqp\" or \"lm\".")
      .def("reference", &reference, "keypoints"_a,
           "Hand keypoints (21, 3) -> the rows one frame reads (row_count, 3); (N, 21, 3) -> "
           "(N, row_count, 3).")
      .def("errors", &errors, "rows"_a, "qpos"_a,
           "Error of each target in metres for solved frames: rows (row_count, 3) with qpos "
           "(dof,) -> (row_count,), or (N, row_count, 3) with (N, dof) -> (N, row_count). "
           "position: distance of the target link to its keypoint; vectors: length of the robot "
           "vector minus scaling_factor times the human vector.")
      .def_prop_ro(
          "target_labels",
          [](const PyRetargeter& self) { return self.core.reference_map().labels; },
          "One label per row: the link (position) or \"origin->task\" (vectors).")
      .def_prop_ro(
          "target_links", [](const PyRetargeter& self) { return self.core.reference_map().links; },
          "The robot links the targets read, each once, origins first.")
      .def_prop_ro("target_rows", &target_rows,
                   "Per row: (origin link, task link, origin landmark, task landmark); the "
                   "origins are None for position targets.")
      .def_prop_ro(
          "scaling_factor",
          [](const PyRetargeter& self) { return self.core.reference_map().scaling_factor; },
          "Vector targets are the human vectors times this factor.")
      .def("link_positions", &link_positions, "qpos"_a, "link_names"_a,
           "Positions of the named links for joint vectors (dof,) -> (L, 3) or (N, dof) -> "
           "(N, L, 3), mimic joints following their sources as in a solved frame. The "
           "sequence is not touched.")
      .def_prop_ro(
          "model", [](const PyRetargeter& self) { return self.model; },
          "The robot model the retargeter solves for (shared, immutable).")
      .def_prop_ro(
          "urdf_file", [](const PyRetargeter& self) { return self.core.urdf_file(); },
          "The robot description file the configuration's urdf_path resolved to.")
      .def(
          "restart",
          [](PyRetargeter& self) { locked(self, [](kova::Retargeter& core) { core.restart(); }); },
          "Starts a new sequence in every respect: warm start, low-pass filter and DexPilot's "
          "pinch state as after construction.");
}

}  // namespace kova_core
