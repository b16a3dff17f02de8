#include "kova/urdf.hpp"

#include <unistd.h>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "test_data.hpp"

namespace {

using kova::UrdfRobot;

std::string robot_with(const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<robot name=\"r\">\n" + body + "\n</robot>\n";
}

std::string joint_with(const std::string& inside, const std::string& type = "revolute") {
  return robot_with("<link name=\"a\"/><link name=\"b\"/><joint name=\"j\" type=\"" + type +
                    "\"><parent link=\"a\"/><child link=\"b\"/>" + inside + "</joint>");
}

kova::JointSpec only_joint(const std::string& text) {
  auto robot = UrdfRobot::from_str(text);
  EXPECT_TRUE(robot) << robot.error();
  if (!robot || robot->joints.size() != 1) return {};
  return robot->joints.front();
}

std::string error_of(const std::string& text) {
  auto robot = UrdfRobot::from_str(text);
  return robot ? std::string("<parsed>") : robot.error();
}

// ---------------------------------------------------------------------------------------------
// Document structure

TEST(UrdfDocument, EmptyRobotHasNoLinksNoJointsAndNoRoot) {
  auto robot = UrdfRobot::from_str("<robot name=\"empty\"/>");
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->name, "empty");
  EXPECT_TRUE(robot->links.empty());
  EXPECT_TRUE(robot->joints.empty());
  EXPECT_FALSE(robot->root_link());
  EXPECT_FALSE(robot->parse_mimic_joints().has_mimic);
}

TEST(UrdfDocument, RobotNameDefaultsToUnnamed) {
  auto robot = UrdfRobot::from_str("<robot><link name=\"a\"/></robot>");
  ASSERT_TRUE(robot);
  EXPECT_EQ(robot->name, "unnamed");
}

TEST(UrdfDocument, OtherRootElementIsReported) {
  EXPECT_EQ(error_of("<model name=\"x\"><link name=\"a\"/></model>"), "No <robot> element found");
}

TEST(UrdfDocument, ElementsMatchByLocalNameAndAttributesByPlainName) {
  auto robot = UrdfRobot::from_str(
      "<xacro:robot xmlns:xacro=\"http://example.org/x\" name=\"ns\">"
      "<x:link name=\"a\"/><link xacro:name=\"ignored\" name=\"b\"/>"
      "<u:joint name=\"j\" type=\"prismatic\"><p:parent link=\"a\"/><q:child link=\"b\"/>"
      "<o:origin xyz=\"1 2 3\"/><k:axis xyz=\"0 0 1\"/></u:joint></xacro:robot>");
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->name, "ns");
  ASSERT_EQ(robot->links.size(), 2u);
  EXPECT_EQ(robot->links[1].name, "b");
  ASSERT_EQ(robot->joints.size(), 1u);
  EXPECT_EQ(robot->joints[0].parent, "a");
  EXPECT_EQ(robot->joints[0].origin(1, 3), 2.0);
  EXPECT_EQ(robot->joints[0].axis, Eigen::Vector3d(0, 0, 1));
}

TEST(UrdfDocument, PrefixedAttributeDoesNotCountAsName) {
  EXPECT_EQ(error_of(robot_with("<link x:name=\"a\"/>")), "Link missing name");
}

TEST(UrdfDocument, OnlyDirectChildrenOfRobotAreRead) {
  auto robot = UrdfRobot::from_str(
      robot_with("<link name=\"a\"/><gazebo><link name=\"hidden\"/><joint name=\"nested\">"
                 "<parent link=\"a\"/><child link=\"hidden\"/></joint></gazebo>"
                 "<!-- <link name=\"comment\"/> --><?pi data?>text<material name=\"m\"/>"));
  ASSERT_TRUE(robot) << robot.error();
  ASSERT_EQ(robot->links.size(), 1u);
  EXPECT_TRUE(robot->joints.empty());
}

TEST(UrdfDocument, FirstTopLevelRobotElementIsUsed) {
  auto robot = UrdfRobot::from_str("<!-- lead --><robot name=\"first\"/>");
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->name, "first");
}

