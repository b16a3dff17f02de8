// The retargeting configuration: the record, its YAML file, validation, URDF path resolution and
// the building of a ready retargeter.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kova/constants.hpp"
#include "kova/result.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/urdf.hpp"

namespace kova {

struct RetargetingConfig {
  RetargetingType type = RetargetingType::Vector;
  std::string urdf_path;
  bool add_dummy_free_joint = false;
  std::optional<std::vector<std::uint64_t>> target_link_human_indices;  // always flat
  std::optional<std::string> wrist_link_name;
  std::optional<std::vector<std::string>> target_link_names;
  std::optional<std::vector<std::string>> target_joint_names;
  std::optional<std::vector<std::string>> target_origin_link_names;
  std::optional<std::vector<std::string>> target_task_link_names;
  std::optional<std::vector<std::string>> finger_tip_link_names;
  double scaling_factor = 1.0;
  double normal_delta = 0.004;
  double huber_delta = 0.02;
  double project_dist = 0.03;
  double escape_dist = 0.05;
  bool has_joint_limits = true;
  bool ignore_mimic_joint = false;
  double low_pass_alpha = 0.1;
  std::filesystem::path urdf_dir;

  // Reads one YAML file (its "retargeting" section) and validates the record.
  static Result<RetargetingConfig> load_from_file(const std::filesystem::path& path);
  static Result<RetargetingConfig> load_from_path(const std::filesystem::path& path);

  // The message of the first rule that fails.
  Status validate() const;

  // An existing path for urdf_path: absolute as is; relative against urdf_dir, then
  // <dir>/assets/robots/hands for urdf_dir and each of its parents, then the working directory.
  Result<std::filesystem::path> resolve_urdf_path() const;

  // Consumes the record. Returned messages come from validation, path resolution, the URDF
  // reader, the robot wrapper and the mimic lookups; an optimiser constructor's refusal is an
  // InternalFault.
  Result<SeqRetargeting> build() &&;
};

// Puts six one-DOF joints (x, y, z translation, then x, y, z rotation) between a new root link
// and the previous root. A robot without a root link is left unchanged.
void add_dummy_free_joints(UrdfRobot& robot);

}  // namespace kova
