// package:// references resolved through ROS_PACKAGE_PATH and AMENT_PREFIX_PATH.
#include "kova/ros_package.hpp"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "config_test_support.hpp"

namespace {

using kova::PackageSearchPath;
using kova_config_test::TempDir;
namespace fs = std::filesystem;

std::string manifest(std::string_view name) {
  return "<?xml version=\"1.0\"?>\n<package format=\"3\">\n  <name> " + std::string(name) +
         " </name>\n  <version>1.0.0</version>\n</package>\n";
}

TEST(RosPackage, FoundAsFolderByManifestAndThroughAmentInOrder) {
  TempDir dir;
  dir.write("ws1/hand_description/urdf/hand.urdf", "<robot/>");
  dir.write("ws2/src/group/renamed_folder/package.xml", manifest("arm_description"));
  dir.write("ws2/src/group/renamed_folder/meshes/link.stl", "solid");
  dir.write("ws2/hand_description/urdf/hand.urdf", "<robot/>");  // later entry: shadowed
  dir.write("install/share/gripper/urdf/g.urdf", "<robot/>");
  const PackageSearchPath search{{dir.path() / "ws1", dir.path() / "ws2"},
                                 {dir.path() / "missing", dir.path() / "install"}};

  EXPECT_EQ(kova::resolve_package_uri("package://hand_description/urdf/hand.urdf", search).value(),
            dir.path() / "ws1/hand_description/urdf/hand.urdf");
  EXPECT_EQ(kova::resolve_package_uri("package://arm_description/meshes/link.stl", search).value(),
            dir.path() / "ws2/src/group/renamed_folder/meshes/link.stl");
  EXPECT_EQ(kova::find_ros_package("gripper", search).value(),
            dir.path() / "install/share/gripper");
  EXPECT_TRUE(kova::is_package_uri("package://x/y"));
  EXPECT_FALSE(kova::is_package_uri("hands/x.urdf"));
}

TEST(RosPackage, ErrorsNameThePackageAndWhereItLooked) {
  TempDir dir;
  dir.write("ws/other/package.xml", manifest("other"));
  dir.write("ws/other/nested/wanted/package.xml", manifest("wanted"));  // inside a package: no
  dir.write("ws/.hidden/wanted/package.xml", manifest("wanted"));
  dir.write("ws/skipped/CATKIN_IGNORE", "");
  dir.write("ws/skipped/wanted/package.xml", manifest("wanted"));
  const PackageSearchPath search{{dir.path() / "ws"}, {dir.path() / "prefix"}};

  EXPECT_EQ(kova::find_ros_package("wanted", search).error(),
            "ROS package 'wanted' not found; looked in ROS_PACKAGE_PATH: " +
                (dir.path() / "ws").string() +
                "; AMENT_PREFIX_PATH: " + (dir.path() / "prefix/share/wanted").string());
  EXPECT_EQ(kova::find_ros_package("x", PackageSearchPath{}).error(),
            "ROS package 'x' not found: neither ROS_PACKAGE_PATH nor AMENT_PREFIX_PATH is set "
            "(source the setup script of the ROS workspace that holds it)");
  EXPECT_EQ(kova::resolve_package_uri("package://other/meshes/a.stl", search).error(),
            "package://other/meshes/a.stl: ROS package 'other' is at " +
                (dir.path() / "ws/other").string() + ", but has no meshes/a.stl");
  for (const char* bad : {"package://", "package://name", "package:///file", "package://name/"})
    EXPECT_EQ(kova::resolve_package_uri(bad, search).error(),
              "'" + std::string(bad) + "' must have the form package://PACKAGE/PATH");
  EXPECT_EQ(kova::resolve_package_uri("package://../etc/passwd", search).error(),
            "ROS package '..' is not a package name");
  EXPECT_EQ(kova::resolve_package_uri("file.urdf", search).error(),
            "'file.urdf' is not a package:// reference");
}

TEST(RosPackage, SearchIsBoundedInDepthAndFolders) {
  TempDir dir;
  dir.write("deep/a/b/c/d/deep_pkg/package.xml", manifest("deep_pkg"));
  for (int i = 0; i < 30; ++i) fs::create_directories(dir.path() / "wide" / std::to_string(i));
  dir.write("wide/29/late/package.xml", manifest("late"));
  const PackageSearchPath deep{{dir.path() / "deep"}, {}};
  const PackageSearchPath wide{{dir.path() / "wide"}, {}};

  EXPECT_TRUE(kova::find_ros_package("deep_pkg", deep, {.max_depth = 5}));
  const auto shallow = kova::find_ros_package("deep_pkg", deep, {.max_depth = 4});
  ASSERT_FALSE(shallow);
  EXPECT_NE(shallow.error().find("(searched 4 levels deep, at most 10000 folders)"),
            std::string::npos)
      << shallow.error();
  EXPECT_TRUE(kova::find_ros_package("late", wide, {.max_directories = 100}));
  EXPECT_FALSE(kova::find_ros_package("late", wide, {.max_directories = 20}));
}

TEST(RosPackage, SearchPathFromTheEnvironment) {
  ::setenv("ROS_PACKAGE_PATH", "/a::/b:", 1);
  ::setenv("AMENT_PREFIX_PATH", "/opt/ros/humble", 1);
  const PackageSearchPath search = PackageSearchPath::from_environment();
  ::unsetenv("ROS_PACKAGE_PATH");
  ::unsetenv("AMENT_PREFIX_PATH");
  EXPECT_EQ(search.ros_package_path, (std::vector<fs::path>{"/a", "/b"}));
  EXPECT_EQ(search.ament_prefix_path, (std::vector<fs::path>{"/opt/ros/humble"}));
}

}  // namespace
