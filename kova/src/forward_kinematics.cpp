// Forward kinematics and link position Jacobians, walking the model's plan and writing only the
// caller's data buffer.
//
// Every matrix product is written out with its terms summed in index order, so the results do
// not depend on how a linear-algebra library chooses to vectorise or reassociate.
#include <algorithm>
#include <string>

#include "kova/kinematic_model.hpp"

namespace kova {
namespace {

// out = a * b; out must not alias a or b.
inline void multiply(const Transform& a, const Transform& b, Transform& out) {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      out(r, c) = a(r, 0) * b(0, c) + a(r, 1) * b(1, c) + a(r, 2) * b(2, c) + a(r, 3) * b(3, c);
    }
  }
}

// Rodrigues' formula c*I + t*a*a^T + s*[a]x on the axis exactly as stored (not normalised).
inline void set_rotation(const Eigen::Vector3d& axis, double q, Transform& m) {
  const double c = std::cos(q);
  const double s = std::sin(q);
  const double t = 1.0 - c;
  const double ax = axis.x();
  const double ay = axis.y();
  const double az = axis.z();
  m(0, 0) = c + t * (ax * ax);
  m(0, 1) = t * ax * ay - s * az;
  m(0, 2) = t * ax * az + s * ay;
  m(1, 0) = t * ax * ay + s * az;
  m(1, 1) = c + t * (ay * ay);
  m(1, 2) = t * ay * az - s * ax;
  m(2, 0) = t * ax * az - s * ay;
  m(2, 1) = t * ay * az + s * ax;
  m(2, 2) = c + t * (az * az);
  m(0, 3) = 0.0;
  m(1, 3) = 0.0;
  m(2, 3) = 0.0;
  m(3, 0) = 0.0;
  m(3, 1) = 0.0;
  m(3, 2) = 0.0;
  m(3, 3) = 1.0;
}

inline void set_translation(const Eigen::Vector3d& axis, double q, Transform& m) {
  m.setIdentity();
  m(0, 3) = q * axis.x();
  m(1, 3) = q * axis.y();
  m(2, 3) = q * axis.z();
}

// The joint's axis in root coordinates and its origin, from F = parent * origin (rows 0..2).
// The Jacobian computes exactly these expressions when it has no stored frame.
template <class Frame>
inline void joint_axis_and_origin(const Frame& f, const Eigen::Vector3d& a, double axis[3],
                                  double origin[3]) {
  axis[0] = f(0, 0) * a.x() + f(0, 1) * a.y() + f(0, 2) * a.z();
  axis[1] = f(1, 0) * a.x() + f(1, 1) * a.y() + f(1, 2) * a.z();
  axis[2] = f(2, 0) * a.x() + f(2, 1) * a.y() + f(2, 2) * a.z();
  origin[0] = f(0, 3);
  origin[1] = f(1, 3);
  origin[2] = f(2, 3);
}

}  // namespace

KinematicData::KinematicData(const KinematicModel& model)
    : link_transforms_(model.link_count(), Transform::Identity()),
      joint_frames_(model.joint_frame_count_) {}

void KinematicData::reset() {
  for (Transform& transform : link_transforms_) transform.setIdentity();
  joint_frames_current_ = false;
}

bool KinematicData::is_sized_for(const KinematicModel& model) const {
  return link_transforms_.size() == model.link_count() &&
         joint_frames_.size() == model.joint_frame_count_;
}

void KinematicData::check_belongs_to(const KinematicModel& model) const {
  if (!is_sized_for(model)) throw InternalFault("Kinematic data was made for another model");
}

Eigen::Vector3d KinematicData::link_position(std::size_t link) const {
  check_index(link, link_transforms_.size());
  const Transform& t = link_transforms_[link];
  return Eigen::Vector3d(t(0, 3), t(1, 3), t(2, 3));
}

void forward_kinematics(const KinematicModel& model, KinematicData& data,
                        std::span<const double> qpos) {
  using Motion = KinematicModel::Motion;
  constexpr std::uint32_t kNone = KinematicModel::kNone;
  data.check_belongs_to(model);
  std::vector<Transform>& link_transforms = data.link_transforms_;
  if (model.root_slot_ != kNone) link_transforms[model.root_slot_].setIdentity();
  Transform parent = Transform::Identity();
  Transform offset = Transform::Identity();
  Transform motion = Transform::Identity();
  const std::vector<JointSpec>& joints = model.urdf_.joints;
  const KinematicModel::Step* const steps = model.steps_.data();
  for (const KinematicModel::Visit& visit : model.visits_) {
    parent = link_transforms[visit.link_slot];  // taken before any child of the link is written
    const KinematicModel::Step* const end = steps + visit.first_step + visit.step_count;
    for (const KinematicModel::Step* step = steps + visit.first_step; step != end; ++step) {
      if (step->child_slot == kNone) continue;  // the product would be stored nowhere
      const JointSpec& joint = joints[step->joint];
      const double q = (step->dof != kNone && step->dof < qpos.size()) ? qpos[step->dof] : 0.0;
      switch (step->motion) {
        case Motion::kRevolute:
          set_rotation(joint.axis, q, motion);
          break;
        case Motion::kPrismatic:
          set_translation(joint.axis, q, motion);
          break;
        case Motion::kNone:
          motion.setIdentity();
          break;
      }
      multiply(parent, joint.origin, offset);
      multiply(offset, motion, link_transforms[step->child_slot]);
      if (step->frame != kNone) {
        KinematicData::JointFrame& frame = data.joint_frames_[step->frame];
        joint_axis_and_origin(offset, joint.axis, frame.axis, frame.origin);
      }
    }
  }
  data.joint_frames_current_ = true;
}

