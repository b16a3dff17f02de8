#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "kova/retargeting_config.hpp"

namespace {

namespace fs = std::filesystem;
using kova::RetargetingConfig;
using kova::RetargetingType;
using kova::SeqRetargeting;
using kova_config_test::TempDir;
using kova_config_test::test_robots_dir;
using Names = std::vector<std::string>;

constexpr const char* kLeap = "leap/robot.urdf";
constexpr const char* kAllegro = "allegro/allegro_hand_description_right.urdf";
constexpr const char* kInspire = "inspire/FTP_right_hand.urdf";

RetargetingConfig position_on_leap() {
  RetargetingConfig config;
  config.type = RetargetingType::Position;
  config.urdf_path = kLeap;
  config.urdf_dir = test_robots_dir();
  config.target_link_names = Names{"fingertip", "fingertip_2", "fingertip_3", "thumb_fingertip"};
  config.target_link_human_indices = std::vector<std::uint64_t>{4, 8, 12, 16};
  return config;
}

SeqRetargeting build_ok(RetargetingConfig config) {
  auto seq = std::move(config).build();
  if (!seq) throw std::runtime_error("build failed: " + seq.error());
  return std::move(*seq);
}

std::string build_error(RetargetingConfig config) {
  auto seq = std::move(config).build();
  EXPECT_FALSE(seq.has_value());
  return seq ? std::string() : seq.error();
}

std::string internal_fault(RetargetingConfig config) {
  try {
    (void)std::move(config).build();
  } catch (const kova::InternalFault& fault) {
    return fault.what();
  }
  ADD_FAILURE() << "no internal fault";
  return {};
}

// Joint vector of the robot with every joint at `fraction` of its range.
std::vector<double> pose_within_limits(const SeqRetargeting& seq, double fraction) {
  std::vector<double> qpos = seq.get_qpos(std::nullopt);
  const auto targets = seq.optimizer().idx_pin2target();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const auto [lower, upper] = seq.joint_limits()[i];
    qpos[targets[i]] = lower + (upper - lower) * fraction;
  }
  seq.optimizer().apply_adaptor_forward(qpos);
  return qpos;
}

std::vector<kova::LinkPosition> positions(SeqRetargeting& seq, std::span<const double> qpos,
                                          const Names& links) {
  return seq.optimizer().link_positions(qpos, links).value();
}

double distance(const kova::LinkPosition& a, const kova::LinkPosition& b) {
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// Pairs (lower, upper) the wrapper itself gives the target joints.
std::vector<std::pair<double, double>> wrapper_limits(const fs::path& urdf,
                                                      std::span<const std::size_t> targets) {
  const kova::RobotWrapper wrapper =
      kova::RobotWrapper::create(kova::UrdfRobot::from_file(urdf).value()).value();
  std::vector<std::pair<double, double>> limits;
  for (std::size_t index : targets) limits.push_back(wrapper.joint_limits().at(index));
  return limits;
}

// A three-joint chain whose middle joint is followed by a mimic joint; `extra` goes inside.
std::string chain_urdf(const std::string& j3_mimic_source, const std::string& extra = "") {
  return R"(<robot name="chain">
  <link name="base"/><link name="l1"/><link name="l2"/><link name="l3"/><link name="tip"/>
  <joint name="j1" type="revolute"><parent link="base"/><child link="l1"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
  <joint name="j2" type="revolute"><parent link="l1"/><child link="l2"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 1 0"/><limit lower="-1.5" upper="1.5"/></joint>
  <joint name="j3" type="revolute"><parent link="l2"/><child link="l3"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 1 0"/><limit lower="-2" upper="2"/>
    <mimic joint=")" +
         j3_mimic_source + R"(" multiplier="0.5" offset="0.1"/></joint>
  <joint name="tip_joint" type="fixed"><parent link="l3"/><child link="tip"/>
    <origin xyz="0 0 0.1"/>)" +
         extra + R"(</joint>
</robot>)";
}

