// Helpers for the configuration tests: a fresh temporary directory per test and the real robot
// files under tests/data/robots.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "test_data.hpp"

namespace kova_config_test {

// A fresh directory under the system temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kova-config-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes `content` to the relative path, creating directories; returns the full path.
  std::filesystem::path write(const std::filesystem::path& relative,
                              std::string_view content) const {
    const std::filesystem::path full = path_ / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return full;
  }

 private:
  std::filesystem::path path_;
};

// Runs with the working directory set to `dir`, restoring the previous one afterwards.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedWorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

inline std::filesystem::path test_robots_dir() {
  return kova::testing::test_robots_dir();
}

}  // namespace kova_config_test

// Fails the test when a robot file the test needs is missing from tests/data/robots.
#define KOVA_REQUIRE_ROBOT(relative) (void)::kova::testing::test_robot(relative)
