// A retargeter for whole sequences: a configuration checked strictly before anything is built,
// one configured sequencer, its inputs checked before the optimiser sees them, a report per
// solved frame, the reference map from hand keypoints to its rows and the error of each target,
// and a restart that forgets everything earlier frames left behind.
//
// Not synchronised: one caller at a time (the Python binding holds one mutex per object).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kova/config_issue.hpp"
#include "kova/constants.hpp"
#include "kova/hand_frame.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/optimizer.hpp"
#include "kova/reference_map.hpp"
#include "kova/result.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/robot_file.hpp"
#include "kova/seq_retarget.hpp"
#include "kova/solve_report.hpp"

namespace kova {

// Settings of the project's own `kova:` section of a configuration file.
struct RetargeterOptions {
  SolverKind solver = SolverKind::Slsqp;
  // kova.fingers.<finger>.tip: the robot link at each fingertip, as `kova init` found it, for
  // the fingers that record one (thumb to little finger). The solver does not read them; tools
  // that judge a result do.
  std::vector<std::pair<Finger, std::string>> fingertip_links;
  // kova.side: which hand the robot is, as `kova init` found it (unset when not recorded). The
  // keypoints a left hand's configuration takes are a left hand's, in its own hand frame.
  std::optional<HandSide> side;
};

// The options a configuration document sets in its `kova:` section (defaults for what it leaves
// out). Fails like check_config_text on a document that does not pass it.
Result<RetargeterOptions> retargeter_options(std::string_view document);

// The errors among `issues` as one message: the first, "key (line n): message", then how many
// more there are. Empty when there is no error (warnings are left out).
std::string config_error_text(std::span<const ConfigIssue> issues);

// check_config_document, with its errors as one message (config_error_text).
Status check_config_text(std::string_view document);

class Retargeter {
 public:
  // Checks the configuration strictly (values, then names against its robot: every name not in
  // the robot is reported with the closest match and the valid ones) and builds the configured
  // sequencer with the chosen solver. The message is config_error_text's or, for a robot file
  // that cannot be read, that of RetargetingConfig::build. The robot file is config_robot_file's.
  static Result<Retargeter> create(RetargetingConfig config, RetargeterOptions options = {});

  RetargetingType type() const { return type_; }
  // Joint vectors are dof() long, in joint_names() order.
  std::size_t dof() const { return joint_names_.size(); }
  const std::vector<std::string>& joint_names() const { return joint_names_; }
  // Reference rows of three values that one frame holds.
  std::size_t row_count() const { return row_count_; }
  // Values of the joints that are neither optimised nor mimic joints, in increasing DOF order.
  std::size_t fixed_dof() const { return seq_.optimizer().idx_pin2fixed().size(); }

  // One frame, continuing the sequence. rows: row_count() x 3 values; fixed_qpos: empty (every
  // fixed joint 0) or fixed_dof() values; out: dof() values. Refuses wrong lengths and
  // non-finite rows before anything changes.
  Status retarget(std::span<const double> rows, std::span<const double> fixed_qpos,
                  std::span<double> out);
  // `frames` frames in a row, continuing the sequence. rows: frames x row_count() x 3 values;
  // fixed_qpos: empty, fixed_dof() values for every frame, or frames x fixed_dof(); out:
  // frames x dof(). All lengths and every row are checked before the first frame is solved.
  // reports: empty, or one per frame, each filled as its frame is solved.
  Status retarget_sequence(std::size_t frames, std::span<const double> rows,
                           std::span<const double> fixed_qpos, std::span<double> out,
                           std::span<SolveReport> reports = {});
  // How the most recently solved frame ended ("not solved" before the first).
  const SolveReport& last_report() const { return optimizer_->last_report(); }
  SolverKind solver() const { return optimizer_->solver(); }

  // Keypoints to rows: `frames` frames of 21 x 3 values -> frames x row_count() x 3 values.
  const ReferenceMap& reference_map() const { return map_; }
  Status reference_rows(std::size_t frames, std::span<const double> keypoints,
                        std::span<double> rows) const;
  // Error of each target (metres) for solved frames: rows frames x row_count() x 3, qpos
  // frames x dof(), errors frames x row_count(). Works on the buffer of link_positions.
  Status target_errors(std::size_t frames, std::span<const double> rows,
                       std::span<const double> qpos, std::span<double> errors);

  // A fresh sequence: warm start, low-pass filter history and DexPilot's pinch state all as
  // right after create().
  void restart() { seq_.restart(); }

  // Positions of links (indices from link_indices) for `frames` joint vectors of dof() values,
  // mimic joints following their sources as in a solved frame: out gets frames x links x 3.
  // Works on a kinematic buffer of its own; the sequence is not touched.
  Status link_positions(std::size_t frames, std::span<const double> qpos,
                        std::span<const std::size_t> links, std::span<double> out);
  // "Link {} not found" for a name the robot does not have.
  Result<std::vector<std::size_t>> link_indices(std::span<const std::string> names) const;

  const RobotWrapper& robot() const { return optimizer_->data().robot; }
  // The robot description file the configuration's urdf_path resolved to.
  const std::filesystem::path& urdf_file() const { return urdf_file_; }
  const SeqRetargeting& sequencer() const { return seq_; }

 private:
  Retargeter(SeqRetargeting seq, RetargetingType type, std::filesystem::path urdf_file,
             ReferenceMap map);

  Status check_frames(std::size_t frames, std::span<const double> rows,
                      std::span<const double> fixed_qpos, std::span<double> out) const;
  void solve_frame(std::span<const double> rows, std::span<const double> fixed_qpos,
                   std::span<double> out);

  SeqRetargeting seq_;
  // The sequencer's optimiser (owned by seq_; the pointee does not move with it).
  OptimizerBase* optimizer_;
  RetargetingType type_;
  std::vector<std::string> joint_names_;
  std::size_t row_count_;
  std::filesystem::path urdf_file_;
  ReferenceMap map_;
  std::vector<std::size_t> map_link_indices_;  // map_.links in the robot
  std::vector<double> positions_scratch_;      // map_.links x 3, one frame
  RobotWrapper kinematics_;                    // link_positions' buffer, apart from the optimiser's
  std::vector<double> qpos_scratch_;
};

}  // namespace kova