RetargetingConfig position_on(const fs::path& urdf, Names links) {
  RetargetingConfig config;
  config.type = RetargetingType::Position;
  config.urdf_path = urdf.string();
  config.target_link_human_indices = std::vector<std::uint64_t>(links.size(), 0);
  config.target_link_names = std::move(links);
  return config;
}

TEST(Build, PositionOnLeapReachesReachableTargets) {
  KOVA_REQUIRE_ROBOT(kLeap);
  RetargetingConfig config = position_on_leap();
  config.low_pass_alpha = 2.0;  // no filter: the raw solutions are compared
  SeqRetargeting seq = build_ok(config);
  EXPECT_EQ(seq.optimizer().opt_dof(), 16u);
  EXPECT_TRUE(seq.optimizer().idx_pin2fixed().empty());
  EXPECT_EQ(seq.joint_limits(),
            wrapper_limits(test_robots_dir() / kLeap, seq.optimizer().idx_pin2target()));

  const Names& links = *config.target_link_names;
  std::vector<double> goal = pose_within_limits(seq, 0.6);
  const auto targets = positions(seq, goal, links);
  std::vector<double> ref;
  for (const auto& p : targets) ref.insert(ref.end(), p.begin(), p.end());
  std::vector<double> qpos;
  for (int frame = 0; frame < 10; ++frame) qpos = seq.retarget(ref, {});
  ASSERT_EQ(qpos.size(), 16u);
  const auto reached = positions(seq, qpos, links);
  for (std::size_t i = 0; i < links.size(); ++i) {
    EXPECT_LT(distance(reached[i], targets[i]), 0.005) << links[i];
  }
}

TEST(Build, VectorOnAllegroMatchesScaledVectors) {
  KOVA_REQUIRE_ROBOT(kAllegro);
  RetargetingConfig config;
  config.type = RetargetingType::Vector;
  config.urdf_path = kAllegro;
  config.urdf_dir = test_robots_dir();
  config.target_origin_link_names = Names(4, "base_link");
  config.target_task_link_names =
      Names{"link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"};
  config.target_link_human_indices = std::vector<std::uint64_t>{0, 0, 0, 0, 4, 8, 12, 16};
  config.scaling_factor = 2.0;
  config.low_pass_alpha = -0.1;
  SeqRetargeting seq = build_ok(config);
  EXPECT_EQ(seq.optimizer().opt_dof(), 16u);
  EXPECT_FALSE(seq.filter().has_value());

  std::vector<double> goal = pose_within_limits(seq, 0.4);
  const Names& tasks = *config.target_task_link_names;
  const auto base = positions(seq, goal, Names{"base_link"})[0];
  const auto tips = positions(seq, goal, tasks);
  std::vector<double> ref;  // human vectors: the robot vectors halved, then scaled by 2
  for (const auto& tip : tips) {
    for (int k = 0; k < 3; ++k) ref.push_back((tip[k] - base[k]) / 2.0);
  }
  std::vector<double> qpos;
  for (int frame = 0; frame < 10; ++frame) qpos = seq.retarget(ref, {});
  const auto reached = positions(seq, qpos, tasks);
  const auto reached_base = positions(seq, qpos, Names{"base_link"})[0];
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    kova::LinkPosition vector{};
    for (int k = 0; k < 3; ++k) vector[k] = reached[i][k] - reached_base[k] + base[k];
    EXPECT_LT(distance(vector, tips[i]), 0.005) << tasks[i];
  }
}

