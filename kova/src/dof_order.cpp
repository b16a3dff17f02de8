// The canonical order of the degrees of freedom: the six dummy free joints first, then the fixed
// joint order of a recognised hand (recognised by its joint names), then every other joint in
// URDF order.
#include "dof_order.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "kova/kinematic_model.hpp"

namespace kova {
namespace {

constexpr std::array<std::string_view, 6> kDummyJointNames = {
    "dummy_x_translation_joint", "dummy_y_translation_joint", "dummy_z_translation_joint",
    "dummy_x_rotation_joint",    "dummy_y_rotation_joint",    "dummy_z_rotation_joint"};

std::vector<std::string> two_phalanx_hand_order() {
  std::vector<std::string> order;
  for (const char* finger : {"index", "middle", "pinky", "ring", "thumb"}) {
    order.push_back(std::string(finger) + "_q1");
    order.push_back(std::string(finger) + "_q2");
  }
  return order;
}

std::vector<std::string> twelve_joint_hand_order() {
  return {"index_proximal_joint",       "index_intermediate_joint", "middle_proximal_joint",
          "middle_intermediate_joint",  "pinky_proximal_joint",     "pinky_intermediate_joint",
          "ring_proximal_joint",        "ring_intermediate_joint",  "thumb_proximal_yaw_joint",
          "thumb_proximal_pitch_joint", "thumb_intermediate_joint", "thumb_distal_joint"};
}

std::vector<std::string> numbered_order(std::initializer_list<int> numbers, std::string_view prefix,
                                        std::string_view suffix) {
  std::vector<std::string> order;
  for (int number : numbers) {
    order.push_back(std::string(prefix) + std::to_string(number) + std::string(suffix));
  }
  return order;
}

std::vector<std::string> tendon_hand_order() {
  return {"WRJ2", "WRJ1", "FFJ4", "FFJ3", "FFJ2", "FFJ1", "LFJ5", "LFJ4",
          "LFJ3", "LFJ2", "LFJ1", "MFJ4", "MFJ3", "MFJ2", "MFJ1", "RFJ4",
          "RFJ3", "RFJ2", "RFJ1", "THJ5", "THJ4", "THJ3", "THJ2", "THJ1"};
}

std::vector<std::string> prefixed_hand_order(const std::string& prefix) {
  std::vector<std::string> order;
  for (const char* name : {"Thumb_Opposition",
                           "Thumb_Flexion",
                           "j3",
                           "j4",
                           "index_spread",
                           "Index_Finger_Proximal",
                           "Index_Finger_Distal",
                           "j14",
                           "j5",
                           "Finger_Spread",
                           "Pinky",
                           "j13",
                           "j17",
                           "ring_spread",
                           "Ring_Finger",
                           "j12",
                           "j16",
                           "Middle_Finger_Proximal",
                           "Middle_Finger_Distal",
                           "j15"}) {
    order.push_back(prefix + name);
  }
  return order;
}

// The preferred order of the first recognised hand, or an empty list.
std::vector<std::string> preferred_hand_order(std::span<const JointSpec* const> candidates) {
  std::unordered_set<std::string_view> names;
  for (const JointSpec* joint : candidates) names.insert(joint->name);
  const auto has = [&](std::string_view name) { return names.contains(name); };

  if (has("index_q1") && has("thumb_q1")) return two_phalanx_hand_order();
  if (has("index_proximal_joint") && has("thumb_distal_joint")) return twelve_joint_hand_order();
  if (has("joint_0.0") && has("joint_15.0")) {
    return numbered_order({0, 1, 2, 3, 12, 13, 14, 15, 4, 5, 6, 7, 8, 9, 10, 11}, "joint_", ".0");
  }
  if (has("0") && has("15")) {
    return numbered_order({1, 0, 2, 3, 12, 13, 14, 15, 5, 4, 6, 7, 9, 8, 10, 11}, "", "");
  }
  if (has("WRJ2") && has("THJ1")) return tendon_hand_order();
  const bool opposition = std::any_of(candidates.begin(), candidates.end(), [](const JointSpec* j) {
    return j->name.find("hand_Thumb_Opposition") != std::string::npos;
  });
  if (opposition) {
    const bool left = std::any_of(candidates.begin(), candidates.end(), [](const JointSpec* j) {
      return j->name.starts_with("left_hand_");
    });
    return prefixed_hand_order(left ? "left_hand_" : "right_hand_");
  }
  return {};
}

}  // namespace

std::vector<std::size_t> dof_rank_order(std::span<const JointSpec* const> candidates) {
  std::unordered_map<std::string, std::size_t> rank;
  for (std::string_view name : kDummyJointNames) rank.emplace(std::string(name), rank.size());
  std::size_t next_rank = kDummyJointNames.size();
  for (std::string& name : preferred_hand_order(candidates)) {
    rank.emplace(std::move(name), next_rank++);
  }
  std::vector<std::size_t> rank_of(candidates.size(), std::numeric_limits<std::size_t>::max());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (const auto found = rank.find(candidates[i]->name); found != rank.end()) {
      rank_of[i] = found->second;
    }
  }
  std::vector<std::size_t> order(candidates.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return rank_of[a] < rank_of[b]; });
  return order;
}

std::vector<JointSpec> reorder_dof_joints_like_pinocchio(std::vector<JointSpec> candidates) {
  std::vector<const JointSpec*> views;
  views.reserve(candidates.size());
  for (const JointSpec& joint : candidates) views.push_back(&joint);
  std::vector<JointSpec> sorted;
  sorted.reserve(candidates.size());
  for (std::size_t i : dof_rank_order(views)) sorted.push_back(std::move(candidates[i]));
  return sorted;
}

}  // namespace kova
