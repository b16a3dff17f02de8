// Construction of the kinematic model: the DOF order (dummy joints, recognised hands, URDF order),
// the joint limits and the name lookup tables. The kinematic plan is built in kinematic_plan.cpp.
#include "kova/kinematic_model.hpp"

#include <string>
#include <utility>

#include "dof_order.hpp"

namespace kova {
namespace {

constexpr double kDefaultLimit = 10000.0;

}  // namespace

Result<std::shared_ptr<const KinematicModel>> KinematicModel::create(UrdfRobot urdf) {
  const std::optional<std::string_view> root = urdf.root_link();
  if (!root) return fail("No root link found");

  // Not make_shared: the constructor is private.
  std::shared_ptr<KinematicModel> model(new KinematicModel());
  model->root_link_ = std::string(*root);
  model->urdf_ = std::move(urdf);
  const UrdfRobot& robot = model->urdf_;

  std::vector<const JointSpec*> candidates;
  for (const JointSpec& joint : robot.joints) {
    if (joint.joint_type != "fixed") candidates.push_back(&joint);
  }
  model->dof_joints_.reserve(candidates.size());
  model->dof_sources_.reserve(candidates.size());
  for (std::size_t i : dof_rank_order(candidates)) {
    model->dof_joints_.push_back(*candidates[i]);
    model->dof_sources_.push_back(static_cast<std::uint32_t>(candidates[i] - robot.joints.data()));
  }

  model->dof_joint_index_.reserve(model->dof_joints_.size());
  model->link_index_.reserve(robot.links.size());
  model->child_link_joint_.reserve(robot.joints.size());
  model->parent_link_joints_.reserve(robot.joints.size());
  for (std::size_t i = 0; i < model->dof_joints_.size(); ++i) {
    model->dof_joint_index_.insert_or_assign(model->dof_joints_[i].name, i);
  }
  for (std::size_t i = 0; i < robot.links.size(); ++i) {
    model->link_index_.insert_or_assign(robot.links[i].name, i);
  }
  for (std::size_t k = 0; k < robot.joints.size(); ++k) {
    const JointSpec& joint = robot.joints[k];
    model->child_link_joint_.insert_or_assign(joint.child, joint.name);
    model->parent_link_joints_[joint.parent].push_back(k);
  }
  for (const JointSpec& joint : model->dof_joints_) {
    if (!joint.limit || joint.mimic) {
      model->joint_limits_.emplace_back(-kDefaultLimit, kDefaultLimit);
    } else {
      model->joint_limits_.emplace_back(joint.limit->lower, joint.limit->upper);
    }
  }

  if (Status planned = model->build_plan(); !planned) return fail(std::move(planned.error()));
  return std::shared_ptr<const KinematicModel>(std::move(model));
}

std::vector<std::string> KinematicModel::dof_joint_names() const {
  std::vector<std::string> names;
  names.reserve(dof_joints_.size());
  for (const JointSpec& joint : dof_joints_) names.push_back(joint.name);
  return names;
}

std::vector<std::string> KinematicModel::link_names() const {
  std::vector<std::string> names;
  names.reserve(urdf_.links.size());
  for (const LinkSpec& link : urdf_.links) names.push_back(link.name);
  return names;
}

std::optional<std::size_t> KinematicModel::find_link(const std::string& name) const {
  const auto found = link_index_.find(name);
  if (found == link_index_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::size_t> KinematicModel::find_dof_joint(const std::string& name) const {
  const auto found = dof_joint_index_.find(name);
  if (found == dof_joint_index_.end()) return std::nullopt;
  return found->second;
}

std::span<const std::uint32_t> KinematicModel::child_joints(std::size_t link) const {
  check_index(link, link_nodes_.size());
  const std::uint32_t node = link_nodes_[link];
  return std::span<const std::uint32_t>(edges_).subspan(edge_begin_[node],
                                                        edge_begin_[node + 1] - edge_begin_[node]);
}

}  // namespace kova