TEST(Build, DexPilotOnInspireCouplesMimicJoints) {
  KOVA_REQUIRE_ROBOT(kInspire);
  RetargetingConfig config;
  config.type = RetargetingType::DexPilot;
  config.urdf_path = kInspire;
  config.urdf_dir = test_robots_dir();
  config.wrist_link_name = "right_base_link";
  config.finger_tip_link_names =
      Names{"right_thumb_4", "right_index_2", "right_middle_2", "right_ring_2", "right_little_2"};
  config.low_pass_alpha = 1.0;
  SeqRetargeting seq = build_ok(config);
  ASSERT_TRUE(seq.filter().has_value());
  EXPECT_EQ(seq.filter()->alpha(), 1.0);

  const kova::MimicJointTable table =
      kova::UrdfRobot::from_file(test_robots_dir() / kInspire).value().parse_mimic_joints();
  ASSERT_TRUE(table.has_mimic);
  const Names dof_names = seq.optimizer().dof_joint_names();
  EXPECT_EQ(seq.optimizer().opt_dof(), dof_names.size());  // every DOF joint is a target

  // Fifteen human vectors (ten finger pairs, five from the wrist), all well apart.
  std::vector<double> ref;
  for (int k = 0; k < 15; ++k) {
    ref.insert(ref.end(), {0.05 + 0.004 * k, 0.02 * ((k % 3) - 1), 0.06});
  }
  const std::vector<double> qpos = seq.retarget(ref, {});
  ASSERT_EQ(qpos.size(), dof_names.size());
  const auto index_of = [&](const std::string& name) {
    return static_cast<std::size_t>(std::find(dof_names.begin(), dof_names.end(), name) -
                                    dof_names.begin());
  };
  for (std::size_t m = 0; m < table.mimic_joint_names.size(); ++m) {
    const double source = qpos.at(index_of(table.source_joint_names[m]));
    const double mimic = qpos.at(index_of(table.mimic_joint_names[m]));
    EXPECT_NEAR(mimic, source * table.multipliers[m] + table.offsets[m], 1e-12)
        << table.mimic_joint_names[m];
  }
  for (double q : qpos) EXPECT_TRUE(std::isfinite(q));
}

TEST(Build, MimicSourceOutsideTheTargetJoints) {
  KOVA_REQUIRE_ROBOT(kInspire);
  RetargetingConfig config;
  config.type = RetargetingType::Position;
  config.urdf_path = kInspire;
  config.urdf_dir = test_robots_dir();
  config.target_link_names = Names{"right_index_2"};
  config.target_link_human_indices = std::vector<std::uint64_t>{8};
  config.target_joint_names =
      Names{"right_index_2_joint",  "right_middle_1_joint", "right_ring_1_joint",
            "right_little_1_joint", "right_thumb_1_joint",  "right_thumb_2_joint"};
  EXPECT_EQ(build_error(config), "Source joint right_thumb_3_joint not in target joints");
  config.ignore_mimic_joint = true;
  SeqRetargeting seq = build_ok(config);
  EXPECT_EQ(seq.optimizer().opt_dof(), 6u);
}

TEST(Build, MimicMessagesFromSyntheticRobots) {
  TempDir dir;
  // A mimic joint whose source is a fixed joint.
  const fs::path fixed_source = dir.write("fixed_source.urdf", chain_urdf("tip_joint"));
  EXPECT_EQ(build_error(position_on(fixed_source, Names{"tip"})),
            "Source joint tip_joint not found");
  // A fixed joint that carries a mimic element is not a degree of freedom.
  const fs::path fixed_mimic =
      dir.write("fixed_mimic.urdf", chain_urdf("j2", R"(<mimic joint="j1" multiplier="2"/>)"));
  EXPECT_EQ(build_error(position_on(fixed_mimic, Names{"tip"})), "Mimic joint tip_joint not found");
  // A working coupling: j3 = 0.5 * j2 + 0.1.
  const fs::path good = dir.write("good.urdf", chain_urdf("j2"));
  RetargetingConfig config = position_on(good, Names{"tip"});
  config.target_joint_names = Names{"j1", "j2"};
  config.low_pass_alpha = 7.0;
  SeqRetargeting seq = build_ok(config);
  const double ref[] = {0.05, 0.0, 0.25};
  const std::vector<double> qpos = seq.retarget(ref, std::vector<double>{0.0});
  ASSERT_EQ(qpos.size(), 3u);
  EXPECT_NEAR(qpos[2], 0.5 * qpos[1] + 0.1, 1e-12);
  // Without coupling the mimic joint is a fixed joint of the optimisation.
  config.ignore_mimic_joint = true;
  SeqRetargeting independent = build_ok(config);
  EXPECT_EQ(independent.optimizer().idx_pin2fixed().size(), 1u);
}

