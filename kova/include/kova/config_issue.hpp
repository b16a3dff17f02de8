// One problem found in a retargeting configuration, structured so that every front end (the
// Python ConfigError, `kova check`) can format it its own way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

enum class Severity : std::uint8_t { Warning, Error };

struct ConfigIssue {
  Severity severity = Severity::Error;
  // Where: "retargeting.scaling_factor", "retargeting.target_link_names[2]", "kova.solver";
  // empty for the document as a whole.
  std::string key;
  std::string message;   // a whole sentence that says what to do
  std::string found;     // what the configuration holds there, as written ("" when absent)
  std::string expected;  // what would be accepted there
  std::string closest;   // the valid choice closest to `found`, "" when none is close
  // The valid choices, for names and enumerations (robot names: the first 256).
  std::vector<std::string> choices;
  std::size_t line = 0;  // 1-based line in the document; 0 when not known
};

// An issue with only its severity, key and message; the other fields are filled where known.
ConfigIssue make_issue(Severity severity, std::string key, std::string message);

// "warning" or "error".
std::string_view to_string(Severity severity);

bool has_errors(std::span<const ConfigIssue> issues);

}  // namespace kova
