// The hand frame: agreement with the NumPy implementation on the demo motion, and degenerate
// palms refused before anything is written.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <Eigen/LU>

#include "kova/hand_frame.hpp"
#include "test_data.hpp"

namespace {

using Frames = std::vector<double>;

// Sections "name count" followed by `count` lines of 63 values; '#' lines are comments.
std::map<std::string, Frames> read_fixture() {
  const auto path = kova::testing::test_data_dir() / "hand_frame" / "demo_motion_frames.txt";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("fixture missing: " + path.string());
  std::map<std::string, Frames> sections;
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    if (std::isalpha(static_cast<unsigned char>(line[0]))) {
      words >> current;
      continue;
    }
    for (std::string word; words >> word;) sections[current].push_back(std::stod(word));
  }
  return sections;
}

void expect_near_all(const Frames& actual, const Frames& expected, double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_NEAR(actual[i], expected[i], tolerance) << "value " << i;
  }
}

TEST(HandFrame, AgreesWithTheNumPyImplementationOnTheDemoMotion) {
  const auto fixture = read_fixture();
  const Frames& input = fixture.at("input");
  ASSERT_EQ(input.size(), 12u * 63u);
  for (const auto& [name, side] :
       {std::pair{"right", kova::HandSide::Right}, std::pair{"left", kova::HandSide::Left}}) {
    Frames out(input.size());
    ASSERT_TRUE(kova::to_hand_frame(input, side, out, true));
    expect_near_all(out, fixture.at(name), 1e-12);
    // In place, one frame at a time, gives the same.
    Frames in_place = input;
    for (std::size_t f = 0; f < 12; ++f) {
      std::span<double> frame(in_place.data() + 63 * f, 63);
      ASSERT_TRUE(kova::to_hand_frame(frame, side, frame, false));
    }
    EXPECT_EQ(in_place, out);
  }
}

TEST(HandFrame, RotationIsProperOrthonormalWithTheWristAsOrigin) {
  const Frames input = read_fixture().at("input");
  const auto frame = kova::hand_frame(std::span<const double>(input.data(), 63));
  ASSERT_TRUE(frame) << frame.error();
  const Eigen::Matrix3d& r = frame->rotation;
  EXPECT_TRUE((r.transpose() * r).isApprox(Eigen::Matrix3d::Identity(), 1e-12));
  EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
  EXPECT_EQ(frame->origin, Eigen::Vector3d(input[0], input[1], input[2]));
  // x points at the middle knuckle.
  const Eigen::Vector3d middle(input[27], input[28], input[29]);
  EXPECT_TRUE(r.col(0).isApprox((middle - frame->origin).normalized(), 1e-12));
}

TEST(HandFrame, DegeneratePalmsAreRefusedNamingTheFrameAndNothingIsWritten) {
  const Frames all = read_fixture().at("input");
  const Frames input(all.begin(), all.begin() + 4 * 63);
  Frames collapsed = input;  // frame 2: middle knuckle on the wrist
  for (int a = 0; a < 3; ++a) collapsed[2 * 63 + 27 + a] = collapsed[2 * 63 + a];
  Frames flat = input;  // frame 1: knuckles 5 and 17 on the wrist-middle line
  for (int a = 0; a < 3; ++a) {
    const double wrist = flat[63 + a];
    const double middle = flat[63 + 27 + a];
    flat[63 + 15 + a] = wrist + 0.5 * (middle - wrist);
    flat[63 + 51 + a] = wrist + 1.5 * (middle - wrist);
  }
  Frames out(input.size(), 7.0);
  auto done = kova::to_hand_frame(collapsed, kova::HandSide::Right, out, true);
  EXPECT_EQ(done.error(),
            "the wrist and the middle-finger knuckle coincide in frame 2; no hand frame");
  done = kova::to_hand_frame(flat, kova::HandSide::Right, out, true);
  EXPECT_EQ(done.error(),
            "the index and little-finger knuckles lie on the wrist-middle knuckle line in "
            "frame 1; no hand frame");
  EXPECT_EQ(out, Frames(input.size(), 7.0));

  // Coincidence anywhere is reported before earlier collinear knuckles.
  Frames both = flat;
  for (int a = 0; a < 3; ++a) both[3 * 63 + 27 + a] = both[3 * 63 + a];
  EXPECT_NE(kova::to_hand_frame(both, kova::HandSide::Left, out, true).error().find("frame 3"),
            std::string::npos);

  Frames not_finite(input.begin(), input.begin() + 63);
  not_finite[27] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(kova::hand_frame(not_finite).error(),
            "the wrist and the middle-finger knuckle coincide; no hand frame");
}

TEST(HandFrame, AMirroredRightHandIsALeftHand) {
  const Frames input = read_fixture().at("input");
  Frames left = input;
  ASSERT_TRUE(kova::mirror(left, kova::MirrorAxis::X));
  EXPECT_EQ(left[0], -input[0]);
  EXPECT_EQ(left[1], input[1]);
  Frames right_frame(input.size());
  Frames left_frame(input.size());
  ASSERT_TRUE(kova::to_hand_frame(input, kova::HandSide::Right, right_frame, true));
  ASSERT_TRUE(kova::to_hand_frame(left, kova::HandSide::Left, left_frame, true));
  expect_near_all(left_frame, right_frame, 1e-12);
  EXPECT_FALSE(kova::mirror(std::span(left).first(4), kova::MirrorAxis::Z));
  EXPECT_EQ(kova::mirror_axis_from_str("w").error(), "axis must be 'x', 'y' or 'z', got 'w'");
}

TEST(HandFrame, SizesAndSidesAreChecked) {
  const Frames input(63 * 2, 0.0);
  Frames out(63);
  EXPECT_FALSE(kova::to_hand_frame(input, kova::HandSide::Right, out, true));
  EXPECT_FALSE(kova::to_hand_frame(std::span<const double>(input.data(), 62), kova::HandSide::Right,
                                   std::span<double>(out.data(), 62), true));
  Frames rotations(9);
  Frames origins(3);
  EXPECT_FALSE(kova::hand_frames(input, rotations, origins, true));
  EXPECT_EQ(kova::hand_side_from_str("left"), kova::HandSide::Left);
  EXPECT_EQ(kova::hand_side_from_str("both").error(), "side must be 'right' or 'left', got 'both'");
}

}  // namespace
