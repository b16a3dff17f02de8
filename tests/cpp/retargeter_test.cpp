#include "kova/retargeter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kova/hand_landmarks.hpp"
#include "kova/reference_map.hpp"
#include "test_data.hpp"

namespace {

using kova::RetargetingConfig;
using kova::RetargetingType;

const std::vector<std::string> kTips = {"link_3.0_tip", "link_7.0_tip", "link_11.0_tip",
                                        "link_15.0_tip"};

// DexPilot on the Allegro hand with the filter on and pinch distances wide enough that the
// random frames below switch projections on and off.
RetargetingConfig dexpilot_config() {
  RetargetingConfig config;
  config.type = RetargetingType::DexPilot;
  config.urdf_path = kova::testing::test_robot("allegro/allegro_hand_description_right.urdf");
  config.wrist_link_name = "base_link";
  config.finger_tip_link_names = kTips;
  config.low_pass_alpha = 0.5;
  config.project_dist = 0.06;
  config.escape_dist = 0.08;
  return config;
}

kova::Retargeter make(RetargetingConfig config = dexpilot_config()) {
  auto made = kova::Retargeter::create(std::move(config));
  if (!made) throw std::runtime_error(made.error());
  return std::move(*made);
}

std::vector<double> random_rows(std::size_t frames, std::size_t rows, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> value(-0.09, 0.09);
  std::vector<double> out(frames * rows * 3);
  for (double& v : out) v = value(engine);
  return out;
}

std::vector<double> run(kova::Retargeter& r, std::size_t frames, const std::vector<double>& rows) {
  std::vector<double> out(frames * r.dof());
  const kova::Status done = r.retarget_sequence(frames, rows, {}, out);
  EXPECT_TRUE(done) << done.error();
  return out;
}

TEST(Retargeter, SequenceEqualsTheSequencerDrivenFrameByFrame) {
  kova::Retargeter r = make();
  ASSERT_EQ(r.row_count(), 10u);  // 6 fingertip pairs, then 4 wrist vectors
  const std::size_t frames = 12;
  const std::vector<double> rows = random_rows(frames, r.row_count(), 1);
  const std::vector<double> together = run(r, frames, rows);

  auto seq = dexpilot_config().build();
  ASSERT_TRUE(seq);
  kova::Retargeter single = make();
  std::vector<double> q(single.dof());
  for (std::size_t f = 0; f < frames; ++f) {
    const std::span<const double> frame(rows.data() + f * 30, 30);
    const std::vector<double> expected = seq->retarget(frame, {});
    ASSERT_TRUE(single.retarget(frame, {}, q));
    EXPECT_EQ(q, expected) << "frame " << f;
    EXPECT_EQ(
        std::vector<double>(together.begin() + f * r.dof(), together.begin() + (f + 1) * r.dof()),
        expected)
        << "frame " << f;
  }
}

TEST(Retargeter, RestartForgetsWarmStartFilterAndPinchState) {
  const std::size_t frames = 8;
  kova::Retargeter r = make();
  std::vector<double> rows = random_rows(frames, r.row_count(), 2);
  // The first fingertip pair: between the pinch distances (0.06, 0.08) except in frame 1, where
  // it pinches. A sequence that kept its pinch state would start frame 0 pinched.
  for (std::size_t f = 0; f < frames; ++f) {
    double* pair = rows.data() + f * 30;
    const double length = std::sqrt(pair[0] * pair[0] + pair[1] * pair[1] + pair[2] * pair[2]);
    const double wanted = f == 1 ? 0.01 : 0.07;
    for (int a = 0; a < 3; ++a) pair[a] *= wanted / length;
  }
  const std::vector<double> first = run(r, frames, rows);
  r.restart();
  EXPECT_EQ(run(r, frames, rows), first);

  // The sequencer's reset() keeps the filter and the pinch state, so its rerun differs.
  auto seq = dexpilot_config().build();
  ASSERT_TRUE(seq);
  const auto rerun = [&] {
    std::vector<double> out;
    for (std::size_t f = 0; f < frames; ++f) {
      const std::vector<double> q = seq->retarget({rows.data() + f * 30, 30}, {});
      out.insert(out.end(), q.begin(), q.end());
    }
    return out;
  };
  EXPECT_EQ(rerun(), first);
  seq->reset();
  EXPECT_NE(rerun(), first);
  seq->restart();
  EXPECT_EQ(rerun(), first);
}

TEST(Retargeter, RefusesWrongInputsBeforeAnythingChanges) {
  kova::Retargeter r = make();
  const std::vector<double> rows = random_rows(2, r.row_count(), 3);
  std::vector<double> out(2 * r.dof());
  const std::span<const double> one(rows.data(), 30);

  auto refused = r.retarget(std::span<const double>(rows.data(), 29), {},
                            std::span<double>(out).subspan(0, 16));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            "expected 1 frame(s) of 10 reference rows (3 values each, 30 values), got 29 values");
  const std::vector<double> fixed(3, 0.0);
  refused = r.retarget(one, fixed, std::span<double>(out).subspan(0, 16));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            "fixed_qpos must hold 0 values (one per fixed joint) for every frame, got 3 values");
  std::vector<double> bad = rows;
  bad[2 * 30 - 1] = std::numeric_limits<double>::quiet_NaN();
  refused = r.retarget_sequence(2, bad, {}, out);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "reference row 9 of frame 1 is not finite");
  refused = r.retarget_sequence(2, rows, {}, std::span<double>(out).subspan(1));
  ASSERT_FALSE(refused);

  // Nothing was solved: the first frame is still a fresh sequence's first frame.
  kova::Retargeter fresh = make();
  EXPECT_EQ(run(r, 2, rows), run(fresh, 2, rows));
  EXPECT_TRUE(r.retarget_sequence(0, {}, {}, {}));
}

}  // namespace

