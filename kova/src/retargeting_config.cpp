#include "kova/retargeting_config.hpp"

#include <sys/stat.h>

#include <string_view>
#include <utility>

#include "text_file.hpp"
#include "unicode_text.hpp"
#include "yaml_value.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;
using yaml::Kind;
using yaml::Node;

// ---- Reading the file ------------------------------------------------------------------------

// Larger files are refused rather than read: a configuration is a few kilobytes, and a device
// such as /dev/zero would otherwise fill memory.
constexpr std::size_t kMaxConfigBytes = std::size_t{64} << 20;

// ---- Lenient readers: a value of another kind gives the default -------------------------------

std::optional<std::string> read_string(const Node* node) {
  if (node == nullptr || node->kind() != Kind::String) return std::nullopt;
  return node->text();
}

std::optional<bool> read_bool(const Node* node) {
  if (node == nullptr || node->kind() != Kind::Bool) return std::nullopt;
  return node->boolean();
}

std::optional<double> read_number(const Node* node) {
  if (node == nullptr) return std::nullopt;
  if (node->kind() == Kind::Int) return node->integer().to_double();
  if (node->kind() == Kind::Float) return node->number();
  return std::nullopt;
}

// String elements in order; other elements are dropped.
std::optional<std::vector<std::string>> read_names(const Node* node) {
  if (node == nullptr || node->kind() != Kind::Sequence) return std::nullopt;
  std::vector<std::string> names;
  for (const Node* item : node->items()) {
    if (item->kind() == Kind::String) names.push_back(item->text());
  }
  return names;
}

// A keypoint index: an integer in [0, 2^63). Negative values cannot index keypoints, so they are
// refused like integers beyond the signed 64-bit range.
std::optional<std::uint64_t> read_index(const Node* node) {
  if (node->kind() != Kind::Int) return std::nullopt;
  const auto value = node->integer().to_i64();
  if (!value || *value < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*value);
}

// Appends the indices of a flat sequence; false when an element does not qualify.
bool append_indices(const Node& sequence, std::vector<std::uint64_t>& out) {
  for (const Node* item : sequence.items()) {
    const auto index = read_index(item);
    if (!index) return false;
    out.push_back(*index);
  }
  return true;
}

// Flat list of integers, or list of rows concatenated. One bad element makes the key absent.
std::optional<std::vector<std::uint64_t>> read_indices(const Node* node) {
  if (node == nullptr || node->kind() != Kind::Sequence) return std::nullopt;
  std::vector<std::uint64_t> indices;
  const auto items = node->items();
  if (!items.empty() && items.front()->kind() == Kind::Sequence) {
    for (const Node* row : items) {
      if (row->kind() != Kind::Sequence || !append_indices(*row, indices)) return std::nullopt;
    }
  } else if (!append_indices(*node, indices)) {
    return std::nullopt;
  }
  return indices;
}

// Parent of the configuration path as written: "" for a bare file name, "." only when there is
// no parent at all (an empty path or a root).
fs::path base_directory(const fs::path& config_path) {
  if (config_path.empty() || !config_path.has_relative_path()) return fs::path(".");
  return config_path.parent_path();
}

// ---- URDF path resolution ------------------------------------------------------------------

// The file-system entry can be queried (symbolic links followed), whatever its kind.
bool entry_exists(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::string display(const fs::path& path) {
  return unicode::to_utf8_lossy(path.native());
}

// Lexical parent: trailing separators ignored; none for the empty path or a bare root.
std::optional<fs::path> lexical_parent(const fs::path& dir) {
  std::string_view text = dir.native();
  if (text.empty()) return std::nullopt;
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  if (text == "/") return std::nullopt;
  const std::size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) return fs::path();
  std::string_view parent = text.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) return fs::path("/");
  return fs::path(std::string(parent));
}

}  // namespace

Result<RetargetingConfig> RetargetingConfig::load_from_file(const fs::path& path) {
  return load_from_path(path);
}

