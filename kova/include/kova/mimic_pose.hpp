// Joint vectors in which mimic joints take the values their sources give them.
//
// Forward kinematics takes every joint value as given. A tool that poses a robot by its actuated
// joints (a hand opened or closed to the ends of its ranges) first lets each mimic joint follow:
// q_mimic = multiplier * q_source + offset, a mimic of a mimic after its source whatever their
// order in the file.
#pragma once

#include <span>

#include "kova/kinematic_model.hpp"

namespace kova {

// In place over a joint vector in the model's DOF order (InternalFault when its length is not
// the model's dof). A mimic joint whose source is no DOF joint, or that lies on a cycle of mimic
// joints, keeps its value.
void follow_mimic_joints(const KinematicModel& model, std::span<double> qpos);

}  // namespace kova
