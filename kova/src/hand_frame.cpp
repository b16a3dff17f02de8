#include "kova/hand_frame.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "kova/hand_landmarks.hpp"

namespace kova {
namespace {

// Below this the palm gives no direction.
constexpr double kMinAxisLength = 1e-9;

enum class Palm : std::uint8_t { Ok, Coincide, Collinear };

struct Axes {
  double x[3];
  double y[3];
  double z[3];
  double origin[3];
};

// Landmark `index` of a frame, with y negated for a mirrored (left) hand.
void landmark(const double* frame, std::size_t index, double y_sign, double* out) {
  out[0] = frame[3 * index];
  out[1] = y_sign * frame[3 * index + 1];
  out[2] = frame[3 * index + 2];
}

double norm(const double* v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// False for NaN as well.
bool long_enough(double length) {
  return std::isfinite(length) && length >= kMinAxisLength;
}

Palm palm_axes(const double* frame, double y_sign, Axes& axes) {
  double middle[3];
  double index[3];
  double little[3];
  landmark(frame, kWristLandmark, y_sign, axes.origin);
  landmark(frame, kMiddleKnuckleLandmark, y_sign, middle);
  landmark(frame, kIndexKnuckleLandmark, y_sign, index);
  landmark(frame, kLittleKnuckleLandmark, y_sign, little);

  double* x = axes.x;
  for (int a = 0; a < 3; ++a) x[a] = middle[a] - axes.origin[a];
  const double x_length = norm(x);
  if (!long_enough(x_length)) return Palm::Coincide;
  for (int a = 0; a < 3; ++a) x[a] = x[a] / x_length;

  double across[3];
  for (int a = 0; a < 3; ++a) across[a] = little[a] - index[a];
  const double along = across[0] * x[0] + across[1] * x[1] + across[2] * x[2];
  double* y = axes.y;
  for (int a = 0; a < 3; ++a) y[a] = across[a] - along * x[a];
  const double y_length = norm(y);
  if (!long_enough(y_length)) return Palm::Collinear;
  for (int a = 0; a < 3; ++a) y[a] = y[a] / y_length;

  double* z = axes.z;
  z[0] = x[1] * y[2] - x[2] * y[1];
  z[1] = x[2] * y[0] - x[0] * y[2];
  z[2] = x[0] * y[1] - x[1] * y[0];
  return Palm::Ok;
}

Status frame_count(std::span<const double> keypoints, std::size_t& frames) {
  if (keypoints.size() % kKeypointFrameValues != 0) {
    return fail("keypoints hold " + std::to_string(keypoints.size()) +
                " values, not a whole number of frames of 21 landmarks x 3");
  }
  frames = keypoints.size() / kKeypointFrameValues;
  return {};
}

// Every frame's palm, checked before anything is written. As a recording is checked axis by
// axis, a coincident wrist and middle knuckle anywhere is reported before collinear knuckles.
Status check_palms(std::span<const double> keypoints, std::size_t frames, double y_sign,
                   bool in_sequence) {
  std::optional<std::size_t> coincide;
  std::optional<std::size_t> collinear;
  for (std::size_t f = 0; f < frames && !coincide; ++f) {
    Axes axes;
    const Palm palm = palm_axes(keypoints.data() + f * kKeypointFrameValues, y_sign, axes);
    if (palm == Palm::Coincide) coincide = f;
    if (palm == Palm::Collinear && !collinear) collinear = f;
  }
  const auto where = [&](std::size_t frame) {
    return in_sequence ? " in frame " + std::to_string(frame) : std::string();
  };
  if (coincide) {
    return fail("the wrist and the middle-finger knuckle coincide" + where(*coincide) +
                "; no hand frame");
  }
  if (collinear) {
    return fail("the index and little-finger knuckles lie on the wrist-middle knuckle line" +
                where(*collinear) + "; no hand frame");
  }
  return {};
}

}  // namespace

Result<HandSide> hand_side_from_str(std::string_view text) {
  if (text == "right") return HandSide::Right;
  if (text == "left") return HandSide::Left;
  return fail("side must be 'right' or 'left', got '" + std::string(text) + "'");
}

std::string_view to_string(HandSide side) {
  return side == HandSide::Left ? "left" : "right";
}

Result<MirrorAxis> mirror_axis_from_str(std::string_view text) {
  if (text == "x") return MirrorAxis::X;
  if (text == "y") return MirrorAxis::Y;
  if (text == "z") return MirrorAxis::Z;
  return fail("axis must be 'x', 'y' or 'z', got '" + std::string(text) + "'");
}

Status mirror(std::span<double> points, MirrorAxis axis) {
  if (points.size() % 3 != 0) {
    return fail("points hold " + std::to_string(points.size()) +
                " values, not a whole number of (x, y, z)");
  }
  for (std::size_t i = static_cast<std::size_t>(axis); i < points.size(); i += 3) {
    points[i] = -points[i];
  }
  return {};
}

Result<HandFrame> hand_frame(std::span<const double> keypoints) {
  HandFrame frame;
  double rotation[9];
  if (keypoints.size() != kKeypointFrameValues) {
    return fail("keypoints hold " + std::to_string(keypoints.size()) +
                " values; one frame is 21 landmarks x 3");
  }
  if (Status done =
          hand_frames(keypoints, rotation, std::span<double>(frame.origin.data(), 3), false);
      !done) {
    return fail(done.error());
  }
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) frame.rotation(r, c) = rotation[3 * r + c];
  }
  return frame;
}