TEST(Build, OptimiserRefusalsAreInternalFaults) {
  TempDir dir;
  const fs::path chain = dir.write("chain.urdf", chain_urdf("tip_joint"));
  // The misspelt joint is refused before any mimic lookup (which would also fail here).
  RetargetingConfig misspelt = position_on(chain, Names{"tip"});
  misspelt.target_joint_names = Names{"j1", "j_2"};
  EXPECT_EQ(internal_fault(misspelt), "Joint j_2 not found in robot");

  KOVA_REQUIRE_ROBOT(kLeap);
  RetargetingConfig bad_link = position_on_leap();
  bad_link.target_link_names = Names{"fingertip", "finger_tip_2", "fingertip_3", "x"};
  EXPECT_EQ(internal_fault(bad_link), "Link finger_tip_2 not found");

  RetargetingConfig one_finger;
  one_finger.type = RetargetingType::DexPilot;
  one_finger.urdf_path = kLeap;
  one_finger.urdf_dir = test_robots_dir();
  one_finger.wrist_link_name = "palm_lower";
  one_finger.finger_tip_link_names = Names{"fingertip"};
  EXPECT_TRUE(one_finger.validate().has_value());
  EXPECT_EQ(internal_fault(one_finger), "DexPilot requires 2-5 fingers");
  one_finger.finger_tip_link_names = Names(6, "fingertip");
  EXPECT_EQ(internal_fault(one_finger), "DexPilot requires 2-5 fingers");

  RetargetingConfig bad_wrist = one_finger;
  bad_wrist.finger_tip_link_names = Names{"fingertip", "thumb_fingertip"};
  bad_wrist.wrist_link_name = "wrist";
  EXPECT_EQ(internal_fault(bad_wrist), "Link wrist not found");
}

TEST(Build, DummyFreeJointsComeFirst) {
  KOVA_REQUIRE_ROBOT(kLeap);
  RetargetingConfig config = position_on_leap();
  config.add_dummy_free_joint = true;
  config.target_joint_names = Names{"3", "0"};
  SeqRetargeting seq = build_ok(config);
  ASSERT_EQ(seq.optimizer().opt_dof(), 8u);
  const Names dof_names = seq.optimizer().dof_joint_names();
  ASSERT_EQ(dof_names.size(), 22u);
  const auto targets = seq.optimizer().idx_pin2target();
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(targets[i], i);
    const double bound = i < 3 ? 5.0 : 6.283185307179586;
    EXPECT_EQ(seq.joint_limits()[i], std::make_pair(-bound, bound));
  }
  EXPECT_EQ(dof_names[0], "dummy_x_translation_joint");
  EXPECT_EQ(dof_names[5], "dummy_z_rotation_joint");
  EXPECT_EQ(dof_names[targets[6]], "3");
  EXPECT_EQ(dof_names[targets[7]], "0");

  config.target_joint_names.reset();
  SeqRetargeting all = build_ok(config);
  EXPECT_EQ(all.optimizer().opt_dof(), 22u);
  EXPECT_EQ(all.optimizer().dof_joint_names()[2], "dummy_z_translation_joint");
}

