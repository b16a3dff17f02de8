// Everything a retargeting configuration can get wrong, listed before anything is built.
//
// The core's reader is lenient by design: a value of another kind silently becomes the key's
// default, unknown keys are ignored, non-string list entries are dropped, and a misspelt link or
// joint name only surfaces when the optimiser is built. These checks are strict: each finds every
// such problem, says where it is, what was found, what is expected and, for names and
// enumerations, the valid choices and the closest one. Errors must be fixed; warnings describe
// configurations that work but probably not as meant.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kova/config_issue.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/urdf.hpp"

namespace kova {

// The document: YAML syntax, the top-level sections (`retargeting`, and `kova`, the project's
// own), unknown keys, and values of a kind the reader would replace (with their line). Parsed
// with the same YAML tree and scalar resolution as the core's reader.
std::vector<ConfigIssue> check_config_document(std::string_view text);

// The record: what keeps it from a reference map (check_reference), numbers out of their range
// and an empty list of joints to drive.
std::vector<ConfigIssue> check_config(const RetargetingConfig& config);

// The fingertip links a configuration's `kova` section records (kova.fingers.<finger>.tip).
using RecordedTips = std::span<const std::pair<Finger, std::string>>;

// Names against the robot the configuration builds (`robot` as read from its file; the dummy
// free joints are added here when the configuration asks for them): links and joints that are
// not in it (the recorded fingertips included), mimic joints whose source is not driven.
// `robot_label` names the robot in messages, e.g. its file name.
std::vector<ConfigIssue> check_config_robot(const RetargetingConfig& config, const UrdfRobot& robot,
                                            std::string_view robot_label,
                                            RecordedTips recorded_tips = {});

// check_config, then the URDF found and read as the build would, then check_config_robot.
std::vector<ConfigIssue> check_config_with_robot(const RetargetingConfig& config,
                                                 RecordedTips recorded_tips = {});

// Everything about a configuration file before anything is built, the one check behind
// `kova check`, `kova retarget` and Retargeter.from_config: check_config_document on its text
// (`document`, the file's contents), then, when the core's reader reads the file (`path`),
// check_config_with_robot with the fingertips its `kova` section records. An error the reader
// reports is listed only when the document shows none (it would be their consequence).
std::vector<ConfigIssue> check_config_file(std::string_view document,
                                           const std::filesystem::path& path);

}  // namespace kova
