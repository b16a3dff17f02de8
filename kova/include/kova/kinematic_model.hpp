// The kinematic model of a robot, split into what depends only on the robot and what one
// evaluation writes.
//
// `KinematicModel` is built once from a parsed robot and never changes afterwards: the robot
// itself, the order of the degrees of freedom (the order of every joint vector), the joint limits
// exactly as the solvers use them, the name lookup tables, the children of each link, and a plan
// of plain indices for forward kinematics and the Jacobians. It is shared as
// `std::shared_ptr<const KinematicModel>`; any number of threads may read it at once.
//
// `KinematicData` holds everything an evaluation writes (link transforms, joint frames). Each
// caller owns one, made for the model it is used with; it is allocated once and rewritten in
// place. Two threads may run kinematics on one model at the same time, each with its own data.
//
//   auto model = kova::KinematicModel::create(std::move(urdf));   // Result<shared_ptr<const>>
//   kova::KinematicData data(**model);
//   kova::forward_kinematics(**model, data, qpos);
//   Eigen::Vector3d p = data.link_position(link);
//   kova::link_position_jacobian(**model, data, link, jacobian);  // 3 x dof, from the same pass
//
// Nothing here allocates, hashes or touches strings per evaluation, except the two functions
// returning a fresh Jacobian. Passing a data buffer made for another model, an index out of range
// or an output of the wrong size throws InternalFault before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "kova/result.hpp"
#include "kova/urdf.hpp"

namespace kova {

// 3 x n position Jacobian, column-major: column j at positions 3j, 3j+1, 3j+2.
using Jacobian = Eigen::Matrix<double, 3, Eigen::Dynamic>;

class KinematicData;

// Sorts DOF joint candidates into the canonical order: the six dummy free joints first, then the
// fixed joint order of a recognised hand, then every other joint in URDF order (stable).
std::vector<JointSpec> reorder_dof_joints_like_pinocchio(std::vector<JointSpec> candidates);

class KinematicModel {
 public:
  // Takes the robot by value. Fails with "No root link found", or when the joint graph has a
  // cycle or would make the breadth-first traversal absurdly long. Time O(n log n) in the number
  // of links and joints.
  static Result<std::shared_ptr<const KinematicModel>> create(UrdfRobot urdf);

  // The robot as parsed: all links and joints in URDF order, geometry included.
  const UrdfRobot& urdf() const { return urdf_; }
  // Non-fixed joints in DOF order; position i of a joint vector belongs to entry i.
  const std::vector<JointSpec>& dof_joints() const { return dof_joints_; }
  // (lower, upper) per DOF joint as the solvers read them: (-10000, 10000) without <limit> or
  // for a mimic joint, otherwise the URDF values untouched.
  const std::vector<std::pair<double, double>>& joint_limits() const { return joint_limits_; }
  const std::string& root_link() const { return root_link_; }
  // Position of the root link in urdf().links (the later one when the name occurs twice).
  std::size_t root_link_index() const { return root_slot_; }

  std::size_t dof() const { return dof_joints_.size(); }
  std::size_t link_count() const { return urdf_.links.size(); }
  std::size_t joint_count() const { return urdf_.joints.size(); }
  std::vector<std::string> dof_joint_names() const;
  std::vector<std::string> link_names() const;

  // Name lookups (a later duplicate wins). nullopt when absent.
  std::optional<std::size_t> find_link(const std::string& name) const;
  std::optional<std::size_t> find_dof_joint(const std::string& name) const;
  // DOF joint name -> position in a joint vector; link name -> position in urdf().links.
  const std::unordered_map<std::string, std::size_t>& dof_joint_index() const {
    return dof_joint_index_;
  }
  const std::unordered_map<std::string, std::size_t>& link_index() const { return link_index_; }
  // Child link name -> name of the last joint (URDF order) that has it as child.
  const std::unordered_map<std::string, std::string>& child_link_joint() const {
    return child_link_joint_;
  }
  // Parent link name -> positions in urdf().joints of the joints leaving it, in URDF order.
  const std::unordered_map<std::string, std::vector<std::size_t>>& parent_link_joints() const {
    return parent_link_joints_;
  }
  // The joints leaving a link (the joints whose parent is its name), as positions in
  // urdf().joints in URDF order; their `child` names the child links. Throws InternalFault for
  // a link index out of range.
  std::span<const std::uint32_t> child_joints(std::size_t link) const;

 private:
  friend class KinematicData;
  friend void forward_kinematics(const KinematicModel&, KinematicData&, std::span<const double>);
  friend void link_position_jacobian(const KinematicModel&, const KinematicData&, std::size_t,
                                     Eigen::Ref<Jacobian>);
  friend std::vector<std::uint32_t> link_jacobian_columns(const KinematicModel&, std::size_t);

  KinematicModel() = default;
  Status build_plan();
  void link_joint_frames();

