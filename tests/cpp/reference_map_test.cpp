// Keypoints to reference rows for each method, the DexPilot fingertips matched by name, and the
// per-target errors.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/dexpilot_vectors.hpp"
#include "kova/fingertip_match.hpp"
#include "kova/reference_map.hpp"
#include "test_data.hpp"

namespace {

using Strings = std::vector<std::string>;
using Sizes = std::vector<std::size_t>;

kova::RetargetingConfig shipped(const std::string& method, const std::string& hand) {
  auto config = kova::RetargetingConfig::load_from_file(
      kova::testing::shipped_resource("configs/" + method + "/" + hand + ".yml"));
  if (!config) throw std::runtime_error(config.error());
  return *config;
}

kova::ReferenceMap map_of(const kova::RetargetingConfig& config) {
  auto map = kova::ReferenceMap::from_config(config);
  if (!map) throw std::runtime_error(map.error());
  return *map;
}

// Landmark k at (k, 10 k, 100 k) + a per-frame offset: every row tells which landmarks made it.
std::vector<double> numbered_keypoints(std::size_t frames) {
  std::vector<double> kp;
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t k = 0; k < 21; ++k) {
      const double v = static_cast<double>(k);
      kp.insert(kp.end(), {v + 0.5 * static_cast<double>(f), 10 * v, 100 * v});
    }
  }
  return kp;
}

TEST(DexPilotVectorPairs, FingerPairsThenWristVectors) {
  using V = kova::DexPilotVector;
  EXPECT_EQ(kova::dexpilot_vector_pairs(2), (std::vector<V>{{1, 2}, {1, 0}, {2, 0}}));
  const auto five = kova::dexpilot_vector_pairs(5);
  ASSERT_EQ(five.size(), 15u);
  EXPECT_EQ(five[3], (V{1, 5}));
  EXPECT_EQ(five[4], (V{2, 3}));
  EXPECT_EQ(five[9], (V{4, 5}));
  EXPECT_EQ(five[14], (V{5, 0}));
}

TEST(ReferenceMap, PositionRowsAreTheIndexedKeypoints) {
  const auto map = map_of(shipped("position", "kova_numbered_16dof"));
  EXPECT_FALSE(map.rows_are_vectors());
  EXPECT_EQ(map.labels[4], "thumb_distal");
  EXPECT_EQ(map.links, map.labels);
  std::vector<double> rows(2 * map.row_values());
  ASSERT_TRUE(kova::reference_rows(map, numbered_keypoints(2), rows));
  // Indices 4, 8, 12, 16, 3, ...; the second frame is shifted by 0.5 in x.
  EXPECT_EQ(rows[0], 4.0);
  EXPECT_EQ(rows[5], 800.0);
  EXPECT_EQ(rows[3 * 4 + 1], 30.0);
  EXPECT_EQ(rows[map.row_values()], 4.5);
}

TEST(ReferenceMap, VectorRowsRunFromOriginToTask) {
  const auto map = map_of(shipped("vector", "kova_coupled_20dof"));
  ASSERT_EQ(map.row_count(), 10u);
  EXPECT_EQ(map.labels[0], "right_hand_base->right_hand_thumb_tip");
  EXPECT_EQ(map.links.front(), "right_hand_base");
  EXPECT_EQ(map.links.size(), 11u);
  EXPECT_EQ(map.origin_links, Sizes(10, 0));
  std::vector<double> rows(map.row_values());
  ASSERT_TRUE(kova::reference_rows(map, numbered_keypoints(1), rows));
  EXPECT_EQ(rows[3 * 5 + 2], 300.0);  // landmark 3 - landmark 0
}

