#include <string>
#include <utility>

#include "kova/config_check.hpp"
#include "kova/retargeter.hpp"

namespace kova {

std::vector<ConfigIssue> check_config_file(std::string_view document,
                                           const std::filesystem::path& path) {
  std::vector<ConfigIssue> issues = check_config_document(document);
  const bool document_errors = has_errors(issues);
  const auto config = RetargetingConfig::load_from_path(path);
  if (!config) {
    if (!document_errors) {
      issues.push_back(make_issue(Severity::Error, "retargeting", config.error()));
    }
    return issues;
  }
  // The kova section is read only from a document without errors (its reader is strict).
  std::vector<std::pair<Finger, std::string>> recorded_tips;
  if (!document_errors) {
    if (auto options = retargeter_options(document)) {
      recorded_tips = std::move(options->fingertip_links);
    }
  }
  std::vector<ConfigIssue> more = check_config_with_robot(*config, recorded_tips);
  issues.insert(issues.end(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
  return issues;
}

}  // namespace kova