namespace {

TEST(Retargeter, LinkPositionsFollowMimicJointsLikeTheOptimiser) {
  RetargetingConfig config;
  config.type = RetargetingType::Position;
  config.urdf_path = kova::testing::test_robot("inspire/DFQ_right_hand.urdf");
  config.target_link_names = {"R_thumb_distal", "R_index_intermediate"};
  config.target_link_human_indices = {{4, 8}};
  kova::Retargeter r = make(RetargetingConfig(config));
  const std::vector<std::string> names = {"R_index_intermediate", "R_thumb_distal",
                                          "R_hand_base_link"};
  const auto links = r.link_indices(names);
  ASSERT_TRUE(links) << links.error();
  EXPECT_EQ(r.link_indices(std::vector<std::string>{"R_thumb_distall"}).error(),
            "Link R_thumb_distall not found");

  const std::vector<double> qpos = random_rows(2, r.dof(), 4);  // 2 x dof values, any range
  std::vector<double> out(2 * 3 * 3);
  ASSERT_TRUE(r.link_positions(2, std::span(qpos).first(2 * r.dof()), *links, out));
  auto seq = std::move(config).build();
  ASSERT_TRUE(seq);
  for (std::size_t f = 0; f < 2; ++f) {
    const auto expected =
        seq->optimizer().link_positions({qpos.data() + f * r.dof(), r.dof()}, names);
    ASSERT_TRUE(expected);
    for (std::size_t k = 0; k < 3; ++k) {
      for (std::size_t a = 0; a < 3; ++a) EXPECT_EQ(out[(f * 3 + k) * 3 + a], (*expected)[k][a]);
    }
  }
  EXPECT_FALSE(r.link_positions(2, std::span(qpos).first(r.dof()), *links, out));
}

}  // namespace

