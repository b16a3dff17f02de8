#include "kova/keypoint_converter.hpp"

#include <cmath>

namespace kova {
namespace {

constexpr std::size_t kOutValues = 3 * kLayoutLandmarks;
constexpr std::size_t kPoseValues = 16;
// A pose's last row is 0 0 0 1 to this much (trackers send float32).
constexpr double kPoseRowTolerance = 1e-5;
// How far a wrist rotation may be from orthonormal (float32 data renormalised by the tracker).
constexpr double kRotationTolerance = 1e-3;

bool finite(const double* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) return false;
  }
  return true;
}

bool last_row_is_homogeneous(const double* pose) {
  return std::abs(pose[12]) <= kPoseRowTolerance && std::abs(pose[13]) <= kPoseRowTolerance &&
         std::abs(pose[14]) <= kPoseRowTolerance && std::abs(pose[15] - 1.0) <= kPoseRowTolerance;
}

// Column `axis` of a row-major pose's rotation, times `sign`.
void pose_axis(const double* pose, SignedAxis axis, double* out) {
  for (int row = 0; row < 3; ++row) out[row] = axis.sign * pose[4 * row + axis.axis];
}

bool is_rotation(const double* pose) {
  double columns[3][3];
  for (std::uint8_t c = 0; c < 3; ++c) pose_axis(pose, {c, 1}, columns[c]);
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      const double dot = columns[a][0] * columns[b][0] + columns[a][1] * columns[b][1] +
                         columns[a][2] * columns[b][2];
      if (std::abs(dot - (a == b ? 1.0 : 0.0)) > kRotationTolerance) return false;
    }
  }
  const double* x = columns[0];
  const double* y = columns[1];
  const double* z = columns[2];
  const double det = z[0] * (x[1] * y[2] - x[2] * y[1]) + z[1] * (x[2] * y[0] - x[0] * y[2]) +
                     z[2] * (x[0] * y[1] - x[1] * y[0]);
  return det > 0.0;
}

}  // namespace

Result<HandFrameSource> hand_frame_source_from_str(std::string_view text) {
  if (text == "none") return HandFrameSource::None;
  if (text == "keypoints") return HandFrameSource::Keypoints;
  if (text == "tracker") return HandFrameSource::Tracker;
  return fail("hand frame must be 'none', 'keypoints' or 'tracker', got '" + std::string(text) +
              "'");
}

std::string_view to_string(HandFrameSource source) {
  switch (source) {
    case HandFrameSource::None:
      return "none";
    case HandFrameSource::Keypoints:
      return "keypoints";
    case HandFrameSource::Tracker:
      return "tracker";
  }
  return "none";
}

KeypointConverter::KeypointConverter(const KeypointLayoutInfo& info, JointEncoding encoding,
                                     HandFrameSource hand_frame, HandSide side,
                                     const WristAxes* wrist)
    : info_(&info), encoding_(encoding), hand_frame_(hand_frame), side_(side), wrist_(wrist) {}

Result<KeypointConverter> KeypointConverter::create(KeypointLayout layout, JointEncoding encoding,
                                                    HandFrameSource hand_frame, HandSide side) {
  const KeypointLayoutInfo& info = layout_info(layout);
  const WristAxes* wrist = nullptr;
  if (hand_frame == HandFrameSource::Tracker) {
    const auto& axes = side == HandSide::Left ? info.left_wrist : info.right_wrist;
    if (!axes) {
      return fail("the " + std::string(info.name) +
                  " layout carries no wrist orientation; take the hand frame from the keypoints");
    }
    if (encoding != JointEncoding::Pose) {
      return fail(
          "the hand frame can come from the tracker's wrist orientation only when the frames "
          "hold joint poses; send poses or take the hand frame from the keypoints");
    }
    wrist = &*axes;
  }
  return KeypointConverter(info, encoding, hand_frame, side, wrist);
}