TEST(UrdfDocument, ListsKeepDuplicatesAndIndicesKeepTheLaterEntry) {
  auto robot = UrdfRobot::from_str(robot_with(
      "<link name=\"a\"/><link name=\"b\"/><link name=\"a\"/>"
      "<joint name=\"j\" type=\"fixed\"><parent link=\"a\"/><child link=\"b\"/></joint>"
      "<joint name=\"j\" type=\"revolute\"><parent link=\"b\"/><child link=\"c\"/></joint>"));
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->links.size(), 3u);
  EXPECT_EQ(robot->link_index.at("a"), 2u);
  EXPECT_EQ(robot->link_index.at("b"), 1u);
  ASSERT_EQ(robot->joints.size(), 2u);
  EXPECT_EQ(robot->joint_index.at("j"), 1u);
  EXPECT_EQ(robot->joints[1].joint_type, "revolute");
}

TEST(UrdfDocument, RebuildIndicesFollowsTheLists) {
  auto robot = UrdfRobot::from_str(robot_with("<link name=\"a\"/>"));
  ASSERT_TRUE(robot);
  robot->links.push_back({"z"});
  robot->rebuild_indices();
  EXPECT_EQ(robot->link_index.size(), 2u);
  EXPECT_EQ(robot->link_index.at("z"), 1u);
}

// ---------------------------------------------------------------------------------------------
// Errors