TEST(ReferenceMap, DexPilotFollowsTheOptimisersOwnVectorOrder) {
  const auto config = shipped("dexpilot", "kova_five_finger_24dof");
  const auto map = map_of(config);
  EXPECT_FALSE(map.fingers_by_list_order);
  EXPECT_EQ(map.origin_landmarks, (Sizes{8, 12, 16, 20, 12, 16, 20, 16, 20, 20, 0, 0, 0, 0, 0}));
  EXPECT_EQ(map.task_landmarks, (Sizes{4, 4, 4, 4, 8, 8, 8, 12, 12, 16, 4, 8, 12, 16, 20}));

  auto resolved = config.resolve_urdf_path();
  auto robot = kova::RobotWrapper::create(*kova::UrdfRobot::from_file(*resolved));
  const kova::DexPilotOptimizer optimizer(std::move(*robot), {}, *config.finger_tip_link_names,
                                          *config.wrist_link_name, 0.03, 0.0, 0.03, 0.05, 1e-4,
                                          0.03, 1.0);
  const auto& v = optimizer.vectors();
  const Strings links = optimizer.link_names();
  for (std::size_t i = 0; i < map.row_count(); ++i) {
    EXPECT_EQ(map.labels[i], links[v.computed_link_indices()[v.origin_link_indices()[i]]] + "->" +
                                 links[v.computed_link_indices()[v.task_link_indices()[i]]]);
  }
}

TEST(FingertipMatch, NamesDecideOtherwiseListOrderIsUsedAndReported) {
  EXPECT_EQ(kova::name_words("THUMBTip_l2Index"), (Strings{"thumb", "tip", "l", "index"}));
  using F = kova::Finger;
  const auto named = kova::match_fingertips(Strings{"LF_tip", "ThumbTip", "rf_distal"});
  ASSERT_TRUE(named);
  EXPECT_FALSE(named->by_list_order);
  EXPECT_EQ(named->fingers, (std::vector<F>{F::Little, F::Thumb, F::Ring}));
  // A finger abbreviation run together with the tip, as on the Shadow hand.
  EXPECT_EQ(kova::name_words("rh_fftip"), (Strings{"rh", "ff", "tip"}));
  const auto shadow =
      kova::match_fingertips(Strings{"rh_thtip", "rh_fftip", "rh_mftip", "rh_rftip", "rh_lftip"});
  ASSERT_TRUE(shadow);
  EXPECT_FALSE(shadow->by_list_order);
  EXPECT_EQ(shadow->fingers, (std::vector<F>{F::Thumb, F::Index, F::Middle, F::Ring, F::Little}));
  EXPECT_EQ(kova::name_words("fingertip"), (Strings{"finger", "tip"}));
  // No finger word, the same finger twice, two fingers in one name: list order.
  for (const Strings& names :
       {Strings{"tip_a", "tip_b"}, Strings{"th_a", "thumb_b"}, Strings{"th_ff", "mf"}}) {
    const auto match = kova::match_fingertips(names);
    ASSERT_TRUE(match);
    EXPECT_TRUE(match->by_list_order);
    EXPECT_EQ(match->fingers, (std::vector<F>{F::Thumb, F::Index}));
  }
  EXPECT_FALSE(kova::match_fingertips(Strings(6, "tip")));
}

TEST(ReferenceMap, DexPilotListOrderFallbackIsFlaggedAndWarned) {
  auto config = shipped("dexpilot", "kova_five_finger_24dof");
  config.finger_tip_link_names = Strings{"tip_a", "tip_b", "tip_c"};
  const auto map = map_of(config);
  EXPECT_TRUE(map.fingers_by_list_order);
  EXPECT_EQ(map.task_landmarks, (Sizes{4, 4, 8, 4, 8, 12}));
  const auto issues = kova::check_reference(config);
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_EQ(issues[0].severity, kova::Severity::Warning);
  EXPECT_NE(issues[0].message.find("tip_a -> thumb, tip_b -> index, tip_c -> middle"),
            std::string::npos);
}

