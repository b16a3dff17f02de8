#include "kova/keypoint_layout.hpp"

#include <string>
#include <vector>

#include "kova/closest_match.hpp"

namespace kova {
namespace {

using namespace std::string_view_literals;

constexpr std::array kMediaPipeJoints{"wrist"sv,
                                      "thumb_cmc"sv,
                                      "thumb_mcp"sv,
                                      "thumb_ip"sv,
                                      "thumb_tip"sv,
                                      "index_finger_mcp"sv,
                                      "index_finger_pip"sv,
                                      "index_finger_dip"sv,
                                      "index_finger_tip"sv,
                                      "middle_finger_mcp"sv,
                                      "middle_finger_pip"sv,
                                      "middle_finger_dip"sv,
                                      "middle_finger_tip"sv,
                                      "ring_finger_mcp"sv,
                                      "ring_finger_pip"sv,
                                      "ring_finger_dip"sv,
                                      "ring_finger_tip"sv,
                                      "pinky_mcp"sv,
                                      "pinky_pip"sv,
                                      "pinky_dip"sv,
                                      "pinky_tip"sv};

constexpr std::array kOpenXrJoints{"palm"sv,
                                   "wrist"sv,
                                   "thumb_metacarpal"sv,
                                   "thumb_proximal"sv,
                                   "thumb_distal"sv,
                                   "thumb_tip"sv,
                                   "index_metacarpal"sv,
                                   "index_proximal"sv,
                                   "index_intermediate"sv,
                                   "index_distal"sv,
                                   "index_tip"sv,
                                   "middle_metacarpal"sv,
                                   "middle_proximal"sv,
                                   "middle_intermediate"sv,
                                   "middle_distal"sv,
                                   "middle_tip"sv,
                                   "ring_metacarpal"sv,
                                   "ring_proximal"sv,
                                   "ring_intermediate"sv,
                                   "ring_distal"sv,
                                   "ring_tip"sv,
                                   "little_metacarpal"sv,
                                   "little_proximal"sv,
                                   "little_intermediate"sv,
                                   "little_distal"sv,
                                   "little_tip"sv};

constexpr std::array kWebXrJoints{"wrist"sv,
                                  "thumb-metacarpal"sv,
                                  "thumb-phalanx-proximal"sv,
                                  "thumb-phalanx-distal"sv,
                                  "thumb-tip"sv,
                                  "index-finger-metacarpal"sv,
                                  "index-finger-phalanx-proximal"sv,
                                  "index-finger-phalanx-intermediate"sv,
                                  "index-finger-phalanx-distal"sv,
                                  "index-finger-tip"sv,
                                  "middle-finger-metacarpal"sv,
                                  "middle-finger-phalanx-proximal"sv,
                                  "middle-finger-phalanx-intermediate"sv,
                                  "middle-finger-phalanx-distal"sv,
                                  "middle-finger-tip"sv,
                                  "ring-finger-metacarpal"sv,
                                  "ring-finger-phalanx-proximal"sv,
                                  "ring-finger-phalanx-intermediate"sv,
                                  "ring-finger-phalanx-distal"sv,
                                  "ring-finger-tip"sv,
                                  "pinky-finger-metacarpal"sv,
                                  "pinky-finger-phalanx-proximal"sv,
                                  "pinky-finger-phalanx-intermediate"sv,
                                  "pinky-finger-phalanx-distal"sv,
                                  "pinky-finger-tip"sv};

constexpr std::array kVisionProJoints{"wrist"sv,
                                      "thumbKnuckle"sv,
                                      "thumbIntermediateBase"sv,
                                      "thumbIntermediateTip"sv,
                                      "thumbTip"sv,
                                      "indexFingerMetacarpal"sv,
                                      "indexFingerKnuckle"sv,
                                      "indexFingerIntermediateBase"sv,
                                      "indexFingerIntermediateTip"sv,
                                      "indexFingerTip"sv,
                                      "middleFingerMetacarpal"sv,
                                      "middleFingerKnuckle"sv,
                                      "middleFingerIntermediateBase"sv,
                                      "middleFingerIntermediateTip"sv,
                                      "middleFingerTip"sv,
                                      "ringFingerMetacarpal"sv,
                                      "ringFingerKnuckle"sv,
                                      "ringFingerIntermediateBase"sv,
                                      "ringFingerIntermediateTip"sv,
                                      "ringFingerTip"sv,
                                      "littleFingerMetacarpal"sv,
                                      "littleFingerKnuckle"sv,
                                      "littleFingerIntermediateBase"sv,
                                      "littleFingerIntermediateTip"sv,
                                      "littleFingerTip"sv};

constexpr std::array kManoJoints{
    "wrist"sv,      "index1"sv,   "index2"sv,   "index3"sv, "middle1"sv,   "middle2"sv,
    "middle3"sv,    "pinky1"sv,   "pinky2"sv,   "pinky3"sv, "ring1"sv,     "ring2"sv,
    "ring3"sv,      "thumb1"sv,   "thumb2"sv,   "thumb3"sv, "thumb_tip"sv, "index_tip"sv,
    "middle_tip"sv, "ring_tip"sv, "pinky_tip"sv};

constexpr SignedAxis kPlusX{0, 1}, kMinusX{0, -1}, kMinusY{1, -1}, kPlusZ{2, 1}, kMinusZ{2, -1};

// OpenXR and WebXR: -z towards the fingers, +y out of the back of the hand, x = y cross z.
constexpr WristAxes kXrRight{kMinusZ, kPlusX, kMinusY};
constexpr WristAxes kXrLeft{kMinusZ, kMinusX, kMinusY};
// Vision Pro: x along the bones (towards the fingers on the right hand, towards the wrist on the
// left), +y out of the back of the hand, +z towards the little finger.
constexpr WristAxes kVisionProRight{kPlusX, kPlusZ, kMinusY};
constexpr WristAxes kVisionProLeft{kMinusX, kPlusZ, kMinusY};

const std::array<KeypointLayoutInfo, 5> kLayouts{{
    {KeypointLayout::MediaPipe,
     "mediapipe",
     kMediaPipeJoints,
     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20},
     std::nullopt,
     std::nullopt},
    {KeypointLayout::OpenXr,
     "openxr",
     kOpenXrJoints,
     {1, 2, 3, 4, 5, 7, 8, 9, 10, 12, 13, 14, 15, 17, 18, 19, 20, 22, 23, 24, 25},
     kXrRight,
     kXrLeft},
    {KeypointLayout::WebXr,
     "webxr",
     kWebXrJoints,
     {0, 1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, 16, 17, 18, 19, 21, 22, 23, 24},
     kXrRight,
     kXrLeft},
    {KeypointLayout::VisionPro,
     "visionpro",
     kVisionProJoints,
     {0, 1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, 16, 17, 18, 19, 21, 22, 23, 24},
     kVisionProRight,
     kVisionProLeft},
    {KeypointLayout::Mano,
     "mano",
     kManoJoints,
     {0, 13, 14, 15, 16, 1, 2, 3, 17, 4, 5, 6, 18, 10, 11, 12, 19, 7, 8, 9, 20},
     std::nullopt,
     std::nullopt},
}};

}  // namespace

std::span<const KeypointLayoutInfo> keypoint_layouts() {
  return kLayouts;
}

const KeypointLayoutInfo& layout_info(KeypointLayout layout) {
  return kLayouts[static_cast<std::size_t>(layout)];
}

std::string_view to_string(KeypointLayout layout) {
  return layout_info(layout).name;
}

Result<KeypointLayout> keypoint_layout_from_str(std::string_view name) {
  std::vector<std::string> names;
  for (const KeypointLayoutInfo& info : kLayouts) {
    if (info.name == name) return info.layout;
    names.emplace_back(info.name);
  }
  const std::optional<std::string> closest = closest_match(name, names);
  return fail("unknown keypoint layout '" + std::string(name) + "'" +
              (closest ? "; did you mean '" + *closest + "'?" : ".") +
              " Valid layouts: " + join_names(names) + ".");
}

}  // namespace kova