TEST(UrdfErrors, MalformedXmlGivesPosition) {
  const std::string error = error_of("<robot>\n  <link name=\"a\">\n</robot>");
  EXPECT_TRUE(error.starts_with("XML parse error: ")) << error;
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

TEST(UrdfErrors, ColumnCountsCharactersNotBytes) {
  const std::string error = error_of("<robot name=\"é\"><<");
  EXPECT_TRUE(error.starts_with("XML parse error: ")) << error;
  EXPECT_NE(error.find("line 1, column 18"), std::string::npos) << error;
}

TEST(UrdfErrors, EmptyTextIsAParseError) {
  EXPECT_TRUE(error_of("").starts_with("XML parse error: "));
  EXPECT_TRUE(error_of("   ").starts_with("XML parse error: "));
}

TEST(UrdfErrors, DoctypeIsRefused) {
  const std::string error = error_of(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE robot [<!ENTITY n \"x\">]>\n<robot name=\"&n;\"/>");
  EXPECT_EQ(error,
            "XML parse error: document type declarations are not allowed at line 2, column 1");
  EXPECT_TRUE(error_of("<robot/>\n<!DOCTYPE robot>").starts_with("XML parse error: "));
  EXPECT_TRUE(error_of("<robot><!DOCTYPE robot></robot>").starts_with("XML parse error: "));
}

TEST(UrdfErrors, NulCharacterIsRefused) {
  const std::string text("<robot name=\"a\"/>\0<junk", 23);
  EXPECT_EQ(error_of(text), "XML parse error: NUL character is not allowed at line 1, column 18");
}

TEST(UrdfErrors, MissingNamesAndLinks) {
  EXPECT_EQ(error_of(robot_with("<link/>")), "Link missing name");
  EXPECT_EQ(error_of(robot_with("<joint type=\"fixed\"/>")), "Joint missing name");
  EXPECT_EQ(error_of(robot_with("<joint name=\"j\"><child link=\"b\"/></joint>")),
            "Joint j missing parent link");
  EXPECT_EQ(error_of(robot_with("<joint name=\"j\"><parent/><child link=\"b\"/></joint>")),
            "Joint j missing parent link");
  EXPECT_EQ(error_of(robot_with("<joint name=\"j\"><parent link=\"a\"/></joint>")),
            "Joint j missing child link");
  EXPECT_EQ(error_of(robot_with("<joint name=\"j\"><parent link=\"a\"/><child name=\"b\"/>"
                                "</joint>")),
            "Joint j missing child link");
}

TEST(UrdfErrors, OnlyTheFirstParentElementCounts) {
  EXPECT_EQ(error_of(robot_with("<joint name=\"j\"><parent/><parent link=\"a\"/>"
                                "<child link=\"b\"/></joint>")),
            "Joint j missing parent link");
}

TEST(UrdfErrors, FirstProblemInDocumentOrderWins) {
  EXPECT_EQ(error_of(robot_with("<joint name=\"j\"/><link/>")), "Joint j missing parent link");
  EXPECT_EQ(error_of(robot_with("<link/><joint name=\"j\"/>")), "Link missing name");
  // Within a joint the name is read before the links.
  EXPECT_EQ(error_of(robot_with("<joint/>")), "Joint missing name");
}

// ---------------------------------------------------------------------------------------------
// Joints: type, origin, axis

TEST(UrdfJoint, TypeIsKeptAsWrittenAndDefaultsToFixed) {
  EXPECT_EQ(only_joint(joint_with("", "Floating-ish")).joint_type, "Floating-ish");
  auto robot = UrdfRobot::from_str(
      robot_with("<joint name=\"j\"><parent link=\"a\"/><child link=\"b\"/></joint>"));
  ASSERT_TRUE(robot);
  EXPECT_EQ(robot->joints[0].joint_type, "fixed");
}

TEST(UrdfJoint, NoOriginMeansIdentity) {
  EXPECT_EQ(only_joint(joint_with("")).origin, kova::Transform::Identity());
}

TEST(UrdfJoint, OriginTranslationFollowsNumberListRules) {
  EXPECT_EQ(only_joint(joint_with("<origin xyz=\"1 2\"/>")).origin.col(3),
            Eigen::Vector4d(0, 0, 0, 1));
  EXPECT_EQ(only_joint(joint_with("<origin xyz=\"1 x 3\"/>")).origin.col(3),
            Eigen::Vector4d(1, 0, 3, 1));
  EXPECT_EQ(only_joint(joint_with("<origin xyz=\"1 2 3 4\"/>")).origin.col(3),
            Eigen::Vector4d(1, 2, 3, 1));
  EXPECT_EQ(only_joint(joint_with("<origin xyz=\"1&#x2003;2&#xa0;3\"/>")).origin.col(3),
            Eigen::Vector4d(1, 2, 3, 1));
  EXPECT_EQ(only_joint(joint_with("<origin rpy=\"0 0 0\"/>")).origin, kova::Transform::Identity());
}

TEST(UrdfJoint, OriginRotationIsYawPitchRollAboutFixedAxes) {
  const double roll = 0.3;
  const double pitch = -0.7;
  const double yaw = 1.1;
  const kova::Transform origin =
      only_joint(joint_with("<origin xyz=\"0.1 0.2 0.3\" rpy=\"0.3 -0.7 1.1\"/>")).origin;
  const Eigen::Matrix3d expected = (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
                                    Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                                    Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
                                       .toRotationMatrix();
  EXPECT_TRUE((origin.topLeftCorner<3, 3>().isApprox(expected, 1e-14)));
  EXPECT_EQ(origin.row(3), Eigen::RowVector4d(0, 0, 0, 1));
  EXPECT_EQ(origin.col(3).head<3>(), Eigen::Vector3d(0.1, 0.2, 0.3));
  // Rotating by a quarter turn of yaw maps x onto y.
  const kova::Transform quarter =
      only_joint(joint_with("<origin rpy=\"0 0 1.5707963267948966\"/>")).origin;
  EXPECT_NEAR(quarter(1, 0), 1.0, 1e-15);
  EXPECT_NEAR(quarter(0, 1), -1.0, 1e-15);
}

TEST(UrdfJoint, AxisDefaultsAndIsNotNormalised) {
  EXPECT_EQ(only_joint(joint_with("")).axis, Eigen::Vector3d(1, 0, 0));
  EXPECT_EQ(only_joint(joint_with("<axis/>")).axis, Eigen::Vector3d(1, 0, 0));
  EXPECT_EQ(only_joint(joint_with("<axis xyz=\"0 1\"/>")).axis, Eigen::Vector3d(0, 0, 0));
  EXPECT_EQ(only_joint(joint_with("<axis xyz=\"0 0 2\"/>")).axis, Eigen::Vector3d(0, 0, 2));
  EXPECT_EQ(only_joint(joint_with("<axis xyz=\"0 0 1\"/><axis xyz=\"1 1 1\"/>")).axis,
            Eigen::Vector3d(0, 0, 1));
}

// ---------------------------------------------------------------------------------------------
// Limits and mimic

TEST(UrdfLimit, AbsentWithoutElement) {
  EXPECT_FALSE(only_joint(joint_with("")).limit);
}

TEST(UrdfLimit, ReadsAllFourValues) {
  const auto limit =
      only_joint(joint_with("<limit lower=\"-1.5\" upper=\"2e-1\" effort=\"3\" velocity=\"4\"/>"))
          .limit;
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->lower, -1.5);
  EXPECT_EQ(limit->upper, 0.2);
  EXPECT_EQ(limit->effort, 3.0);
  EXPECT_EQ(limit->velocity, 4.0);
}

TEST(UrdfLimit, OnlyEffortStillCountsAsLimit) {
  const auto limit = only_joint(joint_with("<limit effort=\"5\"/>")).limit;
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->lower, 0.0);
  EXPECT_EQ(limit->upper, 0.0);
  EXPECT_EQ(limit->effort, 5.0);
  EXPECT_FALSE(limit->velocity);
}

TEST(UrdfLimit, SingleNumbersAreNotTrimmed) {
  const auto limit = only_joint(joint_with("<limit lower=\" -1.0\" upper=\"1.0 \" "
                                           "effort=\"0x10\" velocity=\"abc\"/>"))
                         .limit;
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->lower, 0.0);
  EXPECT_EQ(limit->upper, 0.0);
  EXPECT_FALSE(limit->effort);
  EXPECT_FALSE(limit->velocity);
}

