// The human hand as every motion describes it: 21 landmarks of (x, y, z), in metres.
//
//   0 wrist; 1-4 thumb CMC, MCP, IP, tip; 5-8 index MCP, PIP, DIP, tip; 9-12 middle;
//   13-16 ring; 17-20 little finger (each finger from its knuckle to its tip).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kova {

inline constexpr std::size_t kHandLandmarkCount = 21;
// Values of one frame of keypoints.
inline constexpr std::size_t kKeypointFrameValues = 3 * kHandLandmarkCount;

inline constexpr std::size_t kWristLandmark = 0;
inline constexpr std::size_t kIndexKnuckleLandmark = 5;
inline constexpr std::size_t kMiddleKnuckleLandmark = 9;
inline constexpr std::size_t kLittleKnuckleLandmark = 17;

enum class Finger : std::uint8_t { Thumb, Index, Middle, Ring, Little };

// Thumb to little finger, the order of the landmarks.
inline constexpr std::array<Finger, 5> kFingers{Finger::Thumb, Finger::Index, Finger::Middle,
                                                Finger::Ring, Finger::Little};

// 4, 8, 12, 16, 20.
constexpr std::size_t fingertip_landmark(Finger finger) {
  return 4 * (static_cast<std::size_t>(finger) + 1);
}

// The finger a landmark lies on (1-4 thumb, 5-8 index, ...); none for the wrist and beyond 20.
constexpr std::optional<Finger> finger_of_landmark(std::size_t landmark) {
  if (landmark == kWristLandmark || landmark >= kHandLandmarkCount) return std::nullopt;
  return static_cast<Finger>((landmark - 1) / 4);
}

// "thumb", "index", "middle", "ring", "little".
std::string_view to_string(Finger finger);

}  // namespace kova
