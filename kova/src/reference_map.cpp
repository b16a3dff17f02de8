#include "kova/reference_map.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "config_schema.hpp"
#include "kova/dexpilot_vectors.hpp"
#include "kova/fingertip_match.hpp"

namespace kova {
namespace {

constexpr std::string_view kIndicesKey = "retargeting.target_link_human_indices";
constexpr std::string_view kFingertipsKey = "retargeting.finger_tip_link_names";

ReferenceMap map_of(const RetargetingConfig& config);
void check_finger_names(const ReferenceMap& map, std::vector<ConfigIssue>& issues);

ConfigIssue error(std::string_view key, std::string message) {
  return make_issue(Severity::Error, std::string(key), std::move(message));
}

// The validation message names the key it is about; the one named first is the issue's key.
std::string key_of_validation(std::string_view message) {
  std::string_view key = "retargeting";
  std::size_t first = std::string_view::npos;
  for (const config_schema::KeySchema& schema : config_schema::top_level().front().children) {
    const std::size_t at = message.find(schema.key);
    if (at < first) {
      first = at;
      key = schema.key;
    }
  }
  return first == std::string_view::npos ? std::string(key) : "retargeting." + std::string(key);
}

template <class T>
std::size_t count(const std::optional<std::vector<T>>& list) {
  return list ? list->size() : 0;
}

// Origin and task link names of each row of a vector method.
struct VectorLinks {
  std::vector<std::string> origins;
  std::vector<std::string> tasks;
};

VectorLinks dexpilot_links(const RetargetingConfig& config) {
  std::vector<std::string> links{config.wrist_link_name.value_or("")};
  const std::vector<std::string>& tips = *config.finger_tip_link_names;
  links.insert(links.end(), tips.begin(), tips.end());
  VectorLinks result;
  for (const DexPilotVector& vector : dexpilot_vector_pairs(tips.size())) {
    result.origins.push_back(links[vector.origin]);
    result.tasks.push_back(links[vector.task]);
  }
  return result;
}

// Flat indices (origins, then tasks) from the wrist and the landmark of each tip's finger.
std::vector<std::size_t> dexpilot_landmarks(const std::vector<Finger>& fingers) {
  std::vector<std::size_t> landmarks{kWristLandmark};
  for (const Finger finger : fingers) landmarks.push_back(fingertip_landmark(finger));
  std::vector<std::size_t> origins;
  std::vector<std::size_t> tasks;
  for (const DexPilotVector& vector : dexpilot_vector_pairs(fingers.size())) {
    origins.push_back(landmarks[vector.origin]);
    tasks.push_back(landmarks[vector.task]);
  }
  origins.insert(origins.end(), tasks.begin(), tasks.end());
  return origins;
}

std::size_t link_slot(std::vector<std::string>& links, const std::string& name) {
  const auto found = std::find(links.begin(), links.end(), name);
  if (found != links.end()) return static_cast<std::size_t>(found - links.begin());
  links.push_back(name);
  return links.size() - 1;
}

void check_dexpilot(const RetargetingConfig& config, std::vector<ConfigIssue>& issues) {
  const std::size_t tips = count(config.finger_tip_link_names);
  if (tips == 0) return;  // the record's validation says so
  if (tips < kDexPilotMinFingers || tips > kDexPilotMaxFingers) {
    issues.push_back(error(kFingertipsKey,
                           "dexpilot retargeting needs 2 to 5 fingertips in "
                           "finger_tip_link_names, got " +
                               std::to_string(tips)));
    return;
  }
  const std::size_t vectors = dexpilot_vector_pairs(tips).size();
  const std::size_t indices = count(config.target_link_human_indices);
  if (indices != 0) {
    if (indices != 2 * vectors) {
      ConfigIssue issue = error(
          kIndicesKey, "dexpilot retargeting with " + std::to_string(tips) + " fingertips needs " +
                           std::to_string(2 * vectors) + " target_link_human_indices (" +
                           std::to_string(vectors) + " vector origins, then " +
                           std::to_string(vectors) + " tasks), got " + std::to_string(indices) +
                           "; or leave the key out to match the fingertips by name");
      issue.found = std::to_string(indices);
      issue.expected = std::to_string(2 * vectors);
      issues.push_back(std::move(issue));
    }
    return;
  }
  const auto match = match_fingertips(*config.finger_tip_link_names);
  if (!match || !match->by_list_order) return;
  std::string pairs;
  for (std::size_t i = 0; i < tips; ++i) {
    if (i > 0) pairs += ", ";
    pairs +=
        (*config.finger_tip_link_names)[i] + " -> " + std::string(to_string(match->fingers[i]));
  }
  issues.push_back(make_issue(
      Severity::Warning, std::string(kFingertipsKey),
      "the fingertip link names do not each name a different finger (thumb, index, middle, "
      "ring, little), so they are matched in list order: " +
          pairs + "; list them thumb first in that order, or give target_link_human_indices"));
}

}  // namespace

std::vector<ConfigIssue> check_reference(const RetargetingConfig& config) {
  std::vector<ConfigIssue> issues;
  if (const Status valid = config.validate(); !valid) {
    issues.push_back(error(key_of_validation(valid.error()), valid.error()));
  }
  if (config.target_link_human_indices) {
    const std::vector<std::uint64_t>& indices = *config.target_link_human_indices;
    for (std::size_t i = 0; i < indices.size(); ++i) {
      if (indices[i] < kHandLandmarkCount) continue;
      ConfigIssue issue =
          error(std::string(kIndicesKey) + "[" + std::to_string(i) + "]",
                "target_link_human_indices entry " + std::to_string(i) + " is " +
                    std::to_string(indices[i]) + "; hand landmarks are numbered 0 to 20");
      issue.found = std::to_string(indices[i]);
      issue.expected = "a landmark from 0 to 20";
      issues.push_back(std::move(issue));
    }
  }
  if (config.type == RetargetingType::DexPilot) check_dexpilot(config, issues);
  if (!has_errors(issues)) check_finger_names(map_of(config), issues);
  return issues;
}

Result<ReferenceMap> ReferenceMap::from_config(const RetargetingConfig& config) {
  for (const ConfigIssue& issue : check_reference(config)) {
    if (issue.severity == Severity::Error) return fail(issue.message);
  }
  return map_of(config);
}

namespace {

ReferenceMap map_of(const RetargetingConfig& config) {
  ReferenceMap map;
  map.method = config.type;
  map.scaling_factor = config.scaling_factor;

  if (config.type == RetargetingType::Position) {
    const std::vector<std::uint64_t>& indices = *config.target_link_human_indices;
    map.task_landmarks.assign(indices.begin(), indices.end());
    for (const std::string& link : *config.target_link_names) {
      map.labels.push_back(link);
      map.task_links.push_back(link_slot(map.links, link));
    }
    return map;
  }

  VectorLinks links;
  std::vector<std::size_t> indices;
  if (config.type == RetargetingType::Vector) {
    links = {*config.target_origin_link_names, *config.target_task_link_names};
  } else {
    links = dexpilot_links(config);
  }
  if (count(config.target_link_human_indices) != 0) {
    indices.assign(config.target_link_human_indices->begin(),
                   config.target_link_human_indices->end());
  } else {
    // Only DexPilot gets here: the record's validation requires indices for vectors.
    FingertipMatch match = *match_fingertips(*config.finger_tip_link_names);
    indices = dexpilot_landmarks(match.fingers);
    map.fingertip_fingers = std::move(match.fingers);
    map.fingers_by_list_order = match.by_list_order;
  }
  const std::size_t rows = links.origins.size();
  map.origin_landmarks.assign(indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(rows));
  map.task_landmarks.assign(indices.begin() + static_cast<std::ptrdiff_t>(rows), indices.end());
  for (std::size_t i = 0; i < rows; ++i)
    map.origin_links.push_back(link_slot(map.links, links.origins[i]));
  for (std::size_t i = 0; i < rows; ++i)
    map.task_links.push_back(link_slot(map.links, links.tasks[i]));
  for (std::size_t i = 0; i < rows; ++i)
    map.labels.push_back(links.origins[i] + "->" + links.tasks[i]);
  return map;
}

// A link whose name names one finger, matched to a landmark of another finger, is almost
// always a slip in target_link_human_indices (or in the order of the links). One warning per
// link, for its first such row; DexPilot matched by list order is already warned about, with
// every match.
void check_finger_names(const ReferenceMap& map, std::vector<ConfigIssue>& issues) {
  if (map.fingers_by_list_order) return;
  std::vector<bool> warned(map.links.size(), false);
  const auto check = [&](std::size_t row, std::size_t link, std::size_t landmark) {
    const std::string& name = map.links[link];
    const std::optional<Finger> named = finger_named_by(name);
    const std::optional<Finger> matched = finger_of_landmark(landmark);
    if (!named || !matched || named == matched || warned[link]) return;
    warned[link] = true;
    const auto finger = [](Finger f) {
      return std::string(to_string(f)) + (f == Finger::Thumb ? "" : " finger");
    };
    ConfigIssue issue =
        make_issue(Severity::Warning, std::string(kIndicesKey),
                   "row " + std::to_string(row) + " (" + map.labels[row] + ") matches link '" +
                       name + "', which names the " + finger(*named) + ", to landmark " +
                       std::to_string(landmark) + " on the " + finger(*matched) +
                       "; check the order of target_link_human_indices against the links");
    issue.found = std::to_string(landmark);
    issues.push_back(std::move(issue));
  };
  for (std::size_t row = 0; row < map.row_count(); ++row) {
    if (map.rows_are_vectors()) check(row, map.origin_links[row], map.origin_landmarks[row]);
    check(row, map.task_links[row], map.task_landmarks[row]);
  }
}

}  // namespace

Status reference_rows(const ReferenceMap& map, std::span<const double> keypoints,
                      std::span<double> rows) {
  if (keypoints.size() % kKeypointFrameValues != 0) {
    return fail("keypoints hold " + std::to_string(keypoints.size()) +
                " values, not a whole number of frames of 21 landmarks x 3");
  }
  const std::size_t frames = keypoints.size() / kKeypointFrameValues;
  const std::size_t row_values = map.row_values();
  if (rows.size() != frames * row_values) {
    return fail("the row buffer holds " + std::to_string(rows.size()) + " values; " +
                std::to_string(frames) + " frames of " + std::to_string(map.row_count()) +
                " rows need " + std::to_string(frames * row_values));
  }
  const bool vectors = map.rows_are_vectors();
  for (std::size_t f = 0; f < frames; ++f) {
    const double* kp = keypoints.data() + f * kKeypointFrameValues;
    double* out = rows.data() + f * row_values;
    for (std::size_t r = 0; r < map.row_count(); ++r) {
      const double* task = kp + 3 * map.task_landmarks[r];
      for (std::size_t a = 0; a < 3; ++a) {
        out[3 * r + a] = vectors ? task[a] - kp[3 * map.origin_landmarks[r] + a] : task[a];
      }
    }
  }
  return {};
}

Status target_errors(const ReferenceMap& map, std::span<const double> link_positions,
                     std::span<const double> rows, std::span<double> errors) {
  const std::size_t row_values = map.row_values();
  const std::size_t link_values = 3 * map.links.size();
  if (row_values == 0 || rows.size() % row_values != 0) {
    return fail("rows hold " + std::to_string(rows.size()) +
                " values, not a whole number of frames of " + std::to_string(map.row_count()) +
                " rows x 3");
  }
  const std::size_t frames = rows.size() / row_values;
  if (link_positions.size() != frames * link_values) {
    return fail("link positions hold " + std::to_string(link_positions.size()) + " values; " +
                std::to_string(frames) + " frames of " + std::to_string(map.links.size()) +
                " links need " + std::to_string(frames * link_values));
  }
  if (errors.size() != frames * map.row_count()) {
    return fail("the error buffer holds " + std::to_string(errors.size()) + " values; " +
                std::to_string(frames) + " frames of " + std::to_string(map.row_count()) +
                " targets need " + std::to_string(frames * map.row_count()));
  }
  const bool vectors = map.rows_are_vectors();
  for (std::size_t f = 0; f < frames; ++f) {
    const double* positions = link_positions.data() + f * link_values;
    const double* frame_rows = rows.data() + f * row_values;
    for (std::size_t r = 0; r < map.row_count(); ++r) {
      const double* task = positions + 3 * map.task_links[r];
      const double* row = frame_rows + 3 * r;
      double d[3];
      for (std::size_t a = 0; a < 3; ++a) {
        d[a] = vectors ? (task[a] - positions[3 * map.origin_links[r] + a]) -
                             map.scaling_factor * row[a]
                       : task[a] - row[a];
      }
      errors[f * map.row_count() + r] = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    }
  }
  return {};
}

}  // namespace kova
