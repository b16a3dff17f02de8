#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "kova/retargeting_config.hpp"

namespace {

using kova::RetargetingConfig;
using kova::RetargetingType;
using kova_config_test::TempDir;

// A valid position section; `extra` lines are appended inside the section.
std::string position_section(const std::string& extra) {
  return "retargeting:\n"
         "  type: position\n"
         "  urdf_path: hand.urdf\n"
         "  target_link_names: [a, b]\n"
         "  target_link_human_indices: [4, 8]\n" +
         extra;
}

class ConfigLoad : public ::testing::Test {
 protected:
  kova::Result<RetargetingConfig> load(const std::string& text) {
    return RetargetingConfig::load_from_file(dir_.write("config.yml", text));
  }
  RetargetingConfig load_ok(const std::string& text) {
    auto config = load(text);
    EXPECT_TRUE(config.has_value()) << config.error();
    return config ? std::move(*config) : RetargetingConfig{};
  }
  std::string load_error(const std::string& text) {
    auto config = load(text);
    EXPECT_FALSE(config.has_value());
    return config ? std::string() : config.error();
  }
  // The value a scalar written as `value` gives the number key `key`.
  double number_key(const std::string& key, const std::string& value) {
    return load_ok(position_section("  " + key + ": " + value + "\n")).*member_of(key);
  }
  static double RetargetingConfig::*member_of(const std::string& key) {
    if (key == "scaling_factor") return &RetargetingConfig::scaling_factor;
    if (key == "normal_delta") return &RetargetingConfig::normal_delta;
    if (key == "huber_delta") return &RetargetingConfig::huber_delta;
    if (key == "project_dist") return &RetargetingConfig::project_dist;
    if (key == "escape_dist") return &RetargetingConfig::escape_dist;
    return &RetargetingConfig::low_pass_alpha;
  }

