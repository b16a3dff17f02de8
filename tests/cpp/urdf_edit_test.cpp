// Editing URDF documents: a new root, fixed links, mesh references moved with the file, and
// everything else kept.
#include "kova/urdf_edit.hpp"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "kova/kinematic_model.hpp"
#include "kova/mesh_reference.hpp"
#include "kova/urdf.hpp"
#include "test_data.hpp"
#include "urdf_xml.hpp"

namespace {

namespace fs = std::filesystem;
using kova_config_test::TempDir;

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

kova::Transform pose(double x, double y, double z, double roll, double pitch, double yaw) {
  return kova::urdf_xml::origin_transform({x, y, z}, {roll, pitch, yaw});
}

Eigen::Vector3d link_position(const std::string& text, const std::string& link) {
  auto model = kova::KinematicModel::create(kova::UrdfRobot::from_str(text).value()).value();
  kova::KinematicData data(*model);
  std::vector<double> q(model->dof(), 0.0);
  kova::forward_kinematics(*model, data, q);
  return data.link_position(*model->find_link(link));
}

TEST(UrdfEdit, NewRootAndTipLinkMoveTheRobotAndKeepEverythingElse) {
  const fs::path file = kova::testing::test_robot("shadow/shadowhand_motor.urdf");
  kova::UrdfDocument doc = kova::UrdfDocument::from_file(file).value();
  EXPECT_EQ(doc.root_link().value(), "world");
  const kova::Transform old_root = pose(0.1, -0.2, 0.3, 0.4, -1.1, 2.5);
  ASSERT_TRUE(doc.add_root("hand_frame", "hand_frame_joint", old_root));
  ASSERT_TRUE(doc.add_fixed_link("rh_ffdistal", "index_tip", "index_tip_joint", {0.0, 0.0, 0.03}));
  const std::string text = doc.to_string();

  kova::UrdfRobot robot = kova::UrdfRobot::from_str(text).value();
  EXPECT_EQ(robot.root_link().value(), "hand_frame");
  // The fingertip of the original, moved by the new root's pose.
  const std::string original = kova::UrdfDocument::from_file(file).value().to_string();
  const Eigen::Vector3d before = link_position(original, "rh_fftip");
  const Eigen::Vector3d after = link_position(text, "rh_fftip");
  EXPECT_LT((after - (old_root.block<3, 3>(0, 0) * before + old_root.block<3, 1>(0, 3))).norm(),
            1e-12);
  // The new tip 4 mm beyond the file's own tip link (26 mm past the distal joint).
  EXPECT_NEAR((link_position(text, "index_tip") - after).norm(), 0.004, 1e-9);

  const std::string source = kova::UrdfDocument::from_str(original).value().to_string();
  for (const std::string element :
       {"<transmission", "<gazebo", "<inertial", "<material", "<!--", "<mesh", "<mimic"}) {
    EXPECT_EQ(count(text, element), count(source, element)) << element;
  }
  EXPECT_EQ(count(text, "<?xml"), 1U);
  // The file's licence comment stands above its declaration; the written file is valid XML.
  EXPECT_TRUE(text.starts_with("<?xml")) << text.substr(0, 80);
  EXPECT_EQ(robot.links.size(), 35U);
}

TEST(UrdfEdit, TakenNamesAndMissingParentsAreRefused) {
  kova::UrdfDocument doc = kova::UrdfDocument::from_str(
                               "<robot name='r'><link name='a'/><link name='b'/>"
                               "<joint name='j' type='fixed'><parent link='a'/><child link='b'/>"
                               "</joint></robot>")
                               .value();
  EXPECT_EQ(doc.add_root("b", "x", kova::Transform::Identity()).error(),
            "the robot already has a link named b");
  EXPECT_EQ(doc.add_fixed_link("a", "c", "j", Eigen::Vector3d::Zero()).error(),
            "the robot already has a joint named j");
  EXPECT_EQ(doc.add_fixed_link("nope", "c", "k", Eigen::Vector3d::Zero()).error(),
            "the robot has no link named nope");
  EXPECT_FALSE(kova::UrdfDocument::from_str("<robot><joint/></robot>"));
  EXPECT_FALSE(kova::UrdfDocument::from_str("not xml"));
}

TEST(UrdfEdit, RollPitchYawRoundTripIncludingTheSingularPitch) {
  for (const auto& [r, p, y] : {std::tuple{0.3, -0.7, 2.9}, std::tuple{-3.0, 1.2, -0.1},
                                std::tuple{0.0, M_PI / 2, 0.4}, std::tuple{0.5, -M_PI / 2, 0.0}}) {
    const Eigen::Matrix3d rotation = pose(0, 0, 0, r, p, y).block<3, 3>(0, 0);
    const Eigen::Vector3d rpy = kova::rpy_of(rotation);
    const Eigen::Matrix3d again = pose(0, 0, 0, rpy[0], rpy[1], rpy[2]).block<3, 3>(0, 0);
    EXPECT_LT((again - rotation).norm(), 1e-12) << r << " " << p << " " << y;
  }
}

TEST(UrdfEdit, MeshReferencesStillNameTheSameFilesFromTheNewFolder) {
  TempDir dir;
  dir.write("source/meshes/palm.stl", "solid");
  dir.write("ws/hand_pkg/meshes/f.stl", "solid");
  const std::string absolute = dir.write("abs.stl", "solid").string();
  const std::string text =
      "<robot name='r'><link name='a'><visual><geometry><mesh filename='meshes/palm.stl' "
      "scale='2 2 2'/></geometry></visual><collision><geometry><mesh filename='gone.stl'/>"
      "</geometry></collision></link><link name='b'><visual><geometry>"
      "<mesh filename='package://hand_pkg/meshes/f.stl'/></geometry></visual><visual><geometry>"
      "<mesh filename='" +
      absolute + "'/></geometry></visual></link></robot>";
  kova::UrdfDocument doc = kova::UrdfDocument::from_str(text).value();
  const kova::PackageSearchPath search{{dir.path() / "ws"}, {}};
  fs::create_directories(dir.path() / "out/hand");  // a path through ".." needs the folder
  const auto changes =
      doc.rewrite_mesh_paths(dir.path() / "source", dir.path() / "out/hand", search);
  ASSERT_EQ(changes.size(), 4U);
  EXPECT_EQ(changes[0].rewritten, "../../source/meshes/palm.stl");
  EXPECT_TRUE(changes[0].found);
  EXPECT_EQ(changes[1].rewritten, "gone.stl");
  EXPECT_FALSE(changes[1].found);
  EXPECT_EQ(changes[2].rewritten, "package://hand_pkg/meshes/f.stl");
  EXPECT_TRUE(changes[2].found);
  EXPECT_EQ(changes[3].rewritten, absolute);
  const kova::UrdfRobot robot = kova::UrdfRobot::from_str(doc.to_string()).value();
  const auto& mesh = std::get<kova::MeshGeometry>(robot.links[0].visuals[0].geometry);
  EXPECT_EQ(mesh.filename, "../../source/meshes/palm.stl");
  EXPECT_EQ(mesh.scale, Eigen::Vector3d(2, 2, 2));
  EXPECT_TRUE(kova::resolve_mesh_reference(mesh.filename, dir.path() / "out/hand", search));

  EXPECT_EQ(kova::resolve_mesh_reference("file://" + absolute, "/nowhere", search).value(),
            fs::path(absolute));
  EXPECT_EQ(kova::resolve_mesh_reference("gone.stl", dir.path(), search).error(),
            "mesh gone.stl: no file " + (dir.path() / "gone.stl").string());
  EXPECT_FALSE(kova::resolve_mesh_reference("package://other/x.stl", dir.path(), search));
}

}  // namespace
