#include "kova/robot_wrapper.hpp"

#include <utility>

namespace kova {
namespace {

const KinematicModel& checked(const std::shared_ptr<const KinematicModel>& model) {
  if (!model) throw InternalFault("RobotWrapper needs a kinematic model");
  return *model;
}

}  // namespace

RobotWrapper::RobotWrapper(std::shared_ptr<const KinematicModel> model)
    : model_(std::move(model)), data_(checked(model_)) {}

Result<RobotWrapper> RobotWrapper::create(UrdfRobot urdf) {
  auto model = KinematicModel::create(std::move(urdf));
  if (!model) return fail(std::move(model.error()));
  return RobotWrapper(std::move(*model));
}

}  // namespace kova
