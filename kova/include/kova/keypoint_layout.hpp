// The joint orders hand trackers report, and where each of the 21 hand landmarks is among them.
//
// Every layout is converted to the 21 landmarks kova retargets (0 wrist; 1-4 thumb CMC, MCP, IP,
// tip; 5-8 index MCP, PIP, DIP, tip; 9-12 middle; 13-16 ring; 17-20 little finger). Joints a
// layout has beyond those (the OpenXR palm, the metacarpals of the four fingers) are read by
// nothing. Tracker joint orders:
//
// - mediapipe (21): the landmarks themselves (MediaPipe's hand landmarker order).
// - openxr (26): palm, wrist, then each finger from the thumb to the little finger, from its root:
//   metacarpal, proximal, intermediate, distal, tip; the thumb has no intermediate. The thumb's
//   metacarpal, proximal and distal joints are its CMC, MCP and IP; a finger's proximal,
//   intermediate and distal joints are its MCP, PIP and DIP.
// - webxr (25): openxr without the palm (WebXR's hand joint order).
// - visionpro (25): the same order as webxr: the wrist and 24 finger joints, as Vision Pro apps
//   stream them (the forearm joints are not part of the layout).
// - mano (21): the 16 MANO joints, wrist, then index, middle, little, ring, thumb with three joints
//   each from the root (index MCP, PIP, DIP; thumb CMC, MCP, IP), then the five fingertips in the
//   order thumb, index, middle, ring, little.
//
// Wrist orientation. A tracker that delivers joint poses also tells how the hand is turned; the
// layouts of such trackers record which axis of the wrist pose points along each axis of kova's
// hand frame (x along the fingers, y towards the little finger, z out of the palm):
// - openxr and webxr: the wrist's -z points from the wrist towards the fingers and +y out of the
//   back of the hand, for either hand; +x is y cross z, towards the little finger on a right hand
//   and towards the thumb on a left hand.
// - visionpro: the right hand's +x points from the wrist towards the fingers, the left hand's -x;
//   on both hands +y points out of the back of the hand and +z towards the little finger.
//   (Assumed from the mirrored skeleton of the left hand; check against your device with a flat
//   hand before relying on the tracker's orientation.)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kova/result.hpp"

namespace kova {

enum class KeypointLayout : std::uint8_t { MediaPipe, OpenXr, WebXr, VisionPro, Mano };

inline constexpr std::size_t kLayoutLandmarks = 21;

// One axis of a pose, with the sign that makes it point the way wanted.
struct SignedAxis {
  std::uint8_t axis = 0;  // 0 x, 1 y, 2 z: a column of the pose's rotation
  std::int8_t sign = 1;   // +1 or -1
};

// The wrist pose's axes that point along the hand frame's x (fingers), y (little finger) and z
// (out of the palm) axes.
struct WristAxes {
  SignedAxis fingers;
  SignedAxis little;
  SignedAxis palm;
};

struct KeypointLayoutInfo {
  KeypointLayout layout;
  std::string_view name;
  // The tracker's joint names, in the order it reports them.
  std::span<const std::string_view> joint_names;
  // Landmark i is the tracker's joint landmark_joint[i].
  std::array<std::uint8_t, kLayoutLandmarks> landmark_joint;
  // For trackers that deliver an orientation with the wrist: per side.
  std::optional<WristAxes> right_wrist;
  std::optional<WristAxes> left_wrist;

  std::size_t joint_count() const { return joint_names.size(); }
  std::size_t wrist_joint() const { return landmark_joint[0]; }
};

// Every layout, in the order of KeypointLayout.
std::span<const KeypointLayoutInfo> keypoint_layouts();
const KeypointLayoutInfo& layout_info(KeypointLayout layout);
std::string_view to_string(KeypointLayout layout);

// By name, exactly; otherwise a message naming the closest layout and every valid name.
Result<KeypointLayout> keypoint_layout_from_str(std::string_view name);

}  // namespace kova
