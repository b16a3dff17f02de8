// One tracker frame in any keypoint layout -> the 21 hand landmarks, optionally in the hand frame.
//
// A frame holds one entry per tracker joint, in the layout's joint order: a position (x, y, z),
// or a pose, a 4x4 homogeneous transform of 16 values in row-major order (rotation in the top
// left 3x3, translation in the last column), as OpenXR and Vision Pro deliver joints. Only the
// joints that make landmarks are read; the others may hold anything.
//
// The hand frame (origin the wrist, x along the fingers, y towards the little finger, z out of
// the palm; see hand_frame.hpp) is computed from the landmarks, or, with poses, taken from the
// tracker's wrist orientation as the layout documents it (keypoint_layout.hpp). For a left hand
// the tracker's axes give the mirrored hand directly, as mirroring the landmarks would.
//
// The plan (which values make which landmark) is fixed at creation; converting a frame reads and
// writes only the caller's buffers and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "kova/hand_frame.hpp"
#include "kova/keypoint_layout.hpp"
#include "kova/result.hpp"

namespace kova {

enum class JointEncoding : std::uint8_t { Position, Pose };

constexpr std::size_t values_per_joint(JointEncoding encoding) {
  return encoding == JointEncoding::Pose ? 16 : 3;
}

// Where the hand frame of the converted landmarks comes from: none (the tracker's frame is kept),
// the palm landmarks, or the tracker's wrist orientation.
enum class HandFrameSource : std::uint8_t { None, Keypoints, Tracker };

// "none", "keypoints" or "tracker", exactly; otherwise a message listing them.
Result<HandFrameSource> hand_frame_source_from_str(std::string_view text);
std::string_view to_string(HandFrameSource source);

// Why a frame gave no landmarks. NonFinite and DegeneratePalm are what a tracker sends when it
// loses the hand (NaN, or every joint at zero); the other two are malformed data.
enum class FrameProblem : std::uint8_t { None, NonFinite, NotAPose, NotARotation, DegeneratePalm };

struct FrameCheck {
  FrameProblem problem = FrameProblem::None;
  std::size_t joint = 0;  // the tracker joint concerned (not for DegeneratePalm)

  explicit operator bool() const { return problem == FrameProblem::None; }
};

class KeypointConverter {
 public:
  // Refuses a tracker hand frame without poses, or for a layout without a wrist orientation.
  static Result<KeypointConverter> create(KeypointLayout layout, JointEncoding encoding,
                                          HandFrameSource hand_frame, HandSide side);

  const KeypointLayoutInfo& layout() const { return *info_; }
  JointEncoding encoding() const { return encoding_; }
  HandFrameSource hand_frame() const { return hand_frame_; }
  HandSide side() const { return side_; }
  // Values of one frame: joints x 3 or joints x 16.
  std::size_t frame_values() const { return info_->joint_count() * values_per_joint(encoding_); }

  // frame: frame_values() values; out: 21 x 3 values, landmark after landmark (InternalFault for
  // other lengths). On a problem `out` holds no complete result.
  FrameCheck convert(std::span<const double> frame, std::span<double> out) const;
  // Whole frames one after the other; the first problem is returned naming its frame.
  Status convert_frames(std::span<const double> frames, std::span<double> out) const;

  // "joint 4 (thumb_tip) is not a finite number", ...
  std::string describe(const FrameCheck& check) const;

 private:
  KeypointConverter(const KeypointLayoutInfo& info, JointEncoding encoding,
                    HandFrameSource hand_frame, HandSide side, const WristAxes* wrist);

  FrameCheck gather(std::span<const double> frame, std::span<double> out) const;
  FrameCheck to_tracker_frame(std::span<const double> frame, std::span<double> out) const;

  const KeypointLayoutInfo* info_;
  JointEncoding encoding_;
  HandFrameSource hand_frame_;
  HandSide side_;
  const WristAxes* wrist_;  // the axes for side_, with HandFrameSource::Tracker
};

}  // namespace kova
