#include "kova/config_check.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "config_text.hpp"
#include "kova/reference_map.hpp"

namespace kova {
namespace {

void check_parameters(const RetargetingConfig& config, std::vector<ConfigIssue>& issues) {
  const auto add = [&](Severity severity, std::string_view key, std::string message, double value) {
    ConfigIssue issue =
        make_issue(severity, "retargeting." + std::string(key), std::string(key) + " " + message);
    issue.found = number_text(value);
    issues.push_back(std::move(issue));
  };
  const auto finite = [&](std::string_view key, double value) {
    if (std::isfinite(value)) return true;
    add(Severity::Error, key, "is " + number_text(value) + "; it must be a finite number", value);
    return false;
  };
  const bool vectors = config.type != RetargetingType::Position;
  if (finite("scaling_factor", config.scaling_factor) && vectors && config.scaling_factor <= 0) {
    add(Severity::Warning, "scaling_factor",
        "is " + number_text(config.scaling_factor) +
            "; the human vectors are scaled by it, so it should be positive",
        config.scaling_factor);
  }
  if (finite("normal_delta", config.normal_delta) && config.normal_delta < 0) {
    add(Severity::Error, "normal_delta",
        "is " + number_text(config.normal_delta) +
            "; it weighs the pull towards the previous frame and must not be negative",
        config.normal_delta);
  }
  // DexPilot uses a fixed transition point of its own.
  if (config.type != RetargetingType::DexPilot && finite("huber_delta", config.huber_delta) &&
      config.huber_delta <= 0) {
    add(Severity::Error, "huber_delta",
        "is " + number_text(config.huber_delta) +
            "; the loss divides by it, so it must be positive (typically 0.005 to 0.02)",
        config.huber_delta);
  }
  if (config.type == RetargetingType::DexPilot && finite("project_dist", config.project_dist) &&
      finite("escape_dist", config.escape_dist) && config.project_dist > config.escape_dist) {
    add(Severity::Warning, "project_dist",
        "(" + number_text(config.project_dist) + ") is above escape_dist (" +
            number_text(config.escape_dist) +
            "): a pinch between the two switches off at once; make escape_dist the larger",
        config.project_dist);
  }
  const double alpha = config.low_pass_alpha;
  if (!(alpha >= 0.0 && alpha <= 1.0)) {
    add(Severity::Warning, "low_pass_alpha",
        "is " + number_text(alpha) +
            ", outside 0 to 1, so no output filter is applied; use 1 for no smoothing",
        alpha);
  }
}

}  // namespace

std::vector<ConfigIssue> check_config(const RetargetingConfig& config) {
  std::vector<ConfigIssue> issues = check_reference(config);
  check_parameters(config, issues);
  if (config.target_joint_names && config.target_joint_names->empty() &&
      !config.add_dummy_free_joint) {
    issues.push_back(make_issue(Severity::Error, "retargeting.target_joint_names",
                                "target_joint_names is empty, so no joint would be driven; list "
                                "the joints to drive, or leave the key out to drive them all"));
  }
  return issues;
}

}  // namespace kova
