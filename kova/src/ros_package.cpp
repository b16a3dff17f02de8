#include "kova/ros_package.hpp"

#include <array>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <pugixml.hpp>

namespace kova {
namespace {

namespace fs = std::filesystem;

// A package.xml is a few kilobytes; anything much larger is not one and is not read.
constexpr std::uintmax_t kMaxManifestBytes = 1 << 20;

// Markers with which ROS build tools exclude a folder (and everything below it) from the search.
constexpr std::array<std::string_view, 3> kIgnoreMarkers = {"CATKIN_IGNORE", "COLCON_IGNORE",
                                                            "AMENT_IGNORE"};

std::vector<fs::path> split_path_list(const char* value) {
  std::vector<fs::path> entries;
  if (value == nullptr) return entries;
  std::string_view rest(value);
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    if (!entry.empty()) entries.emplace_back(entry);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return entries;
}

bool is_folder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

// The <name> of the package.xml in `directory`, when it has a readable one.
std::optional<std::string> manifest_name(const fs::path& directory) {
  const fs::path manifest = directory / "package.xml";
  std::error_code error;
  if (!fs::is_regular_file(manifest, error)) return std::nullopt;  // no FIFO or device is opened
  const std::uintmax_t size = fs::file_size(manifest, error);
  if (error || size > kMaxManifestBytes) return std::nullopt;
  pugi::xml_document doc;
  if (!doc.load_file(manifest.c_str())) return std::nullopt;
  std::string_view name = doc.child("package").child_value("name");
  constexpr std::string_view kSpace = " \t\r\n";
  const std::size_t first = name.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::nullopt;
  name = name.substr(first, name.find_last_not_of(kSpace) - first + 1);
  return std::string(name);
}

bool ignored(const fs::path& directory) {
  for (std::string_view marker : kIgnoreMarkers) {
    std::error_code error;
    if (fs::exists(directory / marker, error)) return true;
  }
  return false;
}

struct SearchOutcome {
  std::optional<fs::path> found;
  bool cut_short = false;  // a limit stopped the search before the tree was exhausted
};

// Breadth first below `root` (the root itself included) for the package.xml naming `name`.
// Packages do not nest: the search does not descend into a package folder.
SearchOutcome search_manifests(const fs::path& root, std::string_view name,
                               const PackageSearchLimits& limits) {
  SearchOutcome outcome;
  std::deque<std::pair<fs::path, std::size_t>> queue{{root, 0}};
  std::size_t visited = 0;
  while (!queue.empty()) {
    if (visited == limits.max_directories) {
      outcome.cut_short = true;
      return outcome;
    }
    auto [directory, depth] = std::move(queue.front());
    queue.pop_front();
    ++visited;
    if (ignored(directory)) continue;
    if (std::optional<std::string> manifest = manifest_name(directory)) {
      if (*manifest == name) {
        outcome.found = directory;
        return outcome;
      }
      continue;
    }
    std::error_code error;
    fs::directory_iterator children(directory, fs::directory_options::skip_permission_denied,
                                    error);
    for (; !error && children != fs::directory_iterator(); children.increment(error)) {
      const fs::path& child = children->path();
      if (child.filename().native().starts_with('.') || !is_folder(child)) continue;
      if (depth == limits.max_depth) {
        outcome.cut_short = true;
        break;
      }
      queue.emplace_back(child, depth + 1);
    }
  }
  return outcome;
}

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += ", ";
    text += part;
  }
  return text;
}

}  // namespace

PackageSearchPath PackageSearchPath::from_environment() {
  return {split_path_list(std::getenv("ROS_PACKAGE_PATH")),
          split_path_list(std::getenv("AMENT_PREFIX_PATH"))};
}

bool is_package_uri(std::string_view reference) {
  return reference.starts_with(kPackageScheme);
}

Result<fs::path> find_ros_package(std::string_view name, const PackageSearchPath& search,
                                  const PackageSearchLimits& limits) {
  std::string quoted = "ROS package '";
  quoted += name;
  quoted += "'";
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    return fail(quoted + " is not a package name");
  }
  if (search.ros_package_path.empty() && search.ament_prefix_path.empty()) {
    return fail(quoted +
                " not found: neither ROS_PACKAGE_PATH nor AMENT_PREFIX_PATH is set (source the "
                "setup script of the ROS workspace that holds it)");
  }
  std::vector<std::string> looked;
  for (const fs::path& entry : search.ros_package_path) {
    if (is_folder(entry / name)) return entry / name;
    const SearchOutcome outcome = search_manifests(entry, name, limits);
    if (outcome.found) return *outcome.found;
    std::string where = entry.string();
    if (outcome.cut_short) {
      where += " (searched " + std::to_string(limits.max_depth) + " levels deep, at most " +
               std::to_string(limits.max_directories) + " folders)";
    }
    looked.push_back(std::move(where));
  }
  std::vector<std::string> shares;
  for (const fs::path& prefix : search.ament_prefix_path) {
    const fs::path share = prefix / "share" / name;
    if (is_folder(share)) return share;
    shares.push_back(share.string());
  }
  std::string message = quoted + " not found; looked in ROS_PACKAGE_PATH: ";
  message += looked.empty() ? std::string("(not set)") : join(looked);
  message += "; AMENT_PREFIX_PATH: ";
  message += shares.empty() ? std::string("(not set)") : join(shares);
  return fail(std::move(message));
}

Result<fs::path> resolve_package_uri(std::string_view uri, const PackageSearchPath& search,
                                     const PackageSearchLimits& limits) {
  std::string_view rest = uri;
  if (!rest.starts_with(kPackageScheme)) {
    return fail("'" + std::string(uri) + "' is not a package:// reference");
  }
  rest.remove_prefix(kPackageScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view name = rest.substr(0, slash);
  const std::string_view relative =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  if (name.empty() || relative.empty()) {
    return fail("'" + std::string(uri) + "' must have the form package://PACKAGE/PATH");
  }
  Result<fs::path> package = find_ros_package(name, search, limits);
  if (!package) return fail(std::move(package.error()));
  fs::path file = *package / relative;
  std::error_code error;
  if (!fs::exists(file, error)) {
    return fail(std::string(uri) + ": ROS package '" + std::string(name) + "' is at " +
                package->string() + ", but has no " + std::string(relative));
  }
  return file;
}

}  // namespace kova