TEST(Build, WithoutJointLimitsEveryBoundIsTenThousand) {
  KOVA_REQUIRE_ROBOT(kLeap);
  RetargetingConfig config = position_on_leap();
  config.has_joint_limits = false;
  SeqRetargeting seq = build_ok(config);
  EXPECT_FALSE(seq.has_joint_limits());
  ASSERT_EQ(seq.joint_limits().size(), 16u);
  for (const auto& bound : seq.joint_limits()) {
    EXPECT_EQ(bound, std::make_pair(-10000.0, 10000.0));
  }
  config.has_joint_limits = true;
  SeqRetargeting limited = build_ok(config);
  EXPECT_TRUE(limited.has_joint_limits());
  EXPECT_NE(limited.joint_limits()[0], std::make_pair(-10000.0, 10000.0));
}

TEST(Build, FilterOnlyForAlphaBetweenZeroAndOne) {
  KOVA_REQUIRE_ROBOT(kLeap);
  for (double alpha : {0.0, 0.1, 1.0}) {
    RetargetingConfig config = position_on_leap();
    config.low_pass_alpha = alpha;
    SeqRetargeting seq = build_ok(config);
    ASSERT_TRUE(seq.filter().has_value()) << alpha;
    EXPECT_EQ(seq.filter()->alpha(), alpha);
    EXPECT_FALSE(seq.filter()->is_init());
  }
  for (double alpha : {-0.1, 1.5, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
    RetargetingConfig config = position_on_leap();
    config.low_pass_alpha = alpha;
    EXPECT_FALSE(build_ok(config).filter().has_value()) << alpha;
  }
}

TEST(Build, EarlierFailuresAreReturnedUnchanged) {
  RetargetingConfig invalid;
  invalid.type = RetargetingType::Position;
  EXPECT_EQ(build_error(invalid), "retargeting config: urdf_path must not be empty");

  TempDir dir;
  RetargetingConfig missing = position_on("/nonexistent-kova-dir/hand.urdf", Names{"tip"});
  EXPECT_EQ(build_error(missing), "URDF path /nonexistent-kova-dir/hand.urdf does not exist");

  fs::create_directories(dir.path() / "hand.urdf");
  const std::string directory_error = build_error(position_on(dir.path() / "hand.urdf", {"t"}));
  EXPECT_EQ(directory_error.rfind("Failed to read URDF: ", 0), 0u) << directory_error;

  const fs::path cycle = dir.write("cycle.urdf", R"(<robot name="cycle">
    <link name="a"/><link name="b"/>
    <joint name="ab" type="revolute"><parent link="a"/><child link="b"/></joint>
    <joint name="ba" type="revolute"><parent link="b"/><child link="a"/></joint>
  </robot>)");
  EXPECT_EQ(build_error(position_on(cycle, Names{"a"})), "No root link found");
  RetargetingConfig dummy_on_cycle = position_on(cycle, Names{"a"});
  dummy_on_cycle.add_dummy_free_joint = true;
  EXPECT_EQ(build_error(dummy_on_cycle), "No root link found");
}

TEST(Build, FromAFileEndToEnd) {
  KOVA_REQUIRE_ROBOT(kLeap);
  TempDir dir;
  const fs::path file = dir.write(
      "config.yml",
      "retargeting:\n  type: Position\n  urdf_path: " + (test_robots_dir() / kLeap).string() +
          "\n  target_link_names: [fingertip, thumb_fingertip]\n"
          "  target_link_human_indices: [8, 4]\n  low_pass_alpha: 0\n");
  RetargetingConfig config = RetargetingConfig::load_from_file(file).value();
  SeqRetargeting seq = build_ok(config);
  const double ref[] = {0.0, 0.05, 0.1, 0.0, -0.05, 0.08};
  const std::vector<double> first = seq.retarget(ref, {});
  const std::vector<double> second = seq.retarget(ref, {});
  EXPECT_EQ(first.size(), 16u);
  EXPECT_EQ(first, second);  // alpha 0 holds the first output
}

}  // namespace
