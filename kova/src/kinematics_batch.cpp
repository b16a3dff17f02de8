// Forward kinematics over a batch of joint vectors, into C-ordered arrays (NumPy's layout).
#include <string>

#include "kova/kinematic_model.hpp"

namespace kova {
namespace {

// A buffer for this model and `count` rows of exactly dof values, or InternalFault.
void check_rows(const KinematicModel& model, const KinematicData& data,
                std::span<const double> qpos, std::size_t count) {
  if (!data.is_sized_for(model)) throw InternalFault("Kinematic data was made for another model");
  const std::size_t dof = model.dof();
  if ((dof != 0 && count > qpos.size() / dof) || qpos.size() != count * dof) {
    throw InternalFault("Joint vectors hold " + std::to_string(qpos.size()) + " values, not " +
                        std::to_string(count) + " rows of " + std::to_string(dof));
  }
}

void check_output(std::span<double> out, std::size_t count, std::size_t per_row) {
  if ((per_row != 0 && count > out.size() / per_row) || out.size() != count * per_row) {
    throw InternalFault("Output holds " + std::to_string(out.size()) + " values, not " +
                        std::to_string(count) + " rows of " + std::to_string(per_row));
  }
}

}  // namespace

void forward_kinematics_batch(const KinematicModel& model, KinematicData& data,
                              std::span<const double> qpos, std::size_t count,
                              std::span<double> poses) {
  check_rows(model, data, qpos, count);
  const std::size_t links = model.link_count();
  check_output(poses, count, links * 16);
  data.reset();
  const std::size_t dof = model.dof();
  double* out = poses.data();
  for (std::size_t n = 0; n < count; ++n) {
    forward_kinematics(model, data, qpos.subspan(n * dof, dof));
    for (const Transform& t : data.link_transforms()) {
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) *out++ = t(r, c);
      }
    }
  }
}

void link_positions_batch(const KinematicModel& model, KinematicData& data,
                          std::span<const double> qpos, std::size_t count,
                          std::span<const std::size_t> links, std::span<double> positions) {
  check_rows(model, data, qpos, count);
  for (std::size_t link : links) check_index(link, model.link_count());
  check_output(positions, count, links.size() * 3);
  data.reset();
  const std::size_t dof = model.dof();
  double* out = positions.data();
  for (std::size_t n = 0; n < count; ++n) {
    forward_kinematics(model, data, qpos.subspan(n * dof, dof));
    const std::vector<Transform>& transforms = data.link_transforms();
    for (std::size_t link : links) {
      const Transform& t = transforms[link];
      *out++ = t(0, 3);
      *out++ = t(1, 3);
      *out++ = t(2, 3);
    }
  }
}

}  // namespace kova
