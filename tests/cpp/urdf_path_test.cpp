#include <string>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "kova/retargeting_config.hpp"

namespace {

namespace fs = std::filesystem;
using kova::RetargetingConfig;
using kova_config_test::ScopedWorkingDirectory;
using kova_config_test::TempDir;

RetargetingConfig config_for(const std::string& urdf_path, const fs::path& urdf_dir) {
  RetargetingConfig config;
  config.urdf_path = urdf_path;
  config.urdf_dir = urdf_dir;
  return config;
}

class UrdfPath : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(UrdfPath, RelativeConfigDirectoryListsEveryCandidateInOrder) {
  ScopedWorkingDirectory cwd(dir_.path());
  const auto result = config_for("robot/hand.urdf", "configs").resolve_urdf_path();
  ASSERT_FALSE(result.has_value());
  const std::string cwd_candidate = (fs::current_path() / "robot/hand.urdf").string();
  EXPECT_EQ(result.error(),
            "URDF path robot/hand.urdf does not exist (tried configs/robot/hand.urdf, "
            "configs/assets/robots/hands/robot/hand.urdf, assets/robots/hands/robot/hand.urdf, " +
                cwd_candidate + ")");
}

TEST_F(UrdfPath, EachCandidateIsFoundInTurn) {
  ScopedWorkingDirectory cwd(dir_.path());
  const RetargetingConfig config = config_for("robot/hand.urdf", "configs");

  dir_.write("robot/hand.urdf", "cwd");  // the working directory comes last
  EXPECT_EQ(config.resolve_urdf_path().value(), fs::current_path() / "robot/hand.urdf");
  dir_.write("assets/robots/hands/robot/hand.urdf", "parent");
  EXPECT_EQ(config.resolve_urdf_path().value(), fs::path("assets/robots/hands/robot/hand.urdf"));
  dir_.write("configs/assets/robots/hands/robot/hand.urdf", "assets");
  EXPECT_EQ(config.resolve_urdf_path().value(),
            fs::path("configs/assets/robots/hands/robot/hand.urdf"));
  dir_.write("configs/robot/hand.urdf", "beside");
  EXPECT_EQ(config.resolve_urdf_path().value(), fs::path("configs/robot/hand.urdf"));
}

TEST_F(UrdfPath, AbsoluteConfigDirectoryWalksUpToTheRoot) {
  const fs::path base = dir_.path() / "a/b";
  const auto result = config_for("x_no_such_hand.urdf", base).resolve_urdf_path();
  ASSERT_FALSE(result.has_value());
  const std::string& message = result.error();
  // Beside the config, then assets/robots/hands in a/b, a, the temp dir, ..., and the root.
  std::string expected = "URDF path x_no_such_hand.urdf does not exist (tried " +
                         (base / "x_no_such_hand.urdf").string();
  for (fs::path d = base;; d = d.parent_path()) {
    expected += ", " + (d / "assets/robots/hands/x_no_such_hand.urdf").string();
    if (d == d.root_path()) break;
  }
  expected += ", " + (fs::current_path() / "x_no_such_hand.urdf").string() + ")";
  EXPECT_EQ(message, expected);

  dir_.write("assets/robots/hands/x_no_such_hand.urdf", "found two levels up");
  EXPECT_EQ(config_for("x_no_such_hand.urdf", base).resolve_urdf_path().value(),
            dir_.path() / "assets/robots/hands/x_no_such_hand.urdf");
}

TEST_F(UrdfPath, EmptyConfigDirectory) {
  ScopedWorkingDirectory cwd(dir_.path());
  const auto result = config_for("h.urdf", "").resolve_urdf_path();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            "URDF path h.urdf does not exist (tried h.urdf, "
            "assets/robots/hands/h.urdf, " +
                (fs::current_path() / "h.urdf").string() + ")");
}

TEST_F(UrdfPath, AbsoluteUrdfPath) {
  const fs::path file = dir_.write("hand.urdf", "<robot/>");
  EXPECT_EQ(config_for(file.string(), "ignored").resolve_urdf_path().value(), file);
  const fs::path missing = dir_.path() / "missing.urdf";
  EXPECT_EQ(config_for(missing.string(), "ignored").resolve_urdf_path().error(),
            "URDF path " + missing.string() + " does not exist");
}

TEST_F(UrdfPath, DirectoryCountsAsFound) {
  fs::create_directories(dir_.path() / "configs/hand.urdf");
  EXPECT_EQ(config_for("hand.urdf", dir_.path() / "configs").resolve_urdf_path().value(),
            dir_.path() / "configs/hand.urdf");
}

TEST_F(UrdfPath, SymbolicLinksAreFollowed) {
  fs::create_symlink(dir_.path() / "nowhere.urdf", dir_.path() / "dangling.urdf");
  EXPECT_FALSE(config_for("dangling.urdf", dir_.path()).resolve_urdf_path().has_value());
  dir_.write("target.urdf", "<robot/>");
  fs::create_symlink(dir_.path() / "target.urdf", dir_.path() / "link.urdf");
  EXPECT_EQ(config_for("link.urdf", dir_.path()).resolve_urdf_path().value(),
            dir_.path() / "link.urdf");
}

TEST_F(UrdfPath, NonUtf8PathsAreDisplayedLossily) {
  ScopedWorkingDirectory cwd(dir_.path());
  const auto result = config_for("h.urdf",
                                 "bad\xFF"
                                 "dir")
                          .resolve_urdf_path();
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().find("bad\xEF\xBF\xBD"
                                "dir/h.urdf"),
            std::string::npos)
      << result.error();
}

}  // namespace
