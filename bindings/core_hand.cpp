// kova_rs._core hand-frame functions: keypoints of the 21 hand landmarks in the hand's own frame,
// the frame itself, and mirroring. Whole recordings are one call, without the interpreter lock.
#include <algorithm>
#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "core_arrays.hpp"
#include "core_errors.hpp"
#include "core_modules.hpp"
#include "kova/hand_frame.hpp"
#include "kova/hand_landmarks.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

// (21, 3) is one frame, (N, 21, 3) N frames.
std::size_t keypoint_frames(const InArray& keypoints, bool& sequence) {
  const std::size_t landmarks = kova::kHandLandmarkCount;
  if (has_shape(keypoints, {landmarks, 3})) {
    sequence = false;
    return 1;
  }
  if (keypoints.ndim() == 3 && keypoints.shape(1) == landmarks && keypoints.shape(2) == 3) {
    sequence = true;
    return keypoints.shape(0);
  }
  throw nb::value_error(
      ("keypoints must have shape (21, 3) or (N, 21, 3), got " + shape_text(keypoints)).c_str());
}

NumpyArray like_keypoints(std::size_t frames, bool sequence) {
  return sequence ? new_array({frames, kova::kHandLandmarkCount, 3})
                  : new_array({kova::kHandLandmarkCount, 3});
}

NumpyArray to_hand_frame(const InArray& keypoints, const std::string& side) {
  bool sequence = false;
  const std::size_t frames = keypoint_frames(keypoints, sequence);
  const kova::HandSide hand = value_or_raise(kova::hand_side_from_str(side));
  NumpyArray out = like_keypoints(frames, sequence);
  kova::Status done;
  {
    nb::gil_scoped_release released;
    done = kova::to_hand_frame(values(keypoints), hand, values(out), sequence);
  }
  raise_on_error(done);
  return out;
}

std::tuple<NumpyArray, NumpyArray> hand_frame(const InArray& keypoints) {
  bool sequence = false;
  const std::size_t frames = keypoint_frames(keypoints, sequence);
  NumpyArray rotations = sequence ? new_array({frames, 3, 3}) : new_array({3, 3});
  NumpyArray origins = sequence ? new_array({frames, 3}) : new_array({3});
  kova::Status done;
  {
    nb::gil_scoped_release released;
    done = kova::hand_frames(values(keypoints), values(rotations), values(origins), sequence);
  }
  raise_on_error(done);
  return {rotations, origins};
}

NumpyArray mirror(const InArray& points, const std::string& axis) {
  if (points.ndim() == 0 || points.shape(points.ndim() - 1) != 3) {
    throw nb::value_error(
        ("points must end in a dimension of 3, got " + shape_text(points)).c_str());
  }
  const kova::MirrorAxis across = value_or_raise(kova::mirror_axis_from_str(axis));
  std::vector<std::size_t> shape(points.ndim());
  for (std::size_t i = 0; i < points.ndim(); ++i) shape[i] = points.shape(i);
  NumpyArray out = new_array(shape);
  std::copy_n(points.data(), points.size(), out.data());
  raise_on_error(kova::mirror(values(out), across));
  return out;
}

}  // namespace

void bind_hand(nb::module_& module) {
  module.attr("LANDMARKS") = kova::kHandLandmarkCount;
  module.def("to_hand_frame", &to_hand_frame, "keypoints"_a, "side"_a = "right",
             "Keypoints (21, 3) or (N, 21, 3), each frame expressed in its own hand frame (wrist "
             "at the origin, x to the middle knuckle, y towards the little finger, z out of the "
             "palm). side='left' mirrors a left hand first so that it drives a right-hand model.");
  module.def("hand_frame", &hand_frame, "keypoints"_a,
             "(rotation, origin) of the hand frame: (3, 3) whose columns are the hand's axes and "
             "(3,) the wrist, or (N, 3, 3) and (N, 3) for N frames.");
  module.def("mirror", &mirror, "points"_a, "axis"_a = "y",
             "Points (..., 3) reflected across the plane normal to axis ('x', 'y' or 'z').");
}

}  // namespace kova_core
