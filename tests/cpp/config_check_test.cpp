// The strict configuration checks: the document's keys and kinds, the record's values, and the
// names against the robot, so that a configuration without errors builds without a fault.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kova/closest_match.hpp"
#include "kova/config_check.hpp"
#include "test_data.hpp"

namespace {

using kova::ConfigIssue;
using kova::Severity;
using Strings = std::vector<std::string>;
using Keyed = std::vector<std::pair<Severity, std::string>>;

Keyed keyed(const std::vector<ConfigIssue>& issues) {
  Keyed out;
  for (const ConfigIssue& issue : issues) out.emplace_back(issue.severity, issue.key);
  return out;
}

const ConfigIssue& at_key(const std::vector<ConfigIssue>& issues, const std::string& key) {
  for (const ConfigIssue& issue : issues) {
    if (issue.key == key) return issue;
  }
  throw std::runtime_error("no issue at " + key);
}

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

kova::RetargetingConfig shipped(const std::string& method, const std::string& hand) {
  auto config = kova::RetargetingConfig::load_from_file(
      kova::testing::shipped_resource("configs/" + method + "/" + hand + ".yml"));
  if (!config) throw std::runtime_error(config.error());
  return *config;
}

// Whether the core's build refuses the configuration, by an error or by a fault.
bool build_refuses(kova::RetargetingConfig config) {
  try {
    return !std::move(config).build();
  } catch (const kova::InternalFault&) {
    return true;
  }
}

TEST(ClosestMatch, TypoTranspositionAndCaseFindTheNameFarOffNamesDoNot) {
  EXPECT_EQ(kova::edit_distance("thumb_tipp", "thumb_tip"), 1u);
  EXPECT_EQ(kova::edit_distance("tpi", "tip"), 1u);
  const Strings names{"ffj2", "FFJ2", "thumb_tip", "index_tip"};
  EXPECT_EQ(kova::closest_match("FFJ2", names), "FFJ2");
  EXPECT_EQ(kova::closest_match("Ffj2", names), "ffj2");
  EXPECT_EQ(kova::closest_match("thmub_tip", names), "thumb_tip");
  EXPECT_EQ(kova::closest_match("palm", names), std::nullopt);
  EXPECT_EQ(kova::join_names(Strings{"a", "b", "c"}, 2), "a, b and 1 more");
}

TEST(ConfigDocument, EveryValueTheReaderWouldReplaceIsListedWithItsLine) {
  const auto issues = kova::check_config_document(
      "retargetting: 1\n"
      "kova: {solver: LM, hand_frame: [[1, 0, 0, 0]], fingers: {pinky: {}}}\n"
      "retargeting:\n"
      "  type: vectr\n"
      "  scaling_factor: \"1.5\"\n"
      "  has_joint_limits: no\n"
      "  low_pass_alpha: 0.7x\n"
      "  target_joint_names: [0, j1]\n"
      "  target_link_names: palm\n"
      "  target_link_human_indices: [[0, 1], 2, [-1, 3]]\n"
      "  huber_delta:\n");
  EXPECT_EQ(keyed(issues), (Keyed{
                               {Severity::Error, "retargetting"},
                               {Severity::Error, "kova.solver"},
                               {Severity::Error, "kova.hand_frame"},
                               {Severity::Error, "kova.fingers.pinky"},
                               {Severity::Error, "retargeting.type"},
                               {Severity::Error, "retargeting.scaling_factor"},
                               {Severity::Error, "retargeting.has_joint_limits"},
                               {Severity::Error, "retargeting.low_pass_alpha"},
                               {Severity::Error, "retargeting.target_joint_names[0]"},
                               {Severity::Error, "retargeting.target_link_names"},
                               {Severity::Error, "retargeting.target_link_human_indices[1]"},
                               {Severity::Error, "retargeting.target_link_human_indices[2][0]"},
                               {Severity::Warning, "retargeting.huber_delta"},
                           }));
  const ConfigIssue& scaling = at_key(issues, "retargeting.scaling_factor");
  EXPECT_EQ(scaling.message,
            "scaling_factor must be a number; found the quoted string '1.5' (write 1.5 without "
            "quotes). Left as it is, it is read as the default 1.0.");
  EXPECT_EQ(scaling.line, 5u);
  EXPECT_EQ(at_key(issues, "retargeting.has_joint_limits").message,
            "has_joint_limits must be true or false; found 'no', which is not one of true and "
            "false. Left as it is, it is read as the default true.");
  const ConfigIssue& top = at_key(issues, "retargetting");
  EXPECT_EQ(top.closest, "retargeting");
  EXPECT_EQ(top.choices, (Strings{"retargeting", "kova"}));
  const ConfigIssue& type = at_key(issues, "retargeting.type");
  EXPECT_EQ(type.found, "vectr");
  EXPECT_EQ(type.closest, "vector");
  EXPECT_EQ(type.choices, (Strings{"vector", "position", "dexpilot"}));
  EXPECT_EQ(at_key(issues, "kova.solver").closest, "lm");
  EXPECT_EQ(at_key(issues, "retargeting.huber_delta").message,
            "huber_delta has no value; it is read as the default 0.02");
}

TEST(ConfigDocument, DocumentsThatAreNotConfigurations) {
  EXPECT_EQ(kova::check_config_document("a: [1\n").front().key, "");
  EXPECT_NE(kova::check_config_document("a: [1\n").front().message.find("YAML parse error"),
            std::string::npos);
  EXPECT_EQ(keyed(kova::check_config_document("- 1\n")), (Keyed{{Severity::Error, ""}}));
  EXPECT_EQ(keyed(kova::check_config_document("kova: {side: left}\n")),
            (Keyed{{Severity::Error, "retargeting"}}));
  EXPECT_EQ(keyed(kova::check_config_document("retargeting: {urdf_path: a.urdf}\n")),
            (Keyed{{Severity::Error, "retargeting.type"}}));
  EXPECT_EQ(keyed(kova::check_config_document("retargeting: 3\n")),
            (Keyed{{Severity::Error, "retargeting"}}));
}

TEST(ConfigCheck, EveryShippedConfigurationIsCleanAndBuilds) {
  std::size_t checked = 0;
  for (const char* method : {"position", "vector", "dexpilot"}) {
    const auto dir = kova::testing::shipped_resource("configs/" + std::string(method) +
                                                     "/kova_five_finger_24dof.yml")
                         .parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(keyed(kova::check_config_document(file_text(entry.path()))), Keyed{});
      auto config = kova::RetargetingConfig::load_from_file(entry.path());
      ASSERT_TRUE(config) << config.error();
      EXPECT_EQ(keyed(kova::check_config_with_robot(*config)), Keyed{});
      EXPECT_FALSE(build_refuses(*config));
      ++checked;
    }
  }
  EXPECT_EQ(checked, 3u * kova::testing::shipped_hand_count());
}

