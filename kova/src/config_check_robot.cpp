#include "kova/config_check.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "kova/closest_match.hpp"
#include "kova/robot_file.hpp"
#include "unicode_text.hpp"

namespace kova {
namespace {

constexpr std::size_t kMaxChoices = 256;

struct RobotNames {
  std::vector<std::string> links;
  std::vector<std::string> moving_joints;  // DOF joints, URDF order
  std::unordered_set<std::string> link_set;
  std::unordered_set<std::string> moving_set;
  std::unordered_set<std::string> fixed_set;
};

RobotNames robot_names(const UrdfRobot& robot) {
  RobotNames names;
  for (const LinkSpec& link : robot.links) {
    if (names.link_set.insert(link.name).second) names.links.push_back(link.name);
  }
  for (const JointSpec& joint : robot.joints) {
    if (joint.joint_type == "fixed") {
      names.fixed_set.insert(joint.name);
    } else if (names.moving_set.insert(joint.name).second) {
      names.moving_joints.push_back(joint.name);
    }
  }
  return names;
}

class RobotChecker {
 public:
  RobotChecker(const RetargetingConfig& config, const RobotNames& names, std::string_view label)
      : config_(config), names_(names), label_(label) {}

  std::vector<ConfigIssue> issues;

  void check_links() {
    switch (config_.type) {
      case RetargetingType::Position:
        check_link_list("target_link_names", config_.target_link_names);
        break;
      case RetargetingType::Vector:
        check_link_list("target_origin_link_names", config_.target_origin_link_names);
        check_link_list("target_task_link_names", config_.target_task_link_names);
        break;
      case RetargetingType::DexPilot:
        if (config_.wrist_link_name && !config_.wrist_link_name->empty()) {
          check_link("retargeting.wrist_link_name", *config_.wrist_link_name);
        }
        check_link_list("finger_tip_link_names", config_.finger_tip_link_names);
        break;
    }
  }

  void check_joints() {
    if (!config_.target_joint_names) return;
    const std::vector<std::string>& joints = *config_.target_joint_names;
    for (std::size_t i = 0; i < joints.size(); ++i) {
      const std::string& name = joints[i];
      if (names_.moving_set.contains(name)) continue;
      const std::string key = "retargeting.target_joint_names[" + std::to_string(i) + "]";
      if (names_.fixed_set.contains(name)) {
        not_found(key, name,
                  "Joint '" + name + "' of " + std::string(label_) +
                      " is fixed; only moving joints can be driven",
                  names_.moving_joints, "Moving joints");
      } else {
        not_found(key, name, "Joint '" + name + "' not found in " + std::string(label_),
                  names_.moving_joints, "Moving joints");
      }
    }
  }

  // The build couples each mimic joint to its source joint: both must be moving joints and the
  // source must be driven.
  void check_mimic(const MimicJointTable& table) {
    if (!table.has_mimic || config_.ignore_mimic_joint) return;
    std::unordered_map<std::string, std::string> followed;  // mimic joint -> its source
    for (std::size_t i = 0; i < table.mimic_joint_names.size(); ++i) {
      followed.emplace(table.mimic_joint_names[i], table.source_joint_names[i]);
    }
    std::unordered_set<std::string> reported;
    for (std::size_t i = 0; i < table.mimic_joint_names.size(); ++i) {
      const std::string& mimic = table.mimic_joint_names[i];
      const std::string& source = table.source_joint_names[i];
      if (!names_.moving_set.contains(mimic)) {
        issues.push_back(make_issue(Severity::Error, "retargeting.ignore_mimic_joint",
                                    "Mimic joint " + mimic + " of " + std::string(label_) +
                                        " is not a moving joint, so it cannot follow " + source +
                                        "; set ignore_mimic_joint: true or fix the robot file"));
      } else if (!names_.moving_set.contains(source)) {
        issues.push_back(make_issue(
            Severity::Error, "retargeting.ignore_mimic_joint",
            "Mimic joint " + mimic + " of " + std::string(label_) + " follows " + source +
                ", which is not a moving joint; set ignore_mimic_joint: true or fix the robot "
                "file"));
      } else if (config_.target_joint_names && !is_target(source) &&
                 reported.insert(source).second) {
        std::string message = "Source joint " + source + " not in target joints: mimic joint " +
                              mimic + " follows it; add '" + source + "' to target_joint_names";
        if (const auto up = followed.find(source); up != followed.end()) {
          message += " (it follows " + up->second +
                     " itself, but a joint that others follow must be driven)";
        }
        message += ", or set ignore_mimic_joint: true to drive the mimic joints on their own";
        ConfigIssue issue =
            make_issue(Severity::Error, "retargeting.target_joint_names", std::move(message));
        issue.expected = source;
        issues.push_back(std::move(issue));
      }
    }
  }

