// The data files the C++ tests read: real robot descriptions under tests/data/robots (copied from
// their manufacturers' repositories, see tests/data/robots/SOURCES.md) and recorded results.
// They are part of the repository, so a missing file is a failure, never a reason to skip.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kova::testing {

inline std::filesystem::path test_data_dir() {
  return std::filesystem::path(KOVA_TEST_DATA_DIR);
}

inline std::filesystem::path test_robots_dir() {
  return test_data_dir() / "robots";
}

// Full path of robots/<relative>; throws (failing the test) when the file is not there.
inline std::filesystem::path test_robot(const std::string& relative) {
  const std::filesystem::path path = test_robots_dir() / relative;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw std::runtime_error("test robot file missing: " + path.string());
  }
  return path;
}

// Full path of a file shipped with the Python package (python/kova_rs/resources/<relative>);
// throws when it is not there.
inline std::filesystem::path shipped_resource(const std::string& relative) {
  const std::filesystem::path path =
      test_data_dir().parent_path().parent_path() / "python/kova_rs/resources" / relative;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw std::runtime_error("shipped file missing: " + path.string());
  }
  return path;
}

}  // namespace kova::testing