TEST(ConfigCheck, ValuesOutOfRangeAndNothingToDrive) {
  auto position = shipped("position", "kova_five_finger_24dof");
  position.huber_delta = 0.0;
  position.low_pass_alpha = std::numeric_limits<double>::quiet_NaN();
  position.normal_delta = std::numeric_limits<double>::infinity();
  position.target_joint_names = Strings{};
  EXPECT_EQ(keyed(kova::check_config(position)),
            (Keyed{
                {Severity::Error, "retargeting.normal_delta"},
                {Severity::Error, "retargeting.huber_delta"},
                {Severity::Warning, "retargeting.low_pass_alpha"},
                {Severity::Error, "retargeting.target_joint_names"},
            }));
  auto dexpilot = shipped("dexpilot", "kova_five_finger_24dof");
  dexpilot.huber_delta = 0.0;  // not used by DexPilot
  dexpilot.project_dist = 0.06;
  EXPECT_EQ(keyed(kova::check_config(dexpilot)),
            (Keyed{{Severity::Warning, "retargeting.project_dist"}}));
}

// Each mistake the build would refuse (most of them as an internal fault) is an error here.
TEST(ConfigCheck, NamesTheBuildWouldRefuseAreErrorsWithTheValidChoices) {
  auto link = shipped("position", "kova_five_finger_24dof");
  (*link.target_link_names)[1] = "ff_tipp";
  auto joint = shipped("vector", "kova_five_finger_24dof");
  joint.target_joint_names = Strings{"FFJ3", "ffj2", "WRJ1"};
  auto fixed = shipped("vector", "kova_five_finger_24dof");
  fixed.target_joint_names = Strings{"FFJ3", "ff_tip_joint"};
  auto dummy = shipped("vector", "kova_five_finger_24dof");
  dummy.add_dummy_free_joint = true;
  dummy.target_joint_names = Strings{"dummy_x_translation_joint", "FFJ3"};
  auto wrist = shipped("dexpilot", "kova_five_finger_24dof");
  wrist.wrist_link_name = "plam";
  auto tips = shipped("dexpilot", "kova_four_finger_16dof");
  tips.finger_tip_link_names = Strings{"thumb_tip"};

  for (const auto& config : {link, joint, fixed, wrist, tips}) {
    EXPECT_TRUE(build_refuses(config));
    EXPECT_TRUE(kova::has_errors(kova::check_config_with_robot(config)));
  }
  EXPECT_FALSE(kova::has_errors(kova::check_config_with_robot(dummy)));
  const std::string fixed_message = kova::check_config_with_robot(fixed).front().message;
  EXPECT_TRUE(fixed_message.starts_with(
      "Joint 'ff_tip_joint' of kova_five_finger_24dof.urdf is fixed; only moving joints"))
      << fixed_message;

  const auto link_issue = kova::check_config_with_robot(link).front();
  EXPECT_EQ(link_issue.key, "retargeting.target_link_names[1]");
  EXPECT_TRUE(
      link_issue.message.starts_with("Link 'ff_tipp' not found in kova_five_finger_24dof.urdf; did "
                                     "you mean 'ff_tip'? Links: forearm"))
      << link_issue.message;
  EXPECT_EQ(link_issue.choices.size(), 30u);
  const auto joint_issue = kova::check_config_with_robot(joint).front();
  EXPECT_EQ(joint_issue.key, "retargeting.target_joint_names[1]");
  EXPECT_EQ(joint_issue.closest, "FFJ2");
  EXPECT_EQ(kova::check_config_with_robot(wrist).front().closest, "palm");
}

