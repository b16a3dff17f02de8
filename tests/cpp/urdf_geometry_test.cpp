// Link geometry as read from real robot files and from hand-written oddities: primitives, meshes,
// origins and material colours; a malformed entry is left out and never fails the parse.
#include <gtest/gtest.h>

#include <cmath>
#include <variant>

#include "kova/urdf.hpp"
#include "test_data.hpp"

namespace {

using kova::LinkSpec;
using kova::UrdfRobot;

UrdfRobot read_robot(const char* relative) {
  auto robot = UrdfRobot::from_file(kova::testing::test_robot(relative));
  if (!robot) throw std::runtime_error(robot.error());
  return std::move(*robot);
}

const LinkSpec& link_named(const UrdfRobot& robot, const std::string& name) {
  return robot.links.at(robot.link_index.at(name));
}

TEST(UrdfGeometry, ShadowHandMeshesPrimitivesAndTopLevelMaterials) {
  const UrdfRobot robot = read_robot("shadow_2020/shadowhand_motor.urdf");
  const LinkSpec& middle = link_named(robot, "rh_ffmiddle");
  ASSERT_EQ(middle.visuals.size(), 1u);
  const auto& mesh = std::get<kova::MeshGeometry>(middle.visuals[0].geometry);
  EXPECT_EQ(mesh.filename, "package://sr_description/meshes/hand/F2.dae");
  EXPECT_EQ(mesh.scale, Eigen::Vector3d(0.001, 0.001, 0.001));
  EXPECT_EQ(middle.visuals[0].material, "Grey");
  EXPECT_EQ(middle.visuals[0].rgba, (kova::Rgba{0.2, 0.2, 0.2, 1.0}));  // defined at the top

  ASSERT_EQ(middle.collisions.size(), 3u);
  const auto& cylinder = std::get<kova::CylinderGeometry>(middle.collisions[0].geometry);
  EXPECT_EQ(cylinder.radius, 0.007);
  EXPECT_EQ(cylinder.length, 0.025);
  EXPECT_EQ(middle.collisions[0].origin(2, 3), 0.0125);
  EXPECT_EQ(std::get<kova::SphereGeometry>(middle.collisions[2].geometry).radius, 0.007);
  EXPECT_EQ(middle.collisions[2].origin(2, 3), 0.025);
}

TEST(UrdfGeometry, ColoursNamedByAnEarlierVisualAndRotatedOrigins) {
  const UrdfRobot allegro = read_robot("allegro/allegro_hand_description_right.urdf");
  const LinkSpec& base = link_named(allegro, "base_link");
  ASSERT_FALSE(base.visuals.empty());
  EXPECT_EQ(base.visuals[0].rgba, (kova::Rgba{0.2, 0.2, 0.2, 1.0}));  // inline
  const LinkSpec& first = link_named(allegro, "link_0.0");
  ASSERT_EQ(first.visuals.size(), 1u);
  EXPECT_EQ(first.visuals[0].rgba, (kova::Rgba{0.2, 0.2, 0.2, 1.0}));  // "black", named above
  ASSERT_EQ(first.collisions.size(), 1u);
  EXPECT_EQ(std::get<kova::BoxGeometry>(first.collisions[0].geometry).size,
            Eigen::Vector3d(0.0196, 0.0275, 0.0164));
  EXPECT_EQ(first.collisions[0].origin(2, 3), 0.0082);

  const UrdfRobot svh = read_robot("schunk_svh/svh.urdf");
  const LinkSpec& h = link_named(svh, "h");
  ASSERT_EQ(h.visuals.size(), 1u);
  EXPECT_EQ(h.visuals[0].rgba, (kova::Rgba{0.0, 1.0, 0.0, 1.0}));
  // rpy (0, 1.571, 0): the rotation about y puts the cylinder's axis nearly along x.
  EXPECT_NEAR(h.visuals[0].origin(0, 2), std::sin(1.571), 1e-15);
  EXPECT_EQ(h.visuals[0].origin(0, 3), -0.0125);
}

TEST(UrdfGeometry, MalformedEntriesAreLeftOutWithoutFailingTheParse) {
  auto robot = UrdfRobot::from_str(R"(<robot name="odd">
    <link name="a">
      <visual name="no geometry"/>
      <visual><geometry><box size="1 2"/></geometry></visual>
      <visual><geometry><box size="1 2 -3"/></geometry></visual>
      <visual><geometry><cylinder radius="0.1"/></geometry></visual>
      <visual><geometry><sphere radius="nan"/></geometry></visual>
      <visual><geometry><mesh filename=""/></geometry></visual>
      <visual><geometry><mesh filename="m.stl" scale="1 1"/></geometry></visual>
      <visual><geometry><plane/><sphere radius=" 0.5"/></geometry></visual>
      <visual name="kept"><geometry><vendor_shape/><capsule radius="0.01" length="0.04"/></geometry>
        <material name="late"/></visual>
      <visual><geometry><box size="1 2 3"/></geometry>
        <material name="late"><color rgba="1 0 0"/></material></visual>
      <collision><geometry><mesh filename="c.stl"/></geometry></collision>
    </link>
    <material name="late"><color rgba="0 0 1 0.5"/></material>
    <link name="b"><visual><origin xyz="1 x 3"/><geometry><sphere radius="2"/></geometry></visual>
    </link>
  </robot>)");
  ASSERT_TRUE(robot.has_value()) << robot.error();
  ASSERT_EQ(robot->links.size(), 2u);
  const LinkSpec& a = robot->links[0];
  ASSERT_EQ(a.visuals.size(), 3u);
  // Unknown shapes are passed over; sizes are number lists, so blanks around them do not matter.
  EXPECT_EQ(std::get<kova::SphereGeometry>(a.visuals[0].geometry).radius, 0.5);
  EXPECT_FALSE(a.visuals[0].rgba.has_value());
  EXPECT_EQ(a.visuals[1].name, "kept");
  const auto& capsule = std::get<kova::CapsuleGeometry>(a.visuals[1].geometry);
  EXPECT_EQ(capsule.radius, 0.01);
  EXPECT_EQ(capsule.length, 0.04);
  // Named by a top-level material that comes later in the document.
  EXPECT_EQ(a.visuals[1].rgba, (kova::Rgba{0.0, 0.0, 1.0, 0.5}));
  // A three-number colour is no colour; the name still finds the top-level one.
  EXPECT_EQ(a.visuals[2].rgba, (kova::Rgba{0.0, 0.0, 1.0, 0.5}));
  ASSERT_EQ(a.collisions.size(), 1u);
  EXPECT_EQ(std::get<kova::MeshGeometry>(a.collisions[0].geometry).scale, Eigen::Vector3d::Ones());
  EXPECT_TRUE(a.collisions[0].name.empty());
  // Origins are read like joint origins: a token that is no number counts as 0.
  ASSERT_EQ(robot->links[1].visuals.size(), 1u);
  const kova::Transform& origin = robot->links[1].visuals[0].origin;
  EXPECT_EQ(Eigen::Vector3d(origin(0, 3), origin(1, 3), origin(2, 3)), Eigen::Vector3d(1, 0, 3));
  EXPECT_FALSE(robot->links[1].visuals[0].rgba.has_value());
}

}  // namespace