namespace {

TEST(Retargeter, ConfigurationMistakesAreRefusedBeforeTheBuild) {
  RetargetingConfig config = dexpilot_config();
  config.finger_tip_link_names->at(1) = "link_7.0_tipp";
  const auto made = kova::Retargeter::create(config);  // not the optimiser's internal fault
  ASSERT_FALSE(made);
  EXPECT_NE(made.error().find("retargeting.finger_tip_link_names[1]: Link 'link_7.0_tipp' not "
                              "found"),
            std::string::npos)
      << made.error();
  EXPECT_NE(made.error().find("did you mean 'link_7.0_tip'?"), std::string::npos);
}

// ROS packages: the robot file found through ROS_PACKAGE_PATH, a missing package named.
TEST(Retargeter, FindsAPackageRobotFileThroughTheEnvironment) {
  const std::filesystem::path robot =
      kova::testing::test_robot("allegro/allegro_hand_description_right.urdf");
  const std::string search = robot.parent_path().parent_path().string();  // holds "allegro"
  ::setenv("ROS_PACKAGE_PATH", search.c_str(), 1);
  RetargetingConfig config = dexpilot_config();
  config.urdf_path = "package://allegro/allegro_hand_description_right.urdf";
  const auto made = kova::Retargeter::create(config);
  config.urdf_path = "package://no_such_hand/hand.urdf";
  const auto missing = kova::Retargeter::create(config);
  ::unsetenv("ROS_PACKAGE_PATH");
  ASSERT_TRUE(made) << made.error();
  EXPECT_EQ(made->urdf_file(), robot);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("no_such_hand"), std::string::npos) << missing.error();
}

TEST(Retargeter, TheChosenSolverSolvesEveryFrame) {
  kova::RetargeterOptions lm;
  lm.solver = kova::SolverKind::LeastSquares;
  auto made = kova::Retargeter::create(dexpilot_config(), lm);
  ASSERT_TRUE(made) << made.error();
  std::vector<double> rows(made->row_count() * 3, 0.05);
  std::vector<double> q(made->dof());
  ASSERT_TRUE(made->retarget(rows, {}, q));
  EXPECT_EQ(made->solver(), kova::SolverKind::LeastSquares);
  EXPECT_EQ(made->last_report().solver, kova::SolverKind::LeastSquares);
}

TEST(Retargeter, ReportsRowsAndErrorsPerFrame) {
  kova::Retargeter r = make();
  const std::size_t frames = 3;
  const std::vector<double> keypoints = random_rows(frames, kova::kHandLandmarkCount, 5);
  std::vector<double> rows(frames * r.row_count() * 3);
  ASSERT_TRUE(r.reference_rows(frames, keypoints, rows));
  std::vector<double> expected_rows(rows.size());
  ASSERT_TRUE(kova::reference_rows(r.reference_map(), keypoints, expected_rows));
  EXPECT_EQ(rows, expected_rows);

  std::vector<double> qpos(frames * r.dof());
  std::vector<kova::SolveReport> reports(frames);
  ASSERT_TRUE(r.retarget_sequence(frames, rows, {}, qpos, reports));
  for (const kova::SolveReport& report : reports) {
    EXPECT_EQ(report.solver, kova::SolverKind::Slsqp);
    EXPECT_GT(report.evaluations, 0u);
    EXPECT_TRUE(std::isfinite(report.objective));
  }
  EXPECT_EQ(r.last_report().evaluations, reports.back().evaluations);

  std::vector<double> errors(frames * r.row_count());
  ASSERT_TRUE(r.target_errors(frames, rows, qpos, errors));
  // Frame 2 by hand: positions of the map's links, then the core's error function.
  std::vector<double> positions(3 * r.reference_map().links.size());
  const auto links = r.link_indices(r.reference_map().links);
  ASSERT_TRUE(links);
  ASSERT_TRUE(r.link_positions(1, std::span(qpos).subspan(2 * r.dof()), *links, positions));
  std::vector<double> expected(r.row_count());
  ASSERT_TRUE(
      kova::target_errors(r.reference_map(), positions, std::span(rows).subspan(2 * 30), expected));
  EXPECT_EQ(std::vector<double>(errors.begin() + 20, errors.end()), expected);
}

}  // namespace