TEST(UrdfLimit, AcceptsInfinity) {
  const auto limit = only_joint(joint_with("<limit lower=\"-inf\" upper=\"Infinity\"/>")).limit;
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->lower, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(limit->upper, std::numeric_limits<double>::infinity());
}

TEST(UrdfMimic, ReadsValuesAndDefaults) {
  const auto mimic =
      only_joint(joint_with("<mimic joint=\"src\" multiplier=\"-1\" offset=\"0.1\"/>")).mimic;
  ASSERT_TRUE(mimic);
  EXPECT_EQ(mimic->joint, "src");
  EXPECT_EQ(mimic->multiplier, -1.0);
  EXPECT_EQ(mimic->offset, 0.1);

  const auto defaulted = only_joint(joint_with("<mimic multiplier=\"many\"/>")).mimic;
  ASSERT_TRUE(defaulted);
  EXPECT_EQ(defaulted->joint, "");
  EXPECT_EQ(defaulted->multiplier, 1.0);
  EXPECT_EQ(defaulted->offset, 0.0);
  EXPECT_FALSE(only_joint(joint_with("")).mimic);
}

TEST(UrdfMimic, TableListsEveryMimicJointInOrderIncludingFixedOnes) {
  auto robot = UrdfRobot::from_str(robot_with(
      "<link name=\"a\"/>"
      "<joint name=\"m1\" type=\"revolute\"><parent link=\"a\"/><child link=\"b\"/>"
      "<mimic joint=\"s1\" multiplier=\"2\" offset=\"0.5\"/></joint>"
      "<joint name=\"plain\" type=\"revolute\"><parent link=\"a\"/><child link=\"c\"/></joint>"
      "<joint name=\"m2\" type=\"fixed\"><parent link=\"a\"/><child link=\"d\"/>"
      "<mimic joint=\"s2\"/></joint>"));
  ASSERT_TRUE(robot) << robot.error();
  const kova::MimicJointTable table = robot->parse_mimic_joints();
  EXPECT_TRUE(table.has_mimic);
  EXPECT_EQ(table.mimic_joint_names, (std::vector<std::string>{"m1", "m2"}));
  EXPECT_EQ(table.source_joint_names, (std::vector<std::string>{"s1", "s2"}));
  EXPECT_EQ(table.multipliers, (std::vector<double>{2.0, 1.0}));
  EXPECT_EQ(table.offsets, (std::vector<double>{0.5, 0.0}));
}

// ---------------------------------------------------------------------------------------------
// Root link

