#include "kova/config_issue.hpp"

#include <algorithm>
#include <utility>

namespace kova {

ConfigIssue make_issue(Severity severity, std::string key, std::string message) {
  ConfigIssue issue;
  issue.severity = severity;
  issue.key = std::move(key);
  issue.message = std::move(message);
  return issue;
}

std::string_view to_string(Severity severity) {
  return severity == Severity::Error ? "error" : "warning";
}

bool has_errors(std::span<const ConfigIssue> issues) {
  return std::any_of(issues.begin(), issues.end(),
                     [](const ConfigIssue& issue) { return issue.severity == Severity::Error; });
}

}  // namespace kova
