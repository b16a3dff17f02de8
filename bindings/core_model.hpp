// The Python RobotModel: a shared, immutable robot description, also handed out by retargeters.
#pragma once

#include <memory>

#include <nanobind/nanobind.h>

#include "kova/robot_wrapper.hpp"

namespace kova_core {

struct PyRobotModel {
  std::shared_ptr<const kova::RobotWrapper> robot;
};

// The link geometry and mimic-following methods of RobotModel (core_geometry.cpp).
void bind_geometry(nanobind::module_& module, nanobind::class_<PyRobotModel>& model);

}  // namespace kova_core