UrdfRobot chain(const std::vector<std::string>& link_order) {
  std::string body;
  for (const auto& link : link_order) body += "<link name=\"" + link + "\"/>";
  body +=
      "<joint name=\"ab\"><parent link=\"A\"/><child link=\"B\"/></joint>"
      "<joint name=\"bc\"><parent link=\"B\"/><child link=\"C\"/></joint>";
  auto robot = UrdfRobot::from_str(robot_with(body));
  EXPECT_TRUE(robot);
  return robot ? std::move(*robot) : UrdfRobot{};
}

TEST(UrdfRoot, FirstLinkThatIsNoJointsChild) {
  EXPECT_EQ(chain({"C", "B", "A"}).root_link(), "A");
  EXPECT_EQ(chain({"X", "A", "B", "C"}).root_link(), "X");
  EXPECT_FALSE(chain({"B", "C"}).root_link());
}

// ---------------------------------------------------------------------------------------------
// Files

TEST(UrdfFile, MissingFileReportsTheSystemError) {
  auto robot = UrdfRobot::from_file("/nonexistent/dir/robot.urdf");
  ASSERT_FALSE(robot);
  EXPECT_EQ(robot.error(), "Failed to read URDF: No such file or directory");
}

TEST(UrdfFile, DirectoryIsAReadFailure) {
  auto robot = UrdfRobot::from_file(std::filesystem::temp_directory_path());
  ASSERT_FALSE(robot);
  EXPECT_EQ(robot.error(), "Failed to read URDF: Is a directory");
}

class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    path_ =
        std::filesystem::temp_directory_path() / ("kova_urdf_test_" + std::to_string(::getpid()) +
                                                  "_" + std::to_string(counter_++) + ".urdf");
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

TEST(UrdfFile, ReadsValidFile) {
  TempFile file("\xef\xbb\xbf<robot name=\"caf\xc3\xa9\"><link name=\"a\"/></robot>");
  auto robot = UrdfRobot::from_file(file.path());
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->name, "caf\xc3\xa9");
  EXPECT_EQ(robot->links.size(), 1u);
}

TEST(UrdfFile, InvalidUtf8IsAReadFailure) {
  for (const std::string& bytes :
       {std::string("<robot name=\"\xff\"/>"), std::string("<robot name=\"\xc0\xaf\"/>"),
        std::string("<robot name=\"\xed\xa0\x80\"/>"), std::string("<robot/>\xe2\x82")}) {
    TempFile file(bytes);
    auto robot = UrdfRobot::from_file(file.path());
    ASSERT_FALSE(robot);
    EXPECT_EQ(robot.error(), "Failed to read URDF: stream did not contain valid UTF-8");
  }
}

TEST(UrdfFile, ParseErrorsPassThrough) {
  TempFile file("<robot><link/></robot>");
  auto robot = UrdfRobot::from_file(file.path());
  ASSERT_FALSE(robot);
  EXPECT_EQ(robot.error(), "Link missing name");
}

// ---------------------------------------------------------------------------------------------
// Real robot files (counts, root and mimic table read off the files)

struct RealRobotFacts {
  const char* file;
  std::size_t links;
  std::size_t joints;
  const char* root;
  std::vector<std::string> mimic_joints;
  std::vector<std::string> mimic_sources;
  std::vector<double> multipliers;
};