TEST(ConfigCheck, MimicSourceThatIsNotDrivenNamesTheJointToAdd) {
  kova::RetargetingConfig config;
  config.type = kova::RetargetingType::Position;
  config.urdf_path = kova::testing::test_robot("inspire/FTP_right_hand.urdf").string();
  config.target_link_names = Strings{"right_index_force_sensor_3"};
  config.target_link_human_indices = std::vector<std::uint64_t>{8};
  config.target_joint_names =
      Strings{"right_thumb_1_joint",  "right_thumb_2_joint", "right_index_1_joint",
              "right_middle_1_joint", "right_ring_1_joint",  "right_little_1_joint"};
  EXPECT_TRUE(build_refuses(config));
  const auto issues = kova::check_config_with_robot(config);
  ASSERT_EQ(keyed(issues), (Keyed{{Severity::Error, "retargeting.target_joint_names"}}));
  EXPECT_EQ(
      issues[0].message,
      "Source joint right_thumb_3_joint not in target joints: mimic joint right_thumb_4_joint "
      "follows it; add 'right_thumb_3_joint' to target_joint_names (it follows "
      "right_thumb_2_joint itself, but a joint that others follow must be driven), or set "
      "ignore_mimic_joint: true to drive the mimic joints on their own");

  // The fix it names builds.
  config.target_joint_names->push_back(issues[0].expected);
  EXPECT_EQ(keyed(kova::check_config_with_robot(config)), Keyed{});
  EXPECT_FALSE(build_refuses(config));
}

TEST(ConfigCheck, RobotThatCannotBeFoundOrReadIsAnErrorAtUrdfPath) {
  auto config = shipped("position", "kova_five_finger_24dof");
  config.urdf_path = "no_such_hand.urdf";
  const auto issues = kova::check_config_with_robot(config);
  ASSERT_EQ(keyed(issues), (Keyed{{Severity::Error, "retargeting.urdf_path"}}));
  EXPECT_EQ(issues[0].message.rfind("URDF path no_such_hand.urdf does not exist (tried ", 0), 0u);
}

}  // namespace

namespace {

std::filesystem::path written(const std::string& name, const std::string& text) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
  std::ofstream(path) << text;
  return path;
}

TEST(ConfigFile, RecordedFingertipsAndFingerNamesAreCheckedAgainstTheRobot) {
  const std::string urdf = kova::testing::test_robot("shadow/shadowhand_motor.urdf").string();
  // Thumb and index tips swapped (one warning each), and a recorded tip the robot lacks.
  const std::string text = "retargeting:\n  type: position\n  urdf_path: " + urdf +
                           "\n  target_link_names: [rh_thtip, rh_fftip]\n"
                           "  target_link_human_indices: [8, 4]\n"
                           "kova:\n  fingers:\n    index: {tip: rh_fftop}\n";
  const auto path = written("kova_config_file_test.yml", text);
  const auto issues = kova::check_config_file(text, path);
  std::filesystem::remove(path);
  ASSERT_EQ(keyed(issues), (Keyed{{Severity::Warning, "retargeting.target_link_human_indices"},
                                  {Severity::Warning, "retargeting.target_link_human_indices"},
                                  {Severity::Error, "kova.fingers.index.tip"}}));
  EXPECT_NE(issues[0].message.find("link 'rh_thtip', which names the thumb, to landmark 8 on the "
                                   "index finger"),
            std::string::npos)
      << issues[0].message;
  EXPECT_EQ(issues[1].found, "4");
  EXPECT_EQ(issues[2].closest, "rh_fftip");
}

}  // namespace