Result<RetargetingConfig> RetargetingConfig::load_from_path(const fs::path& path) {
  auto text = read_utf8_text_file(path, kMaxConfigBytes);
  if (!text) return fail("Failed to read config: " + text.error());

  auto document = yaml::Document::parse(*text);
  if (!document) return fail("YAML parse error: " + document.error());

  const Node* section = document->root().find("retargeting");
  if (section == nullptr) return fail("Missing 'retargeting' key in config");

  const fs::path base_dir = base_directory(path);

  const auto type_text = read_string(section->find("type"));
  if (!type_text) return fail("Missing 'type' in retargeting config");
  const auto type = retargeting_type_from_str(*type_text);
  if (!type) return fail(type.error());

  RetargetingConfig config;
  config.type = *type;
  config.urdf_path = read_string(section->find("urdf_path")).value_or("");
  config.add_dummy_free_joint = read_bool(section->find("add_dummy_free_joint")).value_or(false);
  config.target_link_human_indices = read_indices(section->find("target_link_human_indices"));
  config.wrist_link_name = read_string(section->find("wrist_link_name"));
  config.target_link_names = read_names(section->find("target_link_names"));
  config.target_joint_names = read_names(section->find("target_joint_names"));
  config.target_origin_link_names = read_names(section->find("target_origin_link_names"));
  config.target_task_link_names = read_names(section->find("target_task_link_names"));
  config.finger_tip_link_names = read_names(section->find("finger_tip_link_names"));
  config.scaling_factor = read_number(section->find("scaling_factor")).value_or(1.0);
  config.normal_delta = read_number(section->find("normal_delta")).value_or(0.004);
  config.huber_delta = read_number(section->find("huber_delta")).value_or(0.02);
  config.project_dist = read_number(section->find("project_dist")).value_or(0.03);
  config.escape_dist = read_number(section->find("escape_dist")).value_or(0.05);
  config.has_joint_limits = read_bool(section->find("has_joint_limits")).value_or(true);
  config.ignore_mimic_joint = read_bool(section->find("ignore_mimic_joint")).value_or(false);
  config.low_pass_alpha = read_number(section->find("low_pass_alpha")).value_or(0.1);
  config.urdf_dir = base_dir;

  if (auto valid = config.validate(); !valid) return fail(valid.error());
  return config;
}

Status RetargetingConfig::validate() const {
  const auto count = [](const auto& list) -> std::size_t { return list ? list->size() : 0; };
  const auto text = [](std::size_t n) { return std::to_string(n); };
  if (urdf_path.empty()) return fail("retargeting config: urdf_path must not be empty");
  switch (type) {
    case RetargetingType::Vector: {
      const std::size_t origins = count(target_origin_link_names);
      const std::size_t tasks = count(target_task_link_names);
      const std::size_t indices = count(target_link_human_indices);
      if (origins == 0)
        return fail("vector retargeting requires non-empty target_origin_link_names");
      if (tasks == 0) return fail("vector retargeting requires non-empty target_task_link_names");
      if (origins != tasks) {
        return fail("vector retargeting: target_origin_link_names has " + text(origins) +
                    " entries but target_task_link_names has " + text(tasks));
      }
      if (indices == 0) {
        return fail("vector retargeting requires non-empty target_link_human_indices");
      }
      if (indices != 2 * origins) {
        return fail("vector retargeting: target_link_human_indices must flatten to 2 x " +
                    text(origins) + " entries, got " + text(indices));
      }
      break;
    }
    case RetargetingType::Position: {
      const std::size_t links = count(target_link_names);
      const std::size_t indices = count(target_link_human_indices);
      if (links == 0) return fail("position retargeting requires non-empty target_link_names");
      if (indices == 0) {
        return fail("position retargeting requires non-empty target_link_human_indices");
      }
      if (indices != links) {
        return fail("position retargeting: target_link_human_indices has " + text(indices) +
                    " entries but target_link_names has " + text(links));
      }
      break;
    }
    case RetargetingType::DexPilot:
      if (count(finger_tip_link_names) == 0) {
        return fail("dexpilot retargeting requires non-empty finger_tip_link_names");
      }
      if (!wrist_link_name || wrist_link_name->empty()) {
        return fail("dexpilot retargeting requires wrist_link_name");
      }
      break;
  }
  return {};
}

Result<fs::path> RetargetingConfig::resolve_urdf_path() const {
  const fs::path urdf(urdf_path);
  if (urdf.is_absolute()) {
    if (entry_exists(urdf)) return urdf;
    return fail("URDF path " + display(urdf) + " does not exist");
  }

  std::vector<fs::path> tried;
  const auto try_candidate = [&](fs::path candidate) -> bool {
    tried.push_back(std::move(candidate));
    return entry_exists(tried.back());
  };

  if (try_candidate(urdf_dir / urdf)) return tried.back();
  for (std::optional<fs::path> dir = urdf_dir; dir; dir = lexical_parent(*dir)) {
    if (try_candidate(*dir / "assets/robots/hands" / urdf)) return tried.back();
  }
  std::error_code error;
  const fs::path cwd = fs::current_path(error);
  if (!error && try_candidate(cwd / urdf)) return tried.back();

  std::string message = "URDF path " + display(urdf) + " does not exist (tried ";
  for (std::size_t i = 0; i < tried.size(); ++i) {
    if (i > 0) message += ", ";
    message += display(tried[i]);
  }
  return fail(message + ")");
}

}  // namespace kova
