// kova_rs._core.KeypointLayout and KeypointConverter: tracker joint orders and their conversion
// to the 21 hand landmarks. A converter is immutable, so threads may share one; converting a
// frame is a few hundred floating-point operations, so the interpreter lock stays held.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core_arrays.hpp"
#include "core_errors.hpp"
#include "core_modules.hpp"
#include "kova/hand_frame.hpp"
#include "kova/keypoint_converter.hpp"
#include "kova/keypoint_layout.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

std::vector<std::string> layout_names() {
  std::vector<std::string> names;
  for (const kova::KeypointLayoutInfo& info : kova::keypoint_layouts()) {
    names.emplace_back(info.name);
  }
  return names;
}

const kova::KeypointLayoutInfo& layout_named(const std::string& name) {
  return kova::layout_info(value_or_raise(kova::keypoint_layout_from_str(name)));
}

std::vector<std::string> joint_names(const kova::KeypointLayoutInfo& info) {
  return {info.joint_names.begin(), info.joint_names.end()};
}

// A frame is (joints, 3) or (joints, 16); poses may also come as (joints, 4, 4). A sequence has
// one more leading dimension.
struct FramesShape {
  bool fits = false;
  bool sequence = false;
  std::size_t frames = 0;
};

FramesShape frames_shape(const kova::KeypointConverter& converter, const InArray& frames) {
  const std::size_t joints = converter.layout().joint_count();
  const bool poses = converter.encoding() == kova::JointEncoding::Pose;
  const auto one_frame_from = [&](std::size_t first) {
    const std::size_t rest = frames.ndim() - first;
    if (frames.ndim() < first + 2 || frames.shape(first) != joints) return false;
    if (!poses) return rest == 2 && frames.shape(first + 1) == 3;
    return (rest == 2 && frames.shape(first + 1) == 16) ||
           (rest == 3 && frames.shape(first + 1) == 4 && frames.shape(first + 2) == 4);
  };
  if (one_frame_from(0)) return {true, false, 1};
  if (one_frame_from(1)) return {true, true, frames.shape(0)};
  return {};
}

std::string frame_shape(const kova::KeypointConverter& converter) {
  const std::string joints = std::to_string(converter.layout().joint_count());
  return converter.encoding() == kova::JointEncoding::Pose
             ? "(" + joints + ", 16) or (" + joints + ", 4, 4)"
             : "(" + joints + ", 3)";
}

[[noreturn]] void wrong_shape(const kova::KeypointConverter& converter, const InArray& frames) {
  throw nb::value_error(("frames of the " + std::string(converter.layout().name) +
                         " layout must have shape " + frame_shape(converter) +
                         ", or (N, ...) for a sequence, got " + shape_text(frames))
                            .c_str());
}

NumpyArray convert(const kova::KeypointConverter& converter, const InArray& frames) {
  const FramesShape shape = frames_shape(converter, frames);
  if (!shape.fits) wrong_shape(converter, frames);
  if (shape.sequence) {
    NumpyArray out = new_array({shape.frames, 21, 3});
    raise_on_error(converter.convert_frames(values(frames), values(out)));
    return out;
  }
  NumpyArray out = new_array({21, 3});
  const kova::FrameCheck check = converter.convert(values(frames), values(out));
  if (!check) throw nb::value_error(converter.describe(check).c_str());
  return out;
}

using Problem = std::optional<std::pair<std::string, std::string>>;

Problem convert_into(const kova::KeypointConverter& converter, const InArray& frame,
                     OutArray& out) {
  const FramesShape shape = frames_shape(converter, frame);
  if (!shape.fits || shape.sequence) wrong_shape(converter, frame);
  if (!has_shape(out, {21, 3})) {
    throw nb::value_error(("out must have shape (21, 3), got " + shape_text(out)).c_str());
  }
  const kova::FrameCheck check = converter.convert(values(frame), values(out));
  if (check) return std::nullopt;
  const bool lost = check.problem == kova::FrameProblem::NonFinite ||
                    check.problem == kova::FrameProblem::DegeneratePalm;
  return std::make_pair(std::string(lost ? "lost" : "malformed"), converter.describe(check));
}

}  // namespace

