// Keypoints in the hand's own frame, and mirroring a left hand onto a right-hand model.
//
// Trackers report the 21 landmarks in their own frame; retargeting compares them with robot link
// positions in the robot hand's base frame, so both must be in the same hand-attached frame:
// - origin: the wrist (landmark 0);
// - x: from the wrist towards the middle-finger knuckle (landmark 9), along the fingers;
// - y: in the palm plane, perpendicular to x, towards the little finger (the part of the
//   index-knuckle to little-knuckle vector, landmarks 5 to 17, orthogonal to x);
// - z: x cross y, the palm normal, out of the palm, the side the fingers curl to.
// For a right hand this frame is right-handed. A left hand is the mirror image of a right hand:
// reflecting it across the x-z plane (y negated) first turns it into a right hand.
//
// The functions below take whole frames of 21 landmarks x 3 values. With `in_sequence` set, an
// error names the first frame it concerns (" in frame 3"), as for a recording.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include <Eigen/Core>

#include "kova/result.hpp"

namespace kova {

enum class HandSide : std::uint8_t { Right, Left };

// "right" or "left", exactly; otherwise "side must be 'right' or 'left', got '...'".
Result<HandSide> hand_side_from_str(std::string_view text);
std::string_view to_string(HandSide side);

enum class MirrorAxis : std::uint8_t { X, Y, Z };

// "x", "y" or "z"; otherwise "axis must be 'x', 'y' or 'z', got '...'".
Result<MirrorAxis> mirror_axis_from_str(std::string_view text);

// Reflects points (x, y, z each, any number of them) across the plane normal to `axis`, in
// place: any reflection turns a left hand into a right hand; across the x-z plane (Y) a hand
// already in the hand frame keeps its fingers and palm pointing the same way.
Status mirror(std::span<double> points, MirrorAxis axis);

struct HandFrame {
  Eigen::Matrix3d rotation;  // columns: the hand's x, y and z axes in the keypoints' frame
  Eigen::Vector3d origin;    // the wrist
};

// A palm is degenerate when the wrist and the middle knuckle coincide (closer than 1e-9 m) or
// the index and little knuckles lie on their line; non-finite palm landmarks count as such.
Result<HandFrame> hand_frame(std::span<const double> keypoints);

// Hand frames of whole frames: `rotations` gets 9 values per frame (row-major, so that the
// columns are the axes), `origins` 3. Allocates nothing.
Status hand_frames(std::span<const double> keypoints, std::span<double> rotations,
                   std::span<double> origins, bool in_sequence);

// Every landmark of every frame in that frame's own hand frame: p_hand = R^T (p - wrist).
// HandSide::Left mirrors each frame (y negated) first. `out` has the size of `keypoints` and may
// be the same buffer. On an error `out` holds no complete result. Allocates nothing.
Status to_hand_frame(std::span<const double> keypoints, HandSide side, std::span<double> out,
                     bool in_sequence);

}  // namespace kova