const std::vector<RealRobotFacts>& real_robot_facts() {
  static const std::vector<RealRobotFacts> facts = {
      {"ability/ability_hand_left_large.urdf",
       46,
       45,
       "base",
       {"index_q2", "middle_q2", "ring_q2", "pinky_q2"},
       {"index_q1", "middle_q1", "ring_q1", "pinky_q1"},
       {1.05851325, 1.05851325, 1.05851325, 1.05851325}},
      {"ability/ability_hand_right_large.urdf",
       46,
       45,
       "base",
       {"index_q2", "middle_q2", "ring_q2", "pinky_q2"},
       {"index_q1", "middle_q1", "ring_q1", "pinky_q1"},
       {1.05851325, 1.05851325, 1.05851325, 1.05851325}},
      {"allegro/allegro_hand_description_left.urdf", 21, 20, "base_link", {}, {}, {}},
      {"allegro/allegro_hand_description_right.urdf", 21, 20, "base_link", {}, {}, {}},
      {"allegro_drake/allegro_hand_description_right.urdf", 22, 21, "hand_root", {}, {}, {}},
      {"franka/panda.urdf",
       12,
       11,
       "panda_link0",
       {"panda_finger_joint2"},
       {"panda_finger_joint1"},
       {1.0}},
      {"franka_drake/hand.urdf", 3, 2, "panda_hand", {}, {}, {}},
      {"inspire/DFQ_left_hand.urdf",
       14,
       13,
       "left_wrist_yaw_link",
       {"L_thumb_intermediate_joint", "L_thumb_distal_joint", "L_index_intermediate_joint",
        "L_middle_intermediate_joint", "L_ring_intermediate_joint", "L_pinky_intermediate_joint"},
       {"L_thumb_proximal_pitch_joint", "L_thumb_proximal_pitch_joint", "L_index_proximal_joint",
        "L_middle_proximal_joint", "L_ring_proximal_joint", "L_pinky_proximal_joint"},
       {1.6, 2.4, 1, 1, 1, 1}},
      {"inspire/DFQ_right_hand.urdf",
       14,
       13,
       "right_wrist_yaw_link",
       {"R_thumb_intermediate_joint", "R_thumb_distal_joint", "R_index_intermediate_joint",
        "R_middle_intermediate_joint", "R_ring_intermediate_joint", "R_pinky_intermediate_joint"},
       {"R_thumb_proximal_pitch_joint", "R_thumb_proximal_pitch_joint", "R_index_proximal_joint",
        "R_middle_proximal_joint", "R_ring_proximal_joint", "R_pinky_proximal_joint"},
       {1.6, 2.4, 1, 1, 1, 1}},
      {"inspire/FTP_left_hand.urdf",
       31,
       30,
       "left_wrist_yaw_link",
       {"left_thumb_3_joint", "left_thumb_4_joint", "left_index_2_joint", "left_middle_2_joint",
        "left_ring_2_joint", "left_little_2_joint"},
       {"left_thumb_2_joint", "left_thumb_3_joint", "left_index_1_joint", "left_middle_1_joint",
        "left_ring_1_joint", "left_little_1_joint"},
       {0.8024, 0.9487, 1.0843, 1.0843, 1.0843, 1.0843}},
      {"inspire/FTP_right_hand.urdf",
       31,
       30,
       "right_wrist_yaw_link",
       {"right_thumb_3_joint", "right_thumb_4_joint", "right_index_2_joint", "right_middle_2_joint",
        "right_ring_2_joint", "right_little_2_joint"},
       {"right_thumb_2_joint", "right_thumb_3_joint", "right_index_1_joint", "right_middle_1_joint",
        "right_ring_1_joint", "right_little_1_joint"},
       {0.8024, 0.9487, 1.0843, 1.0843, 1.0843, 1.0843}},
      {"jaco_hand/j2s7s300_hand.urdf", 8, 7, "hand_base", {}, {}, {}},
      {"leap/robot.urdf", 17, 16, "palm_lower", {}, {}, {}},
      {"robotiq_2f85/robotiq_2f_85.urdf",
       12,
       11,
       "base_link",
       {"robotiq_2f_85_right_follower_joint", "robotiq_2f_85_right_spring_link_joint",
        "robotiq_2f_85_left_driver_joint", "robotiq_2f_85_left_follower_joint",
        "robotiq_2f_85_left_spring_link_joint"},
       {"robotiq_2f_85_right_driver_joint", "robotiq_2f_85_right_driver_joint",
        "robotiq_2f_85_right_driver_joint", "robotiq_2f_85_right_driver_joint",
        "robotiq_2f_85_right_driver_joint"},
       {-1, 1, 1, -1, 1}},
      {"schunk_svh/svh.urdf",
       29,
       28,
       "base_link",
       {"j5", "j3", "j4", "j14", "j15", "j8b", "j12", "j16", "j9b", "j13", "j17"},
       {"j1_wrist", "j2_thumb", "j2_thumb", "j10_forefinger2", "j11_middlefinger2", "j6b_spread",
        "j8a_ringfinger", "j8a_ringfinger", "j6b_spread", "j9a_littlefinger", "j9a_littlefinger"},
       {1, 1.01511, 1.44889, 1.0450, 1.000, 1, 1.3588, 1.42093, 2.02164, 1.35880, 1.42307}},
      {"shadow/shadowhand_motor.urdf", 33, 32, "world", {}, {}, {}},
      {"shadow/shadowhand_motor_left.urdf", 33, 32, "world", {}, {}, {}},
      {"shadow_2020/shadowhand_motor.urdf", 33, 32, "world", {}, {}, {}},
      {"unitree_dex3/dex3_1_r.urdf", 8, 7, "right_hand_palm_link", {}, {}, {}},
  };
  return facts;
}

