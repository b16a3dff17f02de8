#include "kova/robot_wrapper.hpp"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "robot_builder.hpp"
#include "test_data.hpp"

namespace {

using kova::RobotWrapper;
using kova::UrdfRobot;
using kova::testing::make_joint;
using kova::testing::make_robot;
using kova::testing::star_robot;
using Names = std::vector<std::string>;

RobotWrapper wrap(UrdfRobot robot) {
  auto wrapper = RobotWrapper::create(std::move(robot));
  if (!wrapper) ADD_FAILURE() << wrapper.error();
  return wrapper ? std::move(*wrapper) : std::move(*RobotWrapper::create(star_robot({})));
}

Names dof_order(const Names& urdf_order) {
  return wrap(star_robot(urdf_order)).dof_joint_names();
}

// ---------------------------------------------------------------------------------------------
// Degrees of freedom and their order

TEST(DofJoints, OnlyFixedJointsGiveNoDof) {
  const RobotWrapper wrapper = wrap(star_robot({"a", "b"}, "fixed"));
  EXPECT_EQ(wrapper.dof(), 0u);
  EXPECT_TRUE(wrapper.joint_limits().empty());
  EXPECT_TRUE(wrapper.dof_joint_index().empty());
}

TEST(DofJoints, EveryNonFixedTypeIsADof) {
  UrdfRobot robot = make_robot(
      {"base", "a", "b", "c", "d", "e", "f"},
      {make_joint("rev", "revolute", "base", "a"), make_joint("fix", "fixed", "base", "b"),
       make_joint("pri", "prismatic", "base", "c"), make_joint("flo", "floating", "base", "d"),
       make_joint("typo", "Fixed", "base", "e"), make_joint("con", "continuous", "base", "f")});
  EXPECT_EQ(wrap(std::move(robot)).dof_joint_names(), (Names{"rev", "pri", "flo", "typo", "con"}));
}

TEST(DofOrder, UnrecognisedRobotKeepsUrdfOrder) {
  EXPECT_EQ(dof_order({"z", "a", "m", "index_q1"}), (Names{"z", "a", "m", "index_q1"}));
}

TEST(DofOrder, DummyJointsComeFirstWhereverTheyStand) {
  EXPECT_EQ(dof_order({"finger", "dummy_z_rotation_joint", "dummy_x_translation_joint", "palm",
                       "dummy_y_rotation_joint", "dummy_z_translation_joint",
                       "dummy_x_rotation_joint", "dummy_y_translation_joint"}),
            (Names{"dummy_x_translation_joint", "dummy_y_translation_joint",
                   "dummy_z_translation_joint", "dummy_x_rotation_joint", "dummy_y_rotation_joint",
                   "dummy_z_rotation_joint", "finger", "palm"}));
}

TEST(DofOrder, DummyJointsPrecedeTheHandOrder) {
  EXPECT_EQ(dof_order({"thumb_q1", "extra", "index_q1", "dummy_y_translation_joint"}),
            (Names{"dummy_y_translation_joint", "index_q1", "thumb_q1", "extra"}));
}

TEST(DofOrder, Rule1TwoPhalanxHand) {
  EXPECT_EQ(dof_order({"index_q1", "index_q2", "thumb_q1", "thumb_q2", "wrist", "middle_q1"}),
            (Names{"index_q1", "index_q2", "middle_q1", "thumb_q1", "thumb_q2", "wrist"}));
  EXPECT_EQ(dof_order({"thumb_q2", "ring_q1", "pinky_q2", "thumb_q1", "index_q1", "ring_q2"}),
            (Names{"index_q1", "pinky_q2", "ring_q1", "ring_q2", "thumb_q1", "thumb_q2"}));
}

TEST(DofOrder, Rule1NeedsBothNames) {
  EXPECT_EQ(dof_order({"thumb_q1", "index_q2", "middle_q1"}),
            (Names{"thumb_q1", "index_q2", "middle_q1"}));
}

TEST(DofOrder, Rule2TwelveJointHand) {
  EXPECT_EQ(dof_order({"thumb_distal_joint", "x", "ring_proximal_joint", "index_proximal_joint",
                       "thumb_proximal_yaw_joint", "pinky_intermediate_joint"}),
            (Names{"index_proximal_joint", "pinky_intermediate_joint", "ring_proximal_joint",
                   "thumb_proximal_yaw_joint", "thumb_distal_joint", "x"}));
}

TEST(DofOrder, Rule3NumberedJointsWithSuffix) {
  EXPECT_EQ(dof_order({"joint_4.0", "joint_15.0", "joint_12.0", "joint_3.0", "joint_0.0",
                       "joint_11.0", "joint_16.0"}),
            (Names{"joint_0.0", "joint_3.0", "joint_12.0", "joint_15.0", "joint_4.0", "joint_11.0",
                   "joint_16.0"}));
}

TEST(DofOrder, Rule4PlainNumbersWithSwappedPairs) {
  Names urdf;
  for (int i = 0; i < 16; ++i) urdf.push_back(std::to_string(i));
  EXPECT_EQ(dof_order(urdf), (Names{"1", "0", "2", "3", "12", "13", "14", "15", "5", "4", "6", "7",
                                    "9", "8", "10", "11"}));
}

TEST(DofOrder, Rule5TendonHand) {
  EXPECT_EQ(dof_order({"THJ1", "FFJ1", "LFJ5", "WRJ1", "WRJ2", "MFJ4", "THJ5", "other"}),
            (Names{"WRJ2", "WRJ1", "FFJ1", "LFJ5", "MFJ4", "THJ5", "THJ1", "other"}));
}

TEST(DofOrder, Rule5IgnoresPrefixedNames) {
  EXPECT_EQ(dof_order({"rh_THJ1", "rh_WRJ2", "rh_FFJ1"}), (Names{"rh_THJ1", "rh_WRJ2", "rh_FFJ1"}));
}

TEST(DofOrder, Rule6RightHandByDefault) {
  EXPECT_EQ(dof_order({"right_hand_j5", "right_hand_Pinky", "x_right_hand_Thumb_Opposition_y",
                       "right_hand_Thumb_Flexion", "right_hand_Thumb_Opposition"}),
            (Names{"right_hand_Thumb_Opposition", "right_hand_Thumb_Flexion", "right_hand_j5",
                   "right_hand_Pinky", "x_right_hand_Thumb_Opposition_y"}));
}

TEST(DofOrder, Rule6LeftPrefixWhenANameStartsWithIt) {
  EXPECT_EQ(dof_order({"right_hand_j3", "left_hand_Thumb_Opposition", "left_hand_j3"}),
            (Names{"left_hand_Thumb_Opposition", "left_hand_j3", "right_hand_j3"}));
}

TEST(DofOrder, RulePrecedence) {
  // Rule 4 before rule 5.
  EXPECT_EQ(dof_order({"THJ1", "WRJ2", "15", "0"}), (Names{"0", "15", "THJ1", "WRJ2"}));
  // Rule 1 before rule 2.
  EXPECT_EQ(dof_order({"thumb_distal_joint", "index_proximal_joint", "thumb_q1", "index_q1"}),
            (Names{"index_q1", "thumb_q1", "thumb_distal_joint", "index_proximal_joint"}));
  // Rule 3 before rule 4.
  EXPECT_EQ(dof_order({"15", "joint_15.0", "0", "joint_0.0"}),
            (Names{"joint_0.0", "joint_15.0", "15", "0"}));
  // Rule 5 before rule 6.
  EXPECT_EQ(dof_order({"left_hand_Thumb_Opposition", "THJ1", "WRJ2"}),
            (Names{"WRJ2", "THJ1", "left_hand_Thumb_Opposition"}));
}

TEST(DofOrder, FixedJointsDoNotTriggerARule) {
  UrdfRobot robot =
      make_robot({"base", "a", "b", "c"}, {make_joint("THJ1", "revolute", "base", "a"),
                                           make_joint("x", "revolute", "base", "b"),
                                           make_joint("WRJ2", "fixed", "base", "c")});
  EXPECT_EQ(wrap(std::move(robot)).dof_joint_names(), (Names{"THJ1", "x"}));
}

TEST(DofOrder, ReorderFunctionIsStableForUnrankedJoints) {
  std::vector<kova::JointSpec> candidates;
  for (const char* name : {"b", "a", "c", "a"}) {
    candidates.push_back(make_joint(name, "revolute", "p", "c"));
  }
  candidates[3].axis = Eigen::Vector3d(0, 0, 7);
  const auto sorted = kova::reorder_dof_joints_like_pinocchio(candidates);
  ASSERT_EQ(sorted.size(), 4u);
  EXPECT_EQ(sorted[1].name, "a");
  EXPECT_EQ(sorted[3].name, "a");
  EXPECT_EQ(sorted[3].axis, Eigen::Vector3d(0, 0, 7));
}

// ---------------------------------------------------------------------------------------------
// Limits, maps, transforms

TEST(JointLimits, FromLimitElementUnlessMissingOrMimic) {
  UrdfRobot robot = star_robot({"limited", "unlimited", "mimic", "continuous"});
  robot.joints[0].limit = kova::LimitSpec{-1.0, 2.0, 5.0, std::nullopt};
  robot.joints[2].limit = kova::LimitSpec{-0.5, 0.5, std::nullopt, std::nullopt};
  robot.joints[2].mimic = kova::MimicSpec{"limited", 2.0, 0.0};
  robot.joints[3].joint_type = "continuous";
  robot.joints[3].limit = kova::LimitSpec{};
  const RobotWrapper wrapper = wrap(std::move(robot));
  using Pair = std::pair<double, double>;
  EXPECT_EQ(wrapper.joint_limits(),
            (std::vector<Pair>{{-1.0, 2.0}, {-10000.0, 10000.0}, {-10000.0, 10000.0}, {0.0, 0.0}}));
}

TEST(JointLimits, FollowTheDofOrder) {
  UrdfRobot robot = star_robot({"thumb_q1", "index_q1"});
  robot.joints[0].limit = kova::LimitSpec{1.0, 2.0, std::nullopt, std::nullopt};
  robot.joints[1].limit = kova::LimitSpec{3.0, 4.0, std::nullopt, std::nullopt};
  const RobotWrapper wrapper = wrap(std::move(robot));
  EXPECT_EQ(wrapper.dof_joint_names(), (Names{"index_q1", "thumb_q1"}));
  EXPECT_EQ(wrapper.joint_limits()[0], std::make_pair(3.0, 4.0));
  EXPECT_EQ(wrapper.joint_limits()[1], std::make_pair(1.0, 2.0));
}

TEST(LookupTables, BuiltOverAllJointsWithLaterEntriesWinning) {
  UrdfRobot robot =
      make_robot({"base", "a", "b", "a"},
                 {make_joint("j1", "fixed", "base", "a"), make_joint("j2", "revolute", "base", "b"),
                  make_joint("j3", "revolute", "b", "a"), make_joint("j2", "prismatic", "a", "c")});
  const RobotWrapper wrapper = wrap(std::move(robot));
  EXPECT_EQ(wrapper.root_link(), "base");
  EXPECT_EQ(wrapper.link_index().at("a"), 3u);
  EXPECT_EQ(wrapper.link_index().size(), 3u);
  EXPECT_EQ(wrapper.child_link_joint().at("a"), "j3");
  EXPECT_EQ(wrapper.child_link_joint().at("c"), "j2");
  EXPECT_EQ(wrapper.parent_link_joints().at("base"), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(wrapper.parent_link_joints().at("a"), (std::vector<std::size_t>{3}));
  EXPECT_FALSE(wrapper.parent_link_joints().contains("c"));
  EXPECT_EQ(wrapper.dof_joint_names(), (Names{"j2", "j3", "j2"}));
  EXPECT_EQ(wrapper.dof_joint_index().at("j2"), 2u);
  EXPECT_EQ(wrapper.dof_joint_index().size(), 2u);
  EXPECT_EQ(wrapper.link_names(), (Names{"base", "a", "b", "a"}));
}

TEST(LookupTables, TransformBufferHasOneIdentityPerLink) {
  const RobotWrapper wrapper = wrap(star_robot({"a", "b", "c"}));
  ASSERT_EQ(wrapper.link_transforms().size(), 4u);
  EXPECT_EQ(wrapper.link_count(), 4u);
  for (const auto& transform : wrapper.link_transforms()) {
    EXPECT_EQ(transform, kova::Transform::Identity());
  }
}

TEST(LookupTables, UrdfIsKeptAsReceived) {
  UrdfRobot robot = star_robot({"thumb_q1", "index_q1"});
  robot.name = "kept";
  const RobotWrapper wrapper = wrap(robot);
  EXPECT_EQ(wrapper.urdf().name, "kept");
  EXPECT_EQ(wrapper.urdf().joints[0].name, "thumb_q1");
  EXPECT_EQ(wrapper.urdf().joints.size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Refused graphs

std::string creation_error(UrdfRobot robot) {
  auto wrapper = RobotWrapper::create(std::move(robot));
  return wrapper ? std::string("<created>") : wrapper.error();
}

TEST(RefusedGraphs, NoLinksOrAllLinksChildrenMeansNoRoot) {
  EXPECT_EQ(creation_error(make_robot({}, {})), "No root link found");
  EXPECT_EQ(creation_error(make_robot({"a", "b"}, {make_joint("ab", "fixed", "a", "b"),
                                                   make_joint("ba", "fixed", "b", "a")})),
            "No root link found");
}

TEST(RefusedGraphs, CycleBelowTheRootNamesAJointOnIt) {
  EXPECT_EQ(creation_error(make_robot({"A", "B", "C"}, {make_joint("ab", "revolute", "A", "B"),
                                                        make_joint("bc", "revolute", "B", "C"),
                                                        make_joint("cb", "revolute", "C", "B")})),
            "Joint cb closes a cycle in the kinematic tree");
}

TEST(RefusedGraphs, SelfLoop) {
  EXPECT_EQ(creation_error(make_robot({"A", "B"}, {make_joint("ab", "fixed", "A", "B"),
                                                   make_joint("bb", "revolute", "B", "B")})),
            "Joint bb closes a cycle in the kinematic tree");
}

TEST(RefusedGraphs, CycleAwayFromTheRoot) {
  EXPECT_EQ(creation_error(make_robot({"R", "X", "Y"}, {make_joint("xy", "fixed", "X", "Y"),
                                                        make_joint("yx", "fixed", "Y", "X")})),
            "Joint yx closes a cycle in the kinematic tree");
}

TEST(RefusedGraphs, LoopingWalkTowardsTheRootThroughDuplicateJointNames) {
  // No joint cycle, but the walk from X goes to the parent of the first joint named "b" (Y), and
  // from Y to the parent of the first joint named "a" (X).
  const std::string error = creation_error(
      make_robot({"R", "X", "Y", "W", "V", "S", "T"},
                 {make_joint("a", "fixed", "X", "W"), make_joint("b", "fixed", "Y", "V"),
                  make_joint("a", "fixed", "S", "Y"), make_joint("b", "fixed", "T", "X")}));
  EXPECT_TRUE(error == "Joint a closes a cycle in the kinematic tree" ||
              error == "Joint b closes a cycle in the kinematic tree")
      << error;
}

TEST(RefusedGraphs, SharedChildrenAreNotACycle) {
  auto wrapper = RobotWrapper::create(
      make_robot({"A", "B", "C", "D"},
                 {make_joint("ab", "revolute", "A", "B"), make_joint("ac", "revolute", "A", "C"),
                  make_joint("bd", "revolute", "B", "D"), make_joint("cd", "revolute", "C", "D")}));
  ASSERT_TRUE(wrapper) << wrapper.error();
  EXPECT_EQ(wrapper->child_link_joint().at("D"), "cd");
}

UrdfRobot stacked_diamonds(int levels) {
  std::vector<std::string> links{"n0"};
  std::vector<kova::JointSpec> joints;
  for (int i = 0; i < levels; ++i) {
    const std::string from = "n" + std::to_string(i);
    const std::string to = "n" + std::to_string(i + 1);
    const std::string left = "l" + std::to_string(i);
    const std::string right = "r" + std::to_string(i);
    links.insert(links.end(), {left, right, to});
    joints.push_back(make_joint(from + left, "revolute", from, left));
    joints.push_back(make_joint(from + right, "revolute", from, right));
    joints.push_back(make_joint(left + to, "fixed", left, to));
    joints.push_back(make_joint(right + to, "fixed", right, to));
  }
  return make_robot(links, std::move(joints));
}

TEST(RefusedGraphs, ExponentialTraversalIsRefusedQuickly) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(creation_error(stacked_diamonds(200)),
            "Joint graph has too many paths from the root link: forward kinematics would take "
            "more than 1000000 joint steps");
  // Construction must not unroll the traversal before counting it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(RefusedGraphs, ModerateDiamondsStillBuild) {
  auto wrapper = RobotWrapper::create(stacked_diamonds(10));
  ASSERT_TRUE(wrapper) << wrapper.error();
  wrapper->compute_forward_kinematics(std::vector<double>(wrapper->dof(), 0.1));
  EXPECT_TRUE(wrapper->link_transforms().back().allFinite());
}

// ---------------------------------------------------------------------------------------------
// Real robot files: DOF order read off the files and the six hand rules

struct RealDofOrder {
  const char* file;
  Names order;
};

Names numbered(const char* prefix, std::initializer_list<int> numbers, const char* suffix) {
  Names names;
  for (int n : numbers) names.push_back(prefix + std::to_string(n) + suffix);
  return names;
}

Names shadow_order(const char* prefix) {
  Names names;
  for (const char* joint : {"WRJ2", "WRJ1", "FFJ4", "FFJ3", "FFJ2", "FFJ1", "MFJ4", "MFJ3",
                            "MFJ2", "MFJ1", "RFJ4", "RFJ3", "RFJ2", "RFJ1", "LFJ5", "LFJ4",
                            "LFJ3", "LFJ2", "LFJ1", "THJ5", "THJ4", "THJ3", "THJ2", "THJ1"}) {
    names.push_back(std::string(prefix) + joint);
  }
  return names;
}

Names inspire_dfq(const std::string& p) {
  return {p + "thumb_proximal_yaw_joint", p + "thumb_proximal_pitch_joint",
          p + "thumb_intermediate_joint", p + "thumb_distal_joint",
          p + "index_proximal_joint",     p + "index_intermediate_joint",
          p + "middle_proximal_joint",    p + "middle_intermediate_joint",
          p + "ring_proximal_joint",      p + "ring_intermediate_joint",
          p + "pinky_proximal_joint",     p + "pinky_intermediate_joint"};
}

Names inspire_ftp(const std::string& p) {
  return {p + "thumb_1_joint", p + "thumb_2_joint", p + "thumb_3_joint",  p + "thumb_4_joint",
          p + "index_1_joint", p + "index_2_joint", p + "middle_1_joint", p + "middle_2_joint",
          p + "ring_1_joint",  p + "ring_2_joint",  p + "little_1_joint", p + "little_2_joint"};
}

const std::vector<RealDofOrder>& real_dof_orders() {
  const Names ability{"index_q1", "index_q2", "middle_q1", "middle_q2", "pinky_q1",
                      "pinky_q2", "ring_q1",  "ring_q2",   "thumb_q1",  "thumb_q2"};
  const Names allegro =
      numbered("joint_", {0, 1, 2, 3, 12, 13, 14, 15, 4, 5, 6, 7, 8, 9, 10, 11}, ".0");
  static const std::vector<RealDofOrder> orders = {
      {"ability/ability_hand_left_large.urdf", ability},
      {"ability/ability_hand_right_large.urdf", ability},
      {"allegro/allegro_hand_description_left.urdf", allegro},
      {"allegro/allegro_hand_description_right.urdf", allegro},
      {"allegro_drake/allegro_hand_description_right.urdf",
       numbered("joint_", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, "")},
      {"franka/panda.urdf",
       {"panda_joint1", "panda_joint2", "panda_joint3", "panda_joint4", "panda_joint5",
        "panda_joint6", "panda_joint7", "panda_finger_joint1", "panda_finger_joint2"}},
      {"franka_drake/hand.urdf", {"panda_finger_joint1", "panda_finger_joint2"}},
      {"inspire/DFQ_left_hand.urdf", inspire_dfq("L_")},
      {"inspire/DFQ_right_hand.urdf", inspire_dfq("R_")},
      {"inspire/FTP_left_hand.urdf", inspire_ftp("left_")},
      {"inspire/FTP_right_hand.urdf", inspire_ftp("right_")},
      {"jaco_hand/j2s7s300_hand.urdf",
       {"j2s7s300_joint_finger_1", "j2s7s300_joint_finger_2", "j2s7s300_joint_finger_3"}},
      {"leap/robot.urdf", numbered("", {1, 0, 2, 3, 12, 13, 14, 15, 5, 4, 6, 7, 9, 8, 10, 11}, "")},
      {"robotiq_2f85/robotiq_2f_85.urdf",
       {"robotiq_2f_85_right_driver_joint", "robotiq_2f_85_right_follower_joint",
        "robotiq_2f_85_right_spring_link_joint", "robotiq_2f_85_left_driver_joint",
        "robotiq_2f_85_left_follower_joint", "robotiq_2f_85_left_spring_link_joint"}},
      {"schunk_svh/svh.urdf",
       {"j1_wrist",
        "j6b_spread",
        "j5",
        "j2_thumb",
        "j3",
        "j4",
        "j6a_forefinger1",
        "j10_forefinger2",
        "j14",
        "j7_middlefinger1",
        "j11_middlefinger2",
        "j15",
        "j8a_ringfinger",
        "j8b",
        "j12",
        "j16",
        "j9a_littlefinger",
        "j9b",
        "j13",
        "j17"}},
      {"shadow/shadowhand_motor.urdf", shadow_order("rh_")},
      {"shadow/shadowhand_motor_left.urdf", shadow_order("lh_")},
      {"shadow_2020/shadowhand_motor.urdf", shadow_order("rh_")},
      {"unitree_dex3/dex3_1_r.urdf",
       {"right_hand_thumb_0_joint", "right_hand_thumb_1_joint", "right_hand_thumb_2_joint",
        "right_hand_middle_0_joint", "right_hand_middle_1_joint", "right_hand_index_0_joint",
        "right_hand_index_1_joint"}},
  };
  return orders;
}

TEST(RealRobotDofOrder, MatchesTheOrderReadOffTheFiles) {
  for (const RealDofOrder& expected : real_dof_orders()) {
    SCOPED_TRACE(expected.file);
    auto robot = UrdfRobot::from_file(kova::testing::test_robot(expected.file));
    ASSERT_TRUE(robot) << robot.error();
    auto wrapper = RobotWrapper::create(std::move(*robot));
    ASSERT_TRUE(wrapper) << wrapper.error();
    EXPECT_EQ(wrapper->dof_joint_names(), expected.order);
    EXPECT_EQ(wrapper->joint_limits().size(), expected.order.size());
  }
}

TEST(RealRobotDofOrder, LimitsReadOffTheFile) {
  const auto path = kova::testing::test_robot("inspire/FTP_right_hand.urdf");
  auto robot = UrdfRobot::from_file(path);
  ASSERT_TRUE(robot) << robot.error();
  auto wrapper = RobotWrapper::create(std::move(*robot));
  ASSERT_TRUE(wrapper) << wrapper.error();
  // right_thumb_1_joint: lower 0, upper 1.1641; right_thumb_3_joint mimics, so unbounded.
  EXPECT_EQ(wrapper->joint_limits()[0], std::make_pair(0.0, 1.1641));
  EXPECT_EQ(wrapper->joint_limits()[2], std::make_pair(-10000.0, 10000.0));
}

}  // namespace
