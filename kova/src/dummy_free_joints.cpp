#include <array>
#include <string>
#include <utility>

#include "kova/retargeting_config.hpp"

namespace kova {
namespace {

constexpr double kTranslationLimit = 5.0;
constexpr double kRotationLimit = 6.283185307179586;  // 2 pi
constexpr double kDummyEffort = 10.0;
constexpr double kDummyVelocity = 3.14;

struct DummyJoint {
  const char* joint;
  const char* link;  // the joint's parent; the next entry's link is its child
  const char* type;
  double axis_x, axis_y, axis_z;
  double limit;
};

// Translation along x, y, z, then rotation about x, y, z.
constexpr std::array<DummyJoint, 6> kDummyJoints = {{
    {"dummy_x_translation_joint", "dummy_x_translation_link", "prismatic", 1, 0, 0,
     kTranslationLimit},
    {"dummy_y_translation_joint", "dummy_y_translation_link", "prismatic", 0, 1, 0,
     kTranslationLimit},
    {"dummy_z_translation_joint", "dummy_z_translation_link", "prismatic", 0, 0, 1,
     kTranslationLimit},
    {"dummy_x_rotation_joint", "dummy_x_rotation_link", "revolute", 1, 0, 0, kRotationLimit},
    {"dummy_y_rotation_joint", "dummy_y_rotation_link", "revolute", 0, 1, 0, kRotationLimit},
    {"dummy_z_rotation_joint", "dummy_z_rotation_link", "revolute", 0, 0, 1, kRotationLimit},
}};

}  // namespace

void add_dummy_free_joints(UrdfRobot& robot) {
  const auto root = robot.root_link();
  if (!root) return;
  std::string previous_root(*root);

  std::vector<LinkSpec> links;
  links.reserve(kDummyJoints.size() + robot.links.size());
  std::vector<JointSpec> joints;
  joints.reserve(kDummyJoints.size() + robot.joints.size());
  for (std::size_t i = 0; i < kDummyJoints.size(); ++i) {
    const DummyJoint& dummy = kDummyJoints[i];
    links.push_back(LinkSpec{dummy.link});
    JointSpec joint;
    joint.name = dummy.joint;
    joint.joint_type = dummy.type;
    joint.parent = dummy.link;
    joint.child =
        i + 1 < kDummyJoints.size() ? std::string(kDummyJoints[i + 1].link) : previous_root;
    joint.origin = Transform::Identity();
    joint.axis = Eigen::Vector3d(dummy.axis_x, dummy.axis_y, dummy.axis_z);
    joint.limit = LimitSpec{-dummy.limit, dummy.limit, kDummyEffort, kDummyVelocity};
    joint.mimic = std::nullopt;
    joints.push_back(std::move(joint));
  }
  for (LinkSpec& link : robot.links) links.push_back(std::move(link));
  for (JointSpec& joint : robot.joints) joints.push_back(std::move(joint));
  robot.links = std::move(links);
  robot.joints = std::move(joints);
  robot.rebuild_indices();
}

}  // namespace kova
