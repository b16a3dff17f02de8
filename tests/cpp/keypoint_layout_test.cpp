// Tracker layouts converted to the 21 landmarks, checked on a hand whose joints are known: the
// parametric hand pinching with the index finger, in its own hand frame (so its hand frame is the
// identity), plus points for the joints only some trackers report (palm, finger metacarpals).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <Eigen/Geometry>

#include "kova/keypoint_converter.hpp"
#include "kova/keypoint_layout.hpp"

namespace kova {
namespace {

constexpr double kHand[21][3] = {{0.000000, 0.000000, 0.000000},  {0.028000, -0.026000, 0.010000},
                                 {0.064047, -0.036549, 0.034786}, {0.089361, -0.034920, 0.054293},
                                 {0.109192, -0.027434, 0.071017}, {0.082000, -0.024000, 0.000000},
                                 {0.113526, -0.027163, 0.024416}, {0.118332, -0.027645, 0.046903},
                                 {0.113378, -0.027148, 0.064201}, {0.086000, 0.000000, 0.000000},
                                 {0.128990, 0.000000, 0.013298},  {0.149641, 0.000000, 0.030692},
                                 {0.162181, 0.000000, 0.044967},  {0.079000, 0.020000, 0.000000},
                                 {0.116698, 0.023022, 0.018269},  {0.130701, 0.024145, 0.040147},
                                 {0.138437, 0.024765, 0.057489},  {0.069000, 0.038000, 0.000000},
                                 {0.095843, 0.042608, 0.018633},  {0.100589, 0.043422, 0.035977},
                                 {0.102608, 0.043769, 0.052853}};

// Anatomical points: the 21 landmarks by name, then the joints beyond them.
enum Point : int {
  Wrist,
  ThumbCmc,
  ThumbMcp,
  ThumbIp,
  ThumbTip,
  IndexMcp,
  IndexPip,
  IndexDip,
  IndexTip,
  MiddleMcp,
  MiddlePip,
  MiddleDip,
  MiddleTip,
  RingMcp,
  RingPip,
  RingDip,
  RingTip,
  LittleMcp,
  LittlePip,
  LittleDip,
  LittleTip,
  Palm,
  IndexBase,
  MiddleBase,
  RingBase,
  LittleBase
};

Eigen::Vector3d point(Point p) {
  if (p < Palm) return {kHand[p][0], kHand[p][1], kHand[p][2]};
  const double extra[5][3] = {{0.040, 0.004, -0.008},
                              {0.012, -0.010, 0.001},
                              {0.013, 0.001, 0.002},
                              {0.011, 0.009, 0.003},
                              {0.010, 0.017, 0.004}};
  const double* e = extra[p - Palm];
  return {e[0], e[1], e[2]};
}

// What each tracker joint is on the hand, written from the trackers' joint names.
std::vector<Point> anatomy(KeypointLayout layout) {
  const std::vector<Point> xr{Wrist,      ThumbCmc,  ThumbMcp,  ThumbIp,   ThumbTip,
                              IndexBase,  IndexMcp,  IndexPip,  IndexDip,  IndexTip,
                              MiddleBase, MiddleMcp, MiddlePip, MiddleDip, MiddleTip,
                              RingBase,   RingMcp,   RingPip,   RingDip,   RingTip,
                              LittleBase, LittleMcp, LittlePip, LittleDip, LittleTip};
  switch (layout) {
    case KeypointLayout::MediaPipe: {
      std::vector<Point> all;
      for (int p = Wrist; p <= LittleTip; ++p) all.push_back(static_cast<Point>(p));
      return all;
    }
    case KeypointLayout::OpenXr: {
      std::vector<Point> all{Palm};
      all.insert(all.end(), xr.begin(), xr.end());
      return all;
    }
    case KeypointLayout::WebXr:
    case KeypointLayout::VisionPro:
      return xr;
    case KeypointLayout::Mano:
      return {Wrist,     IndexMcp,  IndexPip,  IndexDip, MiddleMcp, MiddlePip, MiddleDip,
              LittleMcp, LittlePip, LittleDip, RingMcp,  RingPip,   RingDip,   ThumbCmc,
              ThumbMcp,  ThumbIp,   ThumbTip,  IndexTip, MiddleTip, RingTip,   LittleTip};
  }
  return {};
}

constexpr std::array kAll{KeypointLayout::MediaPipe, KeypointLayout::OpenXr, KeypointLayout::WebXr,
                          KeypointLayout::VisionPro, KeypointLayout::Mano};
constexpr std::array kWithWrist{KeypointLayout::OpenXr, KeypointLayout::WebXr,
                                KeypointLayout::VisionPro};

// The hand moved by `motion`, mirrored (y negated) first for a left hand.
Eigen::Vector3d placed(Point p, const Eigen::Isometry3d& motion, HandSide side) {
  Eigen::Vector3d v = point(p);
  if (side == HandSide::Left) v.y() = -v.y();
  return motion * v;
}

// The tracker's wrist axes as each tracker documents them, built from the hand's directions
// (fingers, back of the hand) in the tracker's space.
Eigen::Matrix3d wrist_rotation(KeypointLayout layout, HandSide side,
                               const Eigen::Isometry3d& motion) {
  const Eigen::Vector3d fingers = motion.linear() * Eigen::Vector3d::UnitX();
  const Eigen::Vector3d back = -(motion.linear() * Eigen::Vector3d::UnitZ());
  Eigen::Matrix3d r;
  if (layout == KeypointLayout::VisionPro) {
    const Eigen::Vector3d x = side == HandSide::Right ? fingers : Eigen::Vector3d(-fingers);
    r << x, back, x.cross(back);
  } else {  // -z towards the fingers, +y out of the back, x = y cross z
    const Eigen::Vector3d z = -fingers;
    r << back.cross(z), back, z;
  }
  return r;
}

struct Frame {
  std::vector<double> positions;
  std::vector<double> poses;
};

Frame tracker_frame(KeypointLayout layout, const Eigen::Isometry3d& motion,
                    HandSide side = HandSide::Right) {
  Frame frame;
  const std::vector<Point> joints = anatomy(layout);
  for (std::size_t j = 0; j < joints.size(); ++j) {
    const Eigen::Vector3d p = placed(joints[j], motion, side);
    frame.positions.insert(frame.positions.end(), {p.x(), p.y(), p.z()});
    // Each joint turned its own way; only the wrist's orientation has a meaning.
    Eigen::Matrix3d r =
        Eigen::AngleAxisd(0.3 * static_cast<double>(j), Eigen::Vector3d(1, 1, 0).normalized())
            .toRotationMatrix();
    if (joints[j] == Wrist && layout_info(layout).right_wrist) {
      r = wrist_rotation(layout, side, motion);
    }
    for (int row = 0; row < 3; ++row) {
      frame.poses.insert(frame.poses.end(), {r(row, 0), r(row, 1), r(row, 2), p[row]});
    }
    frame.poses.insert(frame.poses.end(), {0.0, 0.0, 0.0, 1.0});
  }
  return frame;
}

Eigen::Isometry3d some_motion() {
  Eigen::Isometry3d motion = Eigen::Isometry3d::Identity();
  motion.rotate(Eigen::AngleAxisd(2.1, Eigen::Vector3d(0.3, -1.0, 0.6).normalized()));
  motion.pretranslate(Eigen::Vector3d(0.31, 1.42, -0.57));
  return motion;
}

KeypointConverter converter(KeypointLayout layout, JointEncoding encoding,
                            HandFrameSource frame = HandFrameSource::None,
                            HandSide side = HandSide::Right) {
  auto made = KeypointConverter::create(layout, encoding, frame, side);
  EXPECT_TRUE(made) << made.error();
  return *made;
}

void expect_hand(std::span<const double> out, const Eigen::Isometry3d& motion, double tolerance,
                 const char* what) {
  for (int l = 0; l < 21; ++l) {
    const Eigen::Vector3d want = motion * point(static_cast<Point>(l));
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(out[3 * l + a], want[a], tolerance) << what << ": landmark " << l;
    }
  }
}

TEST(KeypointLayout, EveryLayoutGivesTheKnownLandmarksFromPositionsAndPoses) {
  const Eigen::Isometry3d motion = some_motion();
  for (const KeypointLayout layout : kAll) {
    SCOPED_TRACE(std::string(to_string(layout)));
    ASSERT_EQ(layout_info(layout).joint_count(), anatomy(layout).size());
    const Frame frame = tracker_frame(layout, motion);
    std::array<double, 63> out{};
    ASSERT_TRUE(converter(layout, JointEncoding::Position).convert(frame.positions, out));
    expect_hand(out, motion, 0.0, "positions");
    ASSERT_TRUE(converter(layout, JointEncoding::Pose).convert(frame.poses, out));
    expect_hand(out, motion, 0.0, "poses");
    // The hand frame from the palm landmarks undoes the motion.
    ASSERT_TRUE(converter(layout, JointEncoding::Pose, HandFrameSource::Keypoints)
                    .convert(frame.poses, out));
    expect_hand(out, Eigen::Isometry3d::Identity(), 1e-12, "keypoint hand frame");
  }
}

TEST(KeypointLayout, TrackerWristOrientationGivesTheHandFrameOfEitherHand) {
  const Eigen::Isometry3d motion = some_motion();
  for (const KeypointLayout layout : kWithWrist) {
    for (const HandSide side : {HandSide::Right, HandSide::Left}) {
      SCOPED_TRACE(std::string(to_string(layout)) + " " + std::string(to_string(side)));
      const Frame frame = tracker_frame(layout, motion, side);
      std::array<double, 63> out{};
      ASSERT_TRUE(converter(layout, JointEncoding::Pose, HandFrameSource::Tracker, side)
                      .convert(frame.poses, out));
      // A left hand comes out mirrored onto the right hand it is the image of.
      expect_hand(out, Eigen::Isometry3d::Identity(), 1e-12, "tracker hand frame");
      ASSERT_TRUE(converter(layout, JointEncoding::Pose, HandFrameSource::Keypoints, side)
                      .convert(frame.poses, out));
      expect_hand(out, Eigen::Isometry3d::Identity(), 1e-12, "keypoint hand frame");
    }
  }
}

TEST(KeypointLayout, DropoutsAndMalformedPosesAreNamed) {
  const KeypointConverter positions = converter(KeypointLayout::OpenXr, JointEncoding::Position);
  const KeypointConverter poses =
      converter(KeypointLayout::OpenXr, JointEncoding::Pose, HandFrameSource::Tracker);
  const Frame good = tracker_frame(KeypointLayout::OpenXr, some_motion());
  std::array<double, 63> out{};

  Frame frame = good;
  frame.positions[3 * 0] = std::numeric_limits<double>::quiet_NaN();  // the palm: read by nothing
  EXPECT_TRUE(positions.convert(frame.positions, out));
  frame.positions[3 * 5 + 2] = std::numeric_limits<double>::quiet_NaN();
  FrameCheck check = positions.convert(frame.positions, out);
  EXPECT_EQ(check.problem, FrameProblem::NonFinite);
  EXPECT_EQ(positions.describe(check), "joint 5 (thumb_tip) is not a finite number");

  frame = good;
  frame.poses[16 * 7 + 12] = frame.poses[16 * 7 + 3];  // sent column after column
  check = poses.convert(frame.poses, out);
  EXPECT_EQ(check.problem, FrameProblem::NotAPose);
  EXPECT_EQ(check.joint, 7u);

  frame = good;
  for (int i : {16, 17, 18}) frame.poses[i] *= 1.1;  // a scaled wrist
  check = poses.convert(frame.poses, out);
  EXPECT_EQ(check.problem, FrameProblem::NotARotation);
  EXPECT_EQ(check.joint, 1u);

  // A tracker that zeroes every joint when it loses the hand: no hand frame, but no landmarks
  // problem when none is asked for.
  const std::vector<double> zeros(26 * 3, 0.0);
  EXPECT_TRUE(positions.convert(zeros, out));
  EXPECT_EQ(converter(KeypointLayout::OpenXr, JointEncoding::Position, HandFrameSource::Keypoints)
                .convert(zeros, out)
                .problem,
            FrameProblem::DegeneratePalm);

  std::vector<double> two = good.positions;
  two.insert(two.end(), good.positions.begin(), good.positions.end());
  two[26 * 3 + 3 * 10] = std::numeric_limits<double>::infinity();
  std::vector<double> both(2 * 63);
  const Status status = positions.convert_frames(two, both);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error(), "frame 1: joint 10 (index_tip) is not a finite number");
  std::vector<double> none;
  EXPECT_FALSE(positions.convert_frames(std::vector<double>(80), none));
}

TEST(KeypointLayout, NamesAndImpossibleRequestsAreRefused) {
  for (const KeypointLayout layout : kAll) {
    const auto found = keypoint_layout_from_str(to_string(layout));
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, layout);
  }
  const auto unknown = keypoint_layout_from_str("OpenXR");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error(),
            "unknown keypoint layout 'OpenXR'; did you mean 'openxr'? Valid layouts: mediapipe, "
            "openxr, webxr, visionpro, mano.");

  EXPECT_FALSE(KeypointConverter::create(KeypointLayout::Mano, JointEncoding::Pose,
                                         HandFrameSource::Tracker, HandSide::Right));
  const auto positions = KeypointConverter::create(KeypointLayout::OpenXr, JointEncoding::Position,
                                                   HandFrameSource::Tracker, HandSide::Right);
  ASSERT_FALSE(positions);
  EXPECT_NE(positions.error().find("poses"), std::string::npos);
  EXPECT_FALSE(hand_frame_source_from_str("wrist"));
}

}  // namespace
}  // namespace kova