TEST(UrdfRealRobots, EveryFileParsesWithTheExpectedStructure) {
  for (const RealRobotFacts& facts : real_robot_facts()) {
    SCOPED_TRACE(facts.file);
    const auto path = kova::testing::test_robot(facts.file);
    auto robot = UrdfRobot::from_file(path);
    ASSERT_TRUE(robot) << robot.error();
    EXPECT_EQ(robot->links.size(), facts.links);
    EXPECT_EQ(robot->joints.size(), facts.joints);
    EXPECT_EQ(robot->root_link(), facts.root);
    const kova::MimicJointTable table = robot->parse_mimic_joints();
    EXPECT_EQ(table.has_mimic, !facts.mimic_joints.empty());
    EXPECT_EQ(table.mimic_joint_names, facts.mimic_joints);
    EXPECT_EQ(table.source_joint_names, facts.mimic_sources);
    EXPECT_EQ(table.multipliers, facts.multipliers);
    EXPECT_EQ(table.offsets, std::vector<double>(facts.mimic_joints.size(), 0.0));
  }
}

TEST(UrdfRealRobots, EveryUrdfInTheDirectoryParses) {
  const auto dir = kova::testing::test_robots_dir();
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().extension() != ".urdf") continue;
    ++count;
    auto robot = UrdfRobot::from_file(entry.path());
    EXPECT_TRUE(robot) << entry.path() << ": " << robot.error();
  }
  EXPECT_EQ(count, real_robot_facts().size());
}

TEST(UrdfRealRobots, LicenceCommentBeforeDeclarationChangesNothing) {
  const auto with_comment = kova::testing::test_robot("shadow/shadowhand_motor.urdf");
  const auto without_comment = kova::testing::test_robot("shadow_2020/shadowhand_motor.urdf");
  auto a = UrdfRobot::from_file(with_comment);
  auto b = UrdfRobot::from_file(without_comment);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->joints.size(), b->joints.size());
  for (std::size_t k = 0; k < a->joints.size(); ++k) {
    EXPECT_EQ(a->joints[k].name, b->joints[k].name);
    EXPECT_EQ(a->joints[k].origin, b->joints[k].origin);
    EXPECT_EQ(a->joints[k].axis, b->joints[k].axis);
  }
}

TEST(UrdfRealRobots, PandaFingerValuesReadOffTheFile) {
  const auto path = kova::testing::test_robot("franka/panda.urdf");
  auto robot = UrdfRobot::from_file(path);
  ASSERT_TRUE(robot) << robot.error();
  const kova::JointSpec& finger = robot->joints[robot->joint_index.at("panda_finger_joint1")];
  EXPECT_EQ(finger.joint_type, "prismatic");
  EXPECT_EQ(finger.parent, "panda_hand");
  EXPECT_EQ(finger.child, "panda_leftfinger");
  EXPECT_EQ(finger.axis, Eigen::Vector3d(0, 1, 0));
  EXPECT_EQ(finger.origin.col(3), Eigen::Vector4d(0, 0, 0.0584, 1));
  ASSERT_TRUE(finger.limit);
  EXPECT_EQ(finger.limit->lower, 0.0);
  EXPECT_EQ(finger.limit->upper, 0.04);
  EXPECT_EQ(finger.limit->effort, 20.0);
  EXPECT_EQ(finger.limit->velocity, 0.2);
}

}  // namespace