TEST(ReferenceMap, ConfigurationsWithoutAMapAreRefusedWithTheFix) {
  auto position = shipped("position", "kova_numbered_16dof");
  (*position.target_link_human_indices)[2] = 21;
  EXPECT_EQ(kova::ReferenceMap::from_config(position).error(),
            "target_link_human_indices entry 2 is 21; hand landmarks are numbered 0 to 20");

  auto dexpilot = shipped("dexpilot", "kova_five_finger_24dof");
  dexpilot.target_link_human_indices = std::vector<std::uint64_t>(7, 0);
  EXPECT_NE(kova::ReferenceMap::from_config(dexpilot).error().find("needs 30"), std::string::npos);
  dexpilot.finger_tip_link_names->push_back("extra_tip");
  EXPECT_EQ(kova::ReferenceMap::from_config(dexpilot).error(),
            "dexpilot retargeting needs 2 to 5 fingertips in finger_tip_link_names, got 6");
  dexpilot.urdf_path.clear();
  EXPECT_EQ(kova::check_reference(dexpilot).front().message,
            "retargeting config: urdf_path must not be empty");
  EXPECT_EQ(kova::check_reference(dexpilot).front().key, "retargeting.urdf_path");
  auto vector = shipped("vector", "kova_coupled_20dof");
  vector.target_task_link_names->pop_back();
  EXPECT_EQ(kova::check_reference(vector).front().key, "retargeting.target_origin_link_names");
}

TEST(ReferenceMap, BufferSizesAreChecked) {
  const auto map = map_of(shipped("vector", "kova_coupled_20dof"));
  std::vector<double> rows(map.row_values());
  const auto kp = numbered_keypoints(1);
  EXPECT_FALSE(kova::reference_rows(map, std::span(kp).first(62), rows));
  EXPECT_FALSE(kova::reference_rows(map, numbered_keypoints(2), rows));
  std::vector<double> positions(3 * map.links.size());
  std::vector<double> errors(map.row_count());
  EXPECT_FALSE(kova::target_errors(map, std::span(positions).first(3), rows, errors));
  EXPECT_FALSE(kova::target_errors(map, positions, rows, std::span(errors).first(9)));
  EXPECT_TRUE(kova::target_errors(map, positions, rows, errors));
}

TEST(TargetErrors, PositionDistancesAndScaledVectorDifferences) {
  auto position = shipped("position", "kova_numbered_16dof");
  const auto pmap = map_of(position);
  std::vector<double> rows(pmap.row_values());
  ASSERT_TRUE(kova::reference_rows(pmap, numbered_keypoints(1), rows));
  // Each link sits 3-4-0 times its row number away from its keypoint.
  std::vector<double> links(rows);
  for (std::size_t r = 0; r < pmap.row_count(); ++r) {
    links[3 * r] += 3.0 * static_cast<double>(r);
    links[3 * r + 1] -= 4.0 * static_cast<double>(r);
  }
  std::vector<double> errors(pmap.row_count());
  ASSERT_TRUE(kova::target_errors(pmap, links, rows, errors));
  for (std::size_t r = 0; r < errors.size(); ++r)
    EXPECT_EQ(errors[r], 5.0 * static_cast<double>(r));

  auto vector = shipped("vector", "kova_coupled_20dof");
  vector.scaling_factor = 2.0;
  const auto vmap = map_of(vector);
  std::vector<double> vrows(vmap.row_values(), 0.0);
  vrows[0] = 1.0;  // thumb tip row: (1, 0, 0), scaled to (2, 0, 0)
  std::vector<double> positions(3 * vmap.links.size(), 1.0);
  positions[3 * vmap.task_links[0] + 2] = 1.0 + 2.0;  // robot vector (0, 0, 2)
  std::vector<double> verrors(vmap.row_count());
  ASSERT_TRUE(kova::target_errors(vmap, positions, vrows, verrors));
  EXPECT_DOUBLE_EQ(verrors[0], std::sqrt(8.0));
  EXPECT_EQ(verrors[1], 0.0);
}

}  // namespace