Status hand_frames(std::span<const double> keypoints, std::span<double> rotations,
                   std::span<double> origins, bool in_sequence) {
  std::size_t frames = 0;
  if (Status counted = frame_count(keypoints, frames); !counted) return counted;
  if (rotations.size() != 9 * frames || origins.size() != 3 * frames) {
    return fail("hand frames of " + std::to_string(frames) + " frames need " +
                std::to_string(9 * frames) + " rotation and " + std::to_string(3 * frames) +
                " origin values, got " + std::to_string(rotations.size()) + " and " +
                std::to_string(origins.size()));
  }
  if (Status palms = check_palms(keypoints, frames, 1.0, in_sequence); !palms) return palms;
  for (std::size_t f = 0; f < frames; ++f) {
    Axes axes;
    palm_axes(keypoints.data() + f * kKeypointFrameValues, 1.0, axes);
    const double* columns[3] = {axes.x, axes.y, axes.z};
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 3; ++c) rotations[9 * f + 3 * r + c] = columns[c][r];
      origins[3 * f + r] = axes.origin[r];
    }
  }
  return {};
}

Status to_hand_frame(std::span<const double> keypoints, HandSide side, std::span<double> out,
                     bool in_sequence) {
  std::size_t frames = 0;
  if (Status counted = frame_count(keypoints, frames); !counted) return counted;
  if (out.size() != keypoints.size()) {
    return fail("the output holds " + std::to_string(out.size()) + " values; the keypoints " +
                std::to_string(keypoints.size()));
  }
  const double y_sign = side == HandSide::Left ? -1.0 : 1.0;
  if (Status palms = check_palms(keypoints, frames, y_sign, in_sequence); !palms) return palms;
  for (std::size_t f = 0; f < frames; ++f) {
    const double* frame = keypoints.data() + f * kKeypointFrameValues;
    double* result = out.data() + f * kKeypointFrameValues;
    Axes axes;
    palm_axes(frame, y_sign, axes);
    for (std::size_t k = 0; k < kHandLandmarkCount; ++k) {
      double p[3];
      landmark(frame, k, y_sign, p);
      const double d[3] = {p[0] - axes.origin[0], p[1] - axes.origin[1], p[2] - axes.origin[2]};
      result[3 * k] = axes.x[0] * d[0] + axes.x[1] * d[1] + axes.x[2] * d[2];
      result[3 * k + 1] = axes.y[0] * d[0] + axes.y[1] * d[1] + axes.y[2] * d[2];
      result[3 * k + 2] = axes.z[0] * d[0] + axes.z[1] * d[1] + axes.z[2] * d[2];
    }
  }
  return {};
}

}  // namespace kova