FrameCheck KeypointConverter::gather(std::span<const double> frame, std::span<double> out) const {
  const bool poses = encoding_ == JointEncoding::Pose;
  for (std::size_t landmark = 0; landmark < kLayoutLandmarks; ++landmark) {
    const std::size_t joint = info_->landmark_joint[landmark];
    double* position = out.data() + 3 * landmark;
    if (poses) {
      const double* pose = frame.data() + kPoseValues * joint;
      if (!finite(pose, kPoseValues)) return {FrameProblem::NonFinite, joint};
      if (!last_row_is_homogeneous(pose)) return {FrameProblem::NotAPose, joint};
      position[0] = pose[3];
      position[1] = pose[7];
      position[2] = pose[11];
    } else {
      const double* values = frame.data() + 3 * joint;
      if (!finite(values, 3)) return {FrameProblem::NonFinite, joint};
      position[0] = values[0];
      position[1] = values[1];
      position[2] = values[2];
    }
  }
  return {};
}

// p_hand = A^T (p - wrist), A's columns the tracker's fingers, little-finger and palm directions.
// For a left hand A is a reflection, which mirrors the hand as the keypoint frame's mirroring does.
FrameCheck KeypointConverter::to_tracker_frame(std::span<const double> frame,
                                               std::span<double> out) const {
  const std::size_t joint = info_->wrist_joint();
  const double* pose = frame.data() + kPoseValues * joint;
  if (!is_rotation(pose)) return {FrameProblem::NotARotation, joint};
  double axes[3][3];
  pose_axis(pose, wrist_->fingers, axes[0]);
  pose_axis(pose, wrist_->little, axes[1]);
  pose_axis(pose, wrist_->palm, axes[2]);
  const double origin[3] = {out[0], out[1], out[2]};
  for (std::size_t landmark = 0; landmark < kLayoutLandmarks; ++landmark) {
    double* p = out.data() + 3 * landmark;
    const double d[3] = {p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
    for (int a = 0; a < 3; ++a) p[a] = axes[a][0] * d[0] + axes[a][1] * d[1] + axes[a][2] * d[2];
  }
  return {};
}

FrameCheck KeypointConverter::convert(std::span<const double> frame, std::span<double> out) const {
  if (frame.size() != frame_values()) throw_index_out_of_range(frame.size(), frame_values());
  if (out.size() != kOutValues) throw_index_out_of_range(out.size(), kOutValues);
  if (const FrameCheck check = gather(frame, out); !check) return check;
  switch (hand_frame_) {
    case HandFrameSource::None:
      return {};
    case HandFrameSource::Tracker:
      return to_tracker_frame(frame, out);
    case HandFrameSource::Keypoints:
      // Finite landmarks leave only a degenerate palm to refuse.
      if (!to_hand_frame(out, side_, out, false)) return {FrameProblem::DegeneratePalm, 0};
      return {};
  }
  return {};
}

Status KeypointConverter::convert_frames(std::span<const double> frames,
                                         std::span<double> out) const {
  const std::size_t values = frame_values();
  if (frames.size() % values != 0) {
    return fail("frames hold " + std::to_string(frames.size()) +
                " values, not a whole number of frames of " + std::to_string(info_->joint_count()) +
                " joints x " + std::to_string(values_per_joint(encoding_)));
  }
  const std::size_t count = frames.size() / values;
  if (out.size() != count * kOutValues) throw_index_out_of_range(out.size(), count * kOutValues);
  for (std::size_t f = 0; f < count; ++f) {
    const FrameCheck check =
        convert(frames.subspan(f * values, values), out.subspan(f * kOutValues, kOutValues));
    if (!check) return fail("frame " + std::to_string(f) + ": " + describe(check));
  }
  return {};
}

std::string KeypointConverter::describe(const FrameCheck& check) const {
  const std::string joint = "joint " + std::to_string(check.joint) + " (" +
                            std::string(info_->joint_names[check.joint]) + ")";
  switch (check.problem) {
    case FrameProblem::None:
      return "no problem";
    case FrameProblem::NonFinite:
      return joint + " is not a finite number";
    case FrameProblem::NotAPose:
      return joint +
             ": the last row of a pose must be 0 0 0 1 (a pose is 16 numbers, row after row)";
    case FrameProblem::NotARotation:
      return joint + ": the rotation of the pose is not orthonormal and right-handed";
    case FrameProblem::DegeneratePalm:
      return "the wrist and the index, middle and little-finger knuckles coincide or lie on a "
             "line; no hand frame";
  }
  return "no problem";
}

}  // namespace kova