  // How a joint moves its child, decided once from the type string.
  enum class Motion : std::uint8_t { kRevolute, kPrismatic, kNone };
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // Forward kinematics as a flat plan: the breadth-first visits that have joints to follow, in
  // visiting order. Each visit copies its link's transform when it starts, then runs its steps.
  struct Visit {
    std::uint32_t link_slot;
    std::uint32_t first_step;  // range into steps_
    std::uint32_t step_count;
  };
  struct Step {
    std::uint32_t joint;       // position in urdf_.joints
    std::uint32_t child_slot;  // kNone when the child is not a known link
    std::uint32_t dof;         // position in qpos; kNone when the joint moves with q = 0
    Motion motion;
    std::uint32_t frame = kNone;  // entry of the data's joint frames this step writes, or kNone
  };
  // Upward walk for Jacobians over link names (a functional graph, checked acyclic): the next
  // name towards the root and the DOF columns whose joint name the walk collects at this name.
  struct UpNode {
    std::uint32_t up;  // kNone at the end of the walk
    std::uint32_t first_column;
    std::uint32_t column_count;
  };
  struct Column {
    std::uint32_t dof;          // Jacobian column, position in dof_joints_
    std::uint32_t parent_slot;  // transform of the joint's parent link; kNone: column stays zero
    Motion motion;
    std::uint32_t frame = kNone;  // joint frame holding this column's parent * origin, or kNone
  };

  UrdfRobot urdf_;
  std::vector<JointSpec> dof_joints_;
  std::vector<std::uint32_t> dof_sources_;  // per DOF joint: the entry of urdf_.joints it copies
  std::vector<std::pair<double, double>> joint_limits_;
  std::string root_link_;
  std::unordered_map<std::string, std::size_t> dof_joint_index_;
  std::unordered_map<std::string, std::size_t> link_index_;
  std::unordered_map<std::string, std::string> child_link_joint_;
  std::unordered_map<std::string, std::vector<std::size_t>> parent_link_joints_;

  std::uint32_t root_slot_ = kNone;
  std::vector<Visit> visits_;
  std::vector<Step> steps_;
  std::vector<std::uint32_t> link_nodes_;  // per link slot: its name's node
  std::vector<std::uint32_t> edge_begin_;  // per node: range into edges_ (node_count + 1)
  std::vector<std::uint32_t> edges_;       // joints leaving each node, URDF order
  std::vector<UpNode> up_nodes_;
  std::vector<Column> columns_;
  std::uint32_t joint_frame_count_ = 0;
};

// Per-caller evaluation buffers for one model.
class KinematicData {
 public:
  // Sized for `model`: one identity transform per link.
  explicit KinematicData(const KinematicModel& model);

  // One transform per link of the model's urdf().links, written by forward_kinematics. Links the
  // traversal does not reach keep their previous transform (identity at first).
  const std::vector<Transform>& link_transforms() const { return link_transforms_; }
  // Translation of a link's transform. Throws InternalFault for an index out of range.
  Eigen::Vector3d link_position(std::size_t link) const;
  // Every link transform back to the identity, as after construction.
  void reset();
  // True when this buffer has the sizes of `model`'s (made for it or for an identical robot).
  bool is_sized_for(const KinematicModel& model) const;

 private:
  friend void forward_kinematics(const KinematicModel&, KinematicData&, std::span<const double>);
  friend void link_position_jacobian(const KinematicModel&, const KinematicData&, std::size_t,
                                     Eigen::Ref<Jacobian>);
  // A joint's axis and origin in root coordinates, kept from the parent * origin product that
  // forward kinematics computes anyway, for the Jacobian columns the plan proves identical.
  struct JointFrame {
    double axis[3];
    double origin[3];
  };

  void check_belongs_to(const KinematicModel& model) const;

  std::vector<Transform> link_transforms_;
  std::vector<JointFrame> joint_frames_;
  bool joint_frames_current_ = false;  // set by the first forward-kinematics call
};

// Pose of every link in the root frame for one joint vector in DOF order, into `data`:
// breadth-first from the root, T = parent * origin * motion(q). A joint without an entry in
// `qpos` (any length is accepted) moves with q = 0. No allocation.
void forward_kinematics(const KinematicModel& model, KinematicData& data,
                        std::span<const double> qpos);

// d(link origin)/d(qpos), 3 x dof, from the transforms of the last forward_kinematics call on
// `data`. `out` must have dof columns. No allocation.
void link_position_jacobian(const KinematicModel& model, const KinematicData& data,
                            std::size_t link, Eigen::Ref<Jacobian> out);
Jacobian link_position_jacobian(const KinematicModel& model, const KinematicData& data,
                                std::size_t link);
// The columns of that Jacobian the link's joints can make non-zero, ascending and distinct; every
// other column is zero in every configuration. Depends only on the model: solvers that add
// J^T J per link plan their sparse loops with it. Throws InternalFault for a link out of range.
std::vector<std::uint32_t> link_jacobian_columns(const KinematicModel& model, std::size_t link);

// Batches, laid out as C-ordered (row-major) arrays, the layout of a contiguous NumPy array:
//   qpos  (count, dof):        row n, joint j at qpos[n * dof + j]; every row exactly dof long.
//   poses (count, links, 4, 4): element (r, c) of link l in row n at
//                              poses[((n * links + l) * 4 + r) * 4 + c] (row-major matrices).
//   positions (count, L, 3):   coordinate i of links[k] in row n at positions[(n * L + k) * 3 + i].
// Each row gives exactly what a single forward_kinematics call on a fresh data buffer gives:
// `data` is reset first, so links the traversal does not reach read as the identity. `data` is
// left holding the last row. Sizes that do not match, and link indices out of range, throw
// InternalFault before anything is written.
void forward_kinematics_batch(const KinematicModel& model, KinematicData& data,
                              std::span<const double> qpos, std::size_t count,
                              std::span<double> poses);
void link_positions_batch(const KinematicModel& model, KinematicData& data,
                          std::span<const double> qpos, std::size_t count,
                          std::span<const std::size_t> links, std::span<double> positions);

}  // namespace kova
