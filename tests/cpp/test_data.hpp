// The data files the C++ tests read: real robot descriptions under tests/data/robots (copied from
// their manufacturers' repositories, see tests/data/robots/SOURCES.md) and recorded results.
// They are part of the repository, so a missing file is a failure, never a reason to skip.
#pragma once

#include <cstddef>
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

// How many robot hands the package ships (the folders under resources/assets/robots/hands).
inline std::size_t shipped_hand_count() {
  const std::filesystem::path hands =
      shipped_resource("assets/robots/hands/kova_five_finger_24dof/kova_five_finger_24dof.urdf")
          .parent_path()
          .parent_path();
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(hands)) {
    if (entry.is_directory()) ++count;
  }
  return count;
}

}  // namespace kova::testing