  TempDir dir_;
};

TEST_F(ConfigLoad, OnlyTypeAndPathGiveEveryDefault) {
  const std::string message = load_error("retargeting:\n  type: VECTOR\n  urdf_path: hand.urdf\n");
  EXPECT_EQ(message, "vector retargeting requires non-empty target_origin_link_names");

  // The same defaults, read from a DexPilot section that passes validation.
  const RetargetingConfig config = load_ok(
      "retargeting:\n  type: DexPilot\n  urdf_path: hand.urdf\n  wrist_link_name: w\n"
      "  finger_tip_link_names: [t1, t2]\n");
  EXPECT_EQ(config.type, RetargetingType::DexPilot);
  EXPECT_EQ(config.urdf_path, "hand.urdf");
  EXPECT_EQ(config.scaling_factor, 1.0);
  EXPECT_EQ(config.normal_delta, 0.004);
  EXPECT_EQ(config.huber_delta, 0.02);
  EXPECT_EQ(config.project_dist, 0.03);
  EXPECT_EQ(config.escape_dist, 0.05);
  EXPECT_EQ(config.low_pass_alpha, 0.1);
  EXPECT_TRUE(config.has_joint_limits);
  EXPECT_FALSE(config.add_dummy_free_joint);
  EXPECT_FALSE(config.ignore_mimic_joint);
  EXPECT_FALSE(config.target_link_human_indices.has_value());
  EXPECT_FALSE(config.target_joint_names.has_value());
  EXPECT_FALSE(config.target_link_names.has_value());
  EXPECT_EQ(config.wrist_link_name, "w");
  EXPECT_EQ(config.urdf_dir, dir_.path());
}

TEST_F(ConfigLoad, EveryKeyIsRead) {
  const RetargetingConfig config = load_ok(
      "other: ignored\n"
      "retargeting:\n"
      "  type: vector\n"
      "  urdf_path: robots/hand.urdf\n"
      "  add_dummy_free_joint: true\n"
      "  target_link_human_indices: [[0, 0], [4, 8]]\n"
      "  wrist_link_name: palm\n"
      "  target_link_names: [p]\n"
      "  target_joint_names: [j1, j2]\n"
      "  target_origin_link_names: [o1, o2]\n"
      "  target_task_link_names: [t1, t2]\n"
      "  finger_tip_link_names: [f]\n"
      "  scaling_factor: 1.2\n"
      "  normal_delta: 0.5\n"
      "  huber_delta: 0.25\n"
      "  project_dist: 0.125\n"
      "  escape_dist: 0.375\n"
      "  has_joint_limits: False\n"
      "  ignore_mimic_joint: TRUE\n"
      "  low_pass_alpha: 0.75\n"
      "  unknown_key: [1, 2]\n"
      "  urdf_dir: /elsewhere\n");
  EXPECT_EQ(config.type, RetargetingType::Vector);
  EXPECT_EQ(config.urdf_path, "robots/hand.urdf");
  EXPECT_TRUE(config.add_dummy_free_joint);
  EXPECT_EQ(config.target_link_human_indices, (std::vector<std::uint64_t>{0, 0, 4, 8}));
  EXPECT_EQ(config.wrist_link_name, "palm");
  EXPECT_EQ(config.target_link_names, (std::vector<std::string>{"p"}));
  EXPECT_EQ(config.target_joint_names, (std::vector<std::string>{"j1", "j2"}));
  EXPECT_EQ(config.target_origin_link_names, (std::vector<std::string>{"o1", "o2"}));
  EXPECT_EQ(config.target_task_link_names, (std::vector<std::string>{"t1", "t2"}));
  EXPECT_EQ(config.finger_tip_link_names, (std::vector<std::string>{"f"}));
  EXPECT_EQ(config.scaling_factor, 1.2);
  EXPECT_EQ(config.normal_delta, 0.5);
  EXPECT_EQ(config.huber_delta, 0.25);
  EXPECT_EQ(config.project_dist, 0.125);
  EXPECT_EQ(config.escape_dist, 0.375);
  EXPECT_FALSE(config.has_joint_limits);
  EXPECT_TRUE(config.ignore_mimic_joint);
  EXPECT_EQ(config.low_pass_alpha, 0.75);
  EXPECT_EQ(config.urdf_dir, dir_.path());  // never from the file
}

TEST_F(ConfigLoad, NumberKeysTakeIntegersAndFloats) {
  EXPECT_EQ(number_key("scaling_factor", "2"), 2.0);
  EXPECT_EQ(number_key("scaling_factor", "-3"), -3.0);
  EXPECT_EQ(number_key("scaling_factor", "0x10"), 16.0);
  EXPECT_EQ(number_key("scaling_factor", "0o10"), 8.0);
  EXPECT_EQ(number_key("scaling_factor", "0b11"), 3.0);
  EXPECT_EQ(number_key("scaling_factor", "1e-3"), 1e-3);
  EXPECT_EQ(number_key("scaling_factor", "18446744073709551615"), 18446744073709551615.0);
  EXPECT_EQ(number_key("normal_delta", ".inf"), INFINITY);
  EXPECT_EQ(number_key("huber_delta", "-.Inf"), -INFINITY);
  EXPECT_TRUE(std::isnan(number_key("low_pass_alpha", ".NaN")));
  EXPECT_EQ(number_key("project_dist", "!tagged 0.5"), 0.5);
  EXPECT_EQ(number_key("escape_dist", "!!float 1"), 1.0);
}

TEST_F(ConfigLoad, NumberKeysOfAnotherKindKeepTheirDefault) {
  for (const char* value : {"'2'", "\"1.0\"", "true", "~", "", "[1]", "{a: 1}", "one", "1_0"}) {
    EXPECT_EQ(number_key("scaling_factor", value), 1.0) << value;
    EXPECT_EQ(number_key("normal_delta", value), 0.004) << value;
    EXPECT_EQ(number_key("huber_delta", value), 0.02) << value;
    EXPECT_EQ(number_key("project_dist", value), 0.03) << value;
    EXPECT_EQ(number_key("escape_dist", value), 0.05) << value;
    EXPECT_EQ(number_key("low_pass_alpha", value), 0.1) << value;
  }
}

TEST_F(ConfigLoad, BooleanKeysTakeOnlyBooleanForms) {
  const auto limits = [&](const std::string& value) {
    return load_ok(position_section("  has_joint_limits: " + value + "\n")).has_joint_limits;
  };
  EXPECT_FALSE(limits("false"));
  EXPECT_FALSE(limits("FALSE"));
  EXPECT_FALSE(limits("!flag False"));
  for (const char* value : {"no", "off", "'false'", "0", "~", "[false]"}) {
    EXPECT_TRUE(limits(value)) << value;
  }
  const auto dummy = [&](const std::string& value) {
    return load_ok(position_section("  add_dummy_free_joint: " + value + "\n"))
        .add_dummy_free_joint;
  };
  EXPECT_TRUE(dummy("True"));
  for (const char* value : {"yes", "on", "1", "\"true\""}) EXPECT_FALSE(dummy(value)) << value;
  const auto ignore = [&](const std::string& value) {
    return load_ok(position_section("  ignore_mimic_joint: " + value + "\n")).ignore_mimic_joint;
  };
  EXPECT_TRUE(ignore("true"));
  EXPECT_FALSE(ignore("y"));
}

TEST_F(ConfigLoad, StringKeysTakeOnlyStrings) {
  const auto wrist = [&](const std::string& value) {
    return load_ok(position_section("  wrist_link_name: " + value + "\n")).wrist_link_name;
  };
  EXPECT_EQ(wrist("palm"), "palm");
  EXPECT_EQ(wrist("'12'"), "12");
  EXPECT_EQ(wrist("!!str 12"), "12");
  EXPECT_EQ(wrist("12"), std::nullopt);
  EXPECT_EQ(wrist("~"), std::nullopt);
  EXPECT_EQ(wrist("[palm]"), std::nullopt);
  EXPECT_EQ(load_error("retargeting:\n  type: position\n  urdf_path: 7\n"),
            "retargeting config: urdf_path must not be empty");
}

TEST_F(ConfigLoad, NameListsKeepOnlyStrings) {
  const auto joints = [&](const std::string& value) {
    return load_ok(position_section("  target_joint_names: " + value + "\n")).target_joint_names;
  };
  EXPECT_EQ(joints("[j1, 3, ~, [x], j2, '4', true, {a: b}]"),
            (std::vector<std::string>{"j1", "j2", "4"}));
  EXPECT_EQ(joints("[1, 2.5, null]"), std::vector<std::string>{});  // present but empty
  EXPECT_EQ(joints("[]"), std::vector<std::string>{});
  EXPECT_EQ(joints("j1"), std::nullopt);  // a scalar is not a list
  EXPECT_EQ(joints("{j1: 1}"), std::nullopt);
  EXPECT_EQ(joints("~"), std::nullopt);
  EXPECT_EQ(joints("!names [!n j1, j2]"), (std::vector<std::string>{"j1", "j2"}));

  const RetargetingConfig config = load_ok(
      "retargeting:\n  type: position\n  urdf_path: h.urdf\n"
      "  target_link_names:\n    - thumb\n    - 5\n    - ~\n    - index\n"
      "  target_link_human_indices: [4, 8]\n");
  EXPECT_EQ(config.target_link_names, (std::vector<std::string>{"thumb", "index"}));
}

TEST_F(ConfigLoad, IndicesFlatOrInRows) {
  const auto indices = [&](const std::string& value) {
    return load_ok(
               "retargeting:\n  type: dexpilot\n  urdf_path: h.urdf\n  wrist_link_name: w\n"
               "  finger_tip_link_names: [a, b]\n  target_link_human_indices: " +
               value + "\n")
        .target_link_human_indices;
  };
  using Indices = std::vector<std::uint64_t>;
  EXPECT_EQ(indices("[0, 4, 8]"), (Indices{0, 4, 8}));
  EXPECT_EQ(indices("[[0, 0, 0], [4, 8, 12]]"), (Indices{0, 0, 0, 4, 8, 12}));
  EXPECT_EQ(indices("[[1], [], [2, 3]]"), (Indices{1, 2, 3}));  // rows of any length
  EXPECT_EQ(indices("[]"), Indices{});
  EXPECT_EQ(indices("[[]]"), Indices{});
  EXPECT_EQ(indices("[0x10, 0b1, +2]"), (Indices{16, 1, 2}));
  EXPECT_EQ(indices("[9223372036854775807]"), (Indices{9223372036854775807ULL}));
  EXPECT_EQ(indices("!t [!t 1, 2]"), (Indices{1, 2}));
  // One element that does not qualify makes the whole key absent.
  for (const char* value : {"[[0, 0], 4]", "[1.5, 2]", "[1, 2.0]", "[1, '2']", "[1, ~]", "[1, [2]]",
                            "[9223372036854775808]", "[18446744073709551615]", "[1, -1]",
                            "[[0], [1, -4]]", "[[0], 1]", "[[0], [x]]", "4", "~", "{a: 1}"}) {
    EXPECT_EQ(indices(value), std::nullopt) << value;
  }
}

TEST_F(ConfigLoad, TaggedSectionAndDocumentAreRead) {
  const RetargetingConfig config = load_ok(
      "!root\nretargeting: !section\n  type: !t position\n  urdf_path: h.urdf\n"
      "  target_link_names: [a]\n  target_link_human_indices: [1]\n");
  EXPECT_EQ(config.type, RetargetingType::Position);
}

TEST_F(ConfigLoad, AnchorsAndAliasesAreRead) {
  const RetargetingConfig config = load_ok(
      "common: &links [thumb_tip, index_tip]\n"
      "retargeting:\n  type: position\n  urdf_path: &p h.urdf\n"
      "  target_link_names: *links\n  target_link_human_indices: [4, 8]\n  wrist_link_name: *p\n");
  EXPECT_EQ(config.target_link_names, (std::vector<std::string>{"thumb_tip", "index_tip"}));
  EXPECT_EQ(config.wrist_link_name, "h.urdf");
}

TEST_F(ConfigLoad, MissingSectionOrType) {
  EXPECT_EQ(load_error(""), "Missing 'retargeting' key in config");
  EXPECT_EQ(load_error("- retargeting\n"), "Missing 'retargeting' key in config");
  EXPECT_EQ(load_error("retargetting:\n  type: vector\n"), "Missing 'retargeting' key in config");
  EXPECT_EQ(load_error("'retargeting': {urdf_path: h.urdf}\n"),
            "Missing 'type' in retargeting config");
  EXPECT_EQ(load_error("retargeting: ~\n"), "Missing 'type' in retargeting config");
  EXPECT_EQ(load_error("retargeting: [type, vector]\n"), "Missing 'type' in retargeting config");
  EXPECT_EQ(load_error("retargeting:\n  type: 3\n"), "Missing 'type' in retargeting config");
  EXPECT_EQ(load_error("retargeting:\n  type: [vector]\n"), "Missing 'type' in retargeting config");
  EXPECT_EQ(load_error("retargeting:\n  type: vectors\n"), "Unknown retargeting type: vectors");
  EXPECT_EQ(load_error("retargeting:\n  type: ' Vector'\n"), "Unknown retargeting type:  vector");
}

TEST_F(ConfigLoad, ParseErrorsArePrefixed) {
  EXPECT_EQ(load_error("retargeting:\n  type: vector\n  type: position\n"),
            "YAML parse error: duplicate mapping key 'type' at line 3 column 3");
  EXPECT_EQ(load_error(position_section("") + "---\nretargeting: {}\n"),
            "YAML parse error: more than one document in the stream at line 6 column 1");
  EXPECT_EQ(load_error("retargeting: [\n").rfind("YAML parse error: ", 0), 0u);
  const std::string deep = "retargeting: " + std::string(10000, '[') + std::string(10000, ']');
  EXPECT_EQ(load_error(deep),
            "YAML parse error: collections nested deeper than 512 levels at line 1 column 525");
}

TEST_F(ConfigLoad, ReadFailures) {
  EXPECT_EQ(RetargetingConfig::load_from_file(dir_.path() / "absent.yml").error(),
            "Failed to read config: No such file or directory");
  EXPECT_EQ(RetargetingConfig::load_from_file(dir_.path()).error(),
            "Failed to read config: Is a directory");
  EXPECT_EQ(load_error("retargeting:\n  type: vector\n  urdf_path: h\xFF.urdf\n"),
            "Failed to read config: stream did not contain valid UTF-8");
  // An endless device is refused instead of filling memory.
  if (std::filesystem::exists("/dev/zero")) {
    EXPECT_EQ(RetargetingConfig::load_from_file("/dev/zero").error(),
              "Failed to read config: file is larger than 64 MiB");
  }
}

TEST_F(ConfigLoad, BaseDirectoryIsTheLexicalParent) {
  dir_.write("nested/dir/c.yml", position_section(""));
  const RetargetingConfig absolute =
      RetargetingConfig::load_from_file(dir_.path() / "nested/dir/c.yml").value();
  EXPECT_EQ(absolute.urdf_dir, dir_.path() / "nested/dir");

  kova_config_test::ScopedWorkingDirectory cwd(dir_.path());
  EXPECT_EQ(RetargetingConfig::load_from_file("nested/dir/c.yml").value().urdf_dir,
            std::filesystem::path("nested/dir"));
  EXPECT_EQ(RetargetingConfig::load_from_file("nested/dir/../dir/c.yml").value().urdf_dir,
            std::filesystem::path("nested/dir/../dir"));
  dir_.write("top.yml", position_section(""));
  EXPECT_EQ(RetargetingConfig::load_from_file("top.yml").value().urdf_dir, std::filesystem::path());
  EXPECT_EQ(RetargetingConfig::load_from_file("./top.yml").value().urdf_dir,
            std::filesystem::path("."));
}

TEST_F(ConfigLoad, ValidationRunsLast) {
  EXPECT_EQ(load_error("retargeting:\n  type: position\n  urdf_path: h.urdf\n"
                       "  target_link_names: [a, b]\n  target_link_human_indices: [1, -2]\n"),
            "position retargeting requires non-empty target_link_human_indices");
  EXPECT_EQ(load_error("retargeting:\n  type: position\n  urdf_path: h.urdf\n"
                       "  target_link_names: [a, b]\n  target_link_human_indices: [1, 2, 3]\n"),
            "position retargeting: target_link_human_indices has 3 entries but "
            "target_link_names has 2");
}

}  // namespace