Jacobian link_position_jacobian(const KinematicModel& model, const KinematicData& data,
                                std::size_t link) {
  check_index(link, data.link_transforms().size());
  Jacobian jacobian(3, static_cast<Eigen::Index>(model.dof()));
  link_position_jacobian(model, data, link, jacobian);
  return jacobian;
}

void link_position_jacobian(const KinematicModel& model, const KinematicData& data,
                            std::size_t link, Eigen::Ref<Jacobian> out) {
  using Motion = KinematicModel::Motion;
  constexpr std::uint32_t kNone = KinematicModel::kNone;
  data.check_belongs_to(model);
  const std::vector<Transform>& link_transforms = data.link_transforms_;
  check_index(link, link_transforms.size());
  if (static_cast<std::size_t>(out.cols()) != model.dof()) {
    throw InternalFault("Jacobian output has " + std::to_string(out.cols()) +
                        " columns but the robot has " + std::to_string(model.dof()) +
                        " degrees of freedom");
  }
  out.setZero();
  const Transform& link_transform = link_transforms[link];
  const double px = link_transform(0, 3);
  const double py = link_transform(1, 3);
  const double pz = link_transform(2, 3);
  const KinematicModel::Column* const columns = model.columns_.data();
  for (std::uint32_t node = model.link_nodes_[link]; node != kNone;
       node = model.up_nodes_[node].up) {
    const KinematicModel::UpNode& up = model.up_nodes_[node];
    const KinematicModel::Column* const end = columns + up.first_column + up.column_count;
    for (const KinematicModel::Column* column = columns + up.first_column; column != end;
         ++column) {
      if (column->parent_slot == kNone || column->motion == Motion::kNone) continue;
      // Joint frame before the joint's own motion, F = P * origin: its axis and origin.
      double axis[3];
      double origin[3];
      if (column->frame != kNone && data.joint_frames_current_) {
        const KinematicData::JointFrame& stored = data.joint_frames_[column->frame];
        std::copy(stored.axis, stored.axis + 3, axis);
        std::copy(stored.origin, stored.origin + 3, origin);
      } else {
        const JointSpec& joint = model.dof_joints_[column->dof];
        const Transform& p = link_transforms[column->parent_slot];
        const Transform& o = joint.origin;
        double f[3][4];
        for (int r = 0; r < 3; ++r) {
          for (int c = 0; c < 4; ++c) {
            f[r][c] = p(r, 0) * o(0, c) + p(r, 1) * o(1, c) + p(r, 2) * o(2, c) + p(r, 3) * o(3, c);
          }
        }
        joint_axis_and_origin([&f](int r, int c) { return f[r][c]; }, joint.axis, axis, origin);
      }
      const double wx = axis[0];
      const double wy = axis[1];
      const double wz = axis[2];
      const Eigen::Index j = column->dof;
      if (column->motion == Motion::kPrismatic) {
        out(0, j) = wx;
        out(1, j) = wy;
        out(2, j) = wz;
      } else {
        const double dx = px - origin[0];
        const double dy = py - origin[1];
        const double dz = pz - origin[2];
        out(0, j) = wy * dz - wz * dy;
        out(1, j) = wz * dx - wx * dz;
        out(2, j) = wx * dy - wy * dx;
      }
    }
  }
}

std::vector<std::uint32_t> link_jacobian_columns(const KinematicModel& model, std::size_t link) {
  using Motion = KinematicModel::Motion;
  constexpr std::uint32_t kNone = KinematicModel::kNone;
  check_index(link, model.link_nodes_.size());
  // The same walk as link_position_jacobian, keeping the columns it writes.
  std::vector<std::uint32_t> dofs;
  for (std::uint32_t node = model.link_nodes_[link]; node != kNone;
       node = model.up_nodes_[node].up) {
    const KinematicModel::UpNode& up = model.up_nodes_[node];
    for (std::uint32_t c = up.first_column; c < up.first_column + up.column_count; ++c) {
      const KinematicModel::Column& column = model.columns_[c];
      if (column.parent_slot == kNone || column.motion == Motion::kNone) continue;
      dofs.push_back(column.dof);
    }
  }
  std::sort(dofs.begin(), dofs.end());
  dofs.erase(std::unique(dofs.begin(), dofs.end()), dofs.end());
  return dofs;
}

}  // namespace kova
