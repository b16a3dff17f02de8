// Locating the real robot files shared beside the repository, for tests that read them.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace kova::testing {

inline std::filesystem::path shared_robots_dir() {
  return std::filesystem::path(KOVA_SHARED_DIR) / "robots";
}

// Full path of `relative` under the shared robots directory, or an empty path when it is absent.
inline std::filesystem::path shared_robot(const std::string& relative) {
  const std::filesystem::path path = shared_robots_dir() / relative;
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) ? path : std::filesystem::path();
}

}  // namespace kova::testing

// Declares `var` as the path of a shared robot file, or skips the test with the reason.
#define KOVA_SHARED_ROBOT_OR_SKIP(var, relative)                                         \
  const std::filesystem::path var = ::kova::testing::shared_robot(relative);             \
  if (var.empty()) {                                                                     \
    GTEST_SKIP() << "shared robot file " << (relative) << " not found under "            \
                 << ::kova::testing::shared_robots_dir()                                 \
                 << " (the robot files live beside the repository in ../shared/robots)"; \
  }