  void check_recorded_tips(RecordedTips tips) {
    for (const auto& [finger, link] : tips) {
      check_link("kova.fingers." + std::string(to_string(finger)) + ".tip", link);
    }
  }

 private:
  bool is_target(const std::string& joint) const {
    const auto& targets = *config_.target_joint_names;
    return std::find(targets.begin(), targets.end(), joint) != targets.end();
  }

  void check_link_list(std::string_view key, const std::optional<std::vector<std::string>>& list) {
    if (!list) return;
    for (std::size_t i = 0; i < list->size(); ++i) {
      check_link("retargeting." + std::string(key) + "[" + std::to_string(i) + "]", (*list)[i]);
    }
  }

  void check_link(const std::string& key, const std::string& name) {
    if (names_.link_set.contains(name)) return;
    not_found(key, name, "Link '" + name + "' not found in " + std::string(label_), names_.links,
              "Links");
  }

  void not_found(const std::string& key, const std::string& name, std::string message,
                 const std::vector<std::string>& valid, std::string_view valid_title) {
    const auto closest = closest_match(name, valid);
    if (closest) message += "; did you mean '" + *closest + "'?";
    message += (closest ? " " : ". ") + std::string(valid_title) + ": " +
               (valid.empty() ? std::string("none") : join_names(valid));
    ConfigIssue issue = make_issue(Severity::Error, key, std::move(message));
    issue.found = name;
    issue.expected = std::string(valid_title);
    issue.closest = closest.value_or("");
    // Enough for any hand; a robot of a million links must not make every issue that big.
    issue.choices.assign(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min(valid.size(), kMaxChoices)));
    issues.push_back(std::move(issue));
  }

  const RetargetingConfig& config_;
  const RobotNames& names_;
  std::string_view label_;
};

}  // namespace

std::vector<ConfigIssue> check_config_robot(const RetargetingConfig& config, const UrdfRobot& robot,
                                            std::string_view robot_label,
                                            RecordedTips recorded_tips) {
  const UrdfRobot* built = &robot;
  UrdfRobot with_dummies;
  if (config.add_dummy_free_joint) {
    with_dummies = robot;
    add_dummy_free_joints(with_dummies);
    built = &with_dummies;
  }
  const RobotNames names = robot_names(*built);
  RobotChecker checker(config, names, robot_label);
  checker.check_links();
  checker.check_joints();
  checker.check_mimic(built->parse_mimic_joints());
  checker.check_recorded_tips(recorded_tips);
  return std::move(checker.issues);
}

std::vector<ConfigIssue> check_config_with_robot(const RetargetingConfig& config,
                                                 RecordedTips recorded_tips) {
  std::vector<ConfigIssue> issues = check_config(config);
  const auto path = config_robot_file(config);
  if (!path) {
    issues.push_back(make_issue(Severity::Error, "retargeting.urdf_path", path.error()));
    return issues;
  }
  const auto robot = UrdfRobot::from_file(*path);
  if (!robot) {
    issues.push_back(make_issue(Severity::Error, "retargeting.urdf_path",
                                unicode::to_utf8_lossy(path->native()) + ": " + robot.error()));
    return issues;
  }
  std::vector<ConfigIssue> named = check_config_robot(
      config, *robot, unicode::to_utf8_lossy(path->filename().native()), recorded_tips);
  issues.insert(issues.end(), std::make_move_iterator(named.begin()),
                std::make_move_iterator(named.end()));
  return issues;
}

}  // namespace kova