void bind_layouts(nb::module_& module) {
  module.def("keypoint_layouts", &layout_names,
             "Names of the keypoint layouts trackers report: mediapipe, openxr, webxr, "
             "visionpro, mano.");

  nb::class_<kova::KeypointLayoutInfo>(module, "KeypointLayout",
                                       "The joints a tracker reports, in its order, and where "
                                       "the 21 hand landmarks are among them.")
      .def(
          "__init__",
          [](kova::KeypointLayoutInfo* self, const std::string& name) {
            new (self) kova::KeypointLayoutInfo(layout_named(name));
          },
          "name"_a, "By name; ValueError names the closest layout and every valid one.")
      .def_prop_ro("name",
                   [](const kova::KeypointLayoutInfo& info) { return std::string(info.name); })
      .def_prop_ro("joint_names", &joint_names, "The tracker's joints, in the order it sends them.")
      .def_prop_ro("joint_count", &kova::KeypointLayoutInfo::joint_count)
      .def_prop_ro(
          "landmark_joint",
          [](const kova::KeypointLayoutInfo& info) {
            return std::vector<std::size_t>(info.landmark_joint.begin(), info.landmark_joint.end());
          },
          "Landmark i (0 wrist ... 20 little fingertip) is the tracker's joint landmark_joint[i].")
      .def_prop_ro(
          "has_wrist_orientation",
          [](const kova::KeypointLayoutInfo& info) { return info.right_wrist.has_value(); },
          "Whether the hand frame can come from the tracker's wrist pose.")
      .def("__repr__", [](const kova::KeypointLayoutInfo& info) {
        return "KeypointLayout('" + std::string(info.name) + "')";
      });

  nb::class_<kova::KeypointConverter>(
      module, "KeypointConverter",
      "Tracker frames of one layout -> the 21 hand landmarks, optionally in the hand frame.")
      .def(
          "__init__",
          [](kova::KeypointConverter* self, const std::string& layout, bool poses,
             const std::string& hand_frame, const std::string& side) {
            const kova::KeypointLayout found =
                value_or_raise(kova::keypoint_layout_from_str(layout));
            const kova::HandFrameSource source =
                value_or_raise(kova::hand_frame_source_from_str(hand_frame));
            const kova::HandSide hand = value_or_raise(kova::hand_side_from_str(side));
            new (self) kova::KeypointConverter(value_or_raise(kova::KeypointConverter::create(
                found, poses ? kova::JointEncoding::Pose : kova::JointEncoding::Position, source,
                hand)));
          },
          "layout"_a, nb::kw_only(), "poses"_a = false, "hand_frame"_a = "keypoints",
          "side"_a = "right",
          "poses: frames hold 4 x 4 joint poses (16 values, row-major) instead of positions. "
          "hand_frame: 'keypoints' (from the palm landmarks), 'tracker' (the wrist pose's "
          "orientation; needs poses) or 'none'. side 'left' mirrors a left hand onto a right "
          "hand.")
      .def_prop_ro("layout",
                   [](const kova::KeypointConverter& c) { return std::string(c.layout().name); })
      .def_prop_ro("joint_count",
                   [](const kova::KeypointConverter& c) { return c.layout().joint_count(); })
      .def_prop_ro("poses",
                   [](const kova::KeypointConverter& c) {
                     return c.encoding() == kova::JointEncoding::Pose;
                   })
      .def_prop_ro("hand_frame",
                   [](const kova::KeypointConverter& c) {
                     return std::string(kova::to_string(c.hand_frame()));
                   })
      .def_prop_ro(
          "side",
          [](const kova::KeypointConverter& c) { return std::string(kova::to_string(c.side())); })
      .def("convert", &convert, "frames"_a,
           "One frame -> (21, 3), or a sequence (N, joints, ...) -> (N, 21, 3). ValueError names "
           "the first frame and joint that give no landmarks (not finite, not a pose, ...).")
      .def("convert_into", &convert_into, "frame"_a, "out"_a,
           "One frame into out (21, 3), for live streams: None when done, otherwise (kind, "
           "message) with kind 'lost' (no hand: values not finite, palm collapsed) or "
           "'malformed'.");
}

}  // namespace kova_core
