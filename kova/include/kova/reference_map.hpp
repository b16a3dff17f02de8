// From hand keypoints to the reference rows a retargeting method reads, and the error of each
// target for a solved frame.
//
// Rows per method, from the configuration's target_link_human_indices:
// - position: one row per target link, the keypoint with the given index;
// - vector: the indices hold the vector origins in their first half and the tasks in their
//   second half; row i is keypoint[task i] - keypoint[origin i];
// - dexpilot: the same layout over the DexPilot vectors in the optimiser's order. Without
//   configured indices they come from the wrist landmark and the fingertip landmark of the
//   finger each fingertip link names (fingertip_match.hpp).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "kova/config_issue.hpp"
#include "kova/constants.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/result.hpp"
#include "kova/retargeting_config.hpp"

namespace kova {

struct ReferenceMap {
  RetargetingType method = RetargetingType::Position;
  double scaling_factor = 1.0;  // vector errors compare with the scaled human vector
  // Per row: the landmark of the vector's origin (empty for position) and of its task (the
  // keypoint itself for position).
  std::vector<std::size_t> origin_landmarks;
  std::vector<std::size_t> task_landmarks;
  // Per row: "link" for position, "origin->task" for vectors.
  std::vector<std::string> labels;
  // The robot links the errors read, each once, in first use order (origins, then tasks);
  // target_errors takes their positions in this order.
  std::vector<std::string> links;
  // Per row: positions in `links` of the origin (empty for position) and the task link.
  std::vector<std::size_t> origin_links;
  std::vector<std::size_t> task_links;
  // DexPilot without configured indices: the finger each fingertip link was matched to, and
  // whether the names did not decide and the list order was used.
  std::vector<Finger> fingertip_fingers;
  bool fingers_by_list_order = false;

  std::size_t row_count() const { return task_landmarks.size(); }
  // Values of one frame of rows (3 per row).
  std::size_t row_values() const { return 3 * task_landmarks.size(); }
  bool rows_are_vectors() const { return !origin_landmarks.empty(); }

  // Fails with the first error of check_reference.
  static Result<ReferenceMap> from_config(const RetargetingConfig& config);
};

// Everything that keeps a configuration from having a reference map: the record's own
// validation, landmarks beyond the 21 of a hand, a DexPilot fingertip count outside 2-5 and a
// DexPilot index count that is not 2 x the vector count. Also warns when DexPilot fingertips
// are matched to fingers by list order.
std::vector<ConfigIssue> check_reference(const RetargetingConfig& config);

// Rows of whole frames: `keypoints` holds frames x 21 x 3 values, `rows` frames x row_values().
// Allocates nothing.
Status reference_rows(const ReferenceMap& map, std::span<const double> keypoints,
                      std::span<double> rows);

// Error of each target, in metres, for whole frames: `link_positions` holds frames x links x 3
// (the links of map.links, in that order), `rows` frames x row_values() and `errors`
// frames x row_count(). Position: distance of the target link to its keypoint; vectors: length
// of the robot vector minus scaling_factor times the human vector. Allocates nothing.
Status target_errors(const ReferenceMap& map, std::span<const double> link_positions,
                     std::span<const double> rows, std::span<double> errors);

}  // namespace kova
