// Construction of the kinematic plan: everything forward kinematics and the Jacobians need that
// depends only on the robot, as plain indices. Also refuses joint graphs on which the traversal
// or the walk towards the root would never end, or would take absurdly long.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kova/kinematic_model.hpp"

namespace kova {
namespace {

// Forward kinematics may take at most this many joint steps per call, or one per joint when the
// robot has more joints. A tree takes at most one step per joint, so every tree builds; only a
// graph in which many paths reach the same links (stacked diamonds) can exceed it.
constexpr std::uint64_t kMinTraversalStepLimit = 1'000'000;

std::string cycle_message(const std::string& joint_name) {
  return "Joint " + joint_name + " closes a cycle in the kinematic tree";
}

std::string traversal_too_long_message(std::uint64_t limit) {
  return "Joint graph has too many paths from the root link: forward kinematics would take more "
         "than " +
         std::to_string(limit) + " joint steps";
}

std::uint32_t to_u32(std::size_t value) {
  return static_cast<std::uint32_t>(value);
}

}  // namespace

Status KinematicModel::build_plan() {
  const std::vector<LinkSpec>& links = urdf_.links;
  const std::vector<JointSpec>& joints = urdf_.joints;
  if (links.size() >= kNone || joints.size() >= kNone) {
    return fail("Robot has too many links or joints");
  }

  const auto motion_of = [](const std::string& joint_type) {
    if (joint_type == "revolute" || joint_type == "continuous") return Motion::kRevolute;
    if (joint_type == "prismatic") return Motion::kPrismatic;
    return Motion::kNone;
  };

  // Every name that appears as a link, a parent or a child becomes a node. Link names come first,
  // so a node is a known link exactly when its id is below `link_node_count`.
  std::unordered_map<std::string_view, std::uint32_t> node_of;
  node_of.reserve(links.size() + joints.size());
  std::vector<std::string_view> node_names;
  const auto intern = [&](std::string_view name) {
    const auto [it, inserted] = node_of.try_emplace(name, to_u32(node_names.size()));
    if (inserted) node_names.push_back(name);
    return it->second;
  };
  link_nodes_.resize(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) link_nodes_[i] = intern(links[i].name);
  const std::size_t link_node_count = node_names.size();
  std::vector<std::uint32_t> parent_node(joints.size());
  std::vector<std::uint32_t> child_node(joints.size());
  for (std::size_t k = 0; k < joints.size(); ++k) {
    parent_node[k] = intern(joints[k].parent);
    child_node[k] = intern(joints[k].child);
  }
  const std::size_t node_count = node_names.size();
  // Link slot of each node, the later link winning a duplicate name (as in link_index_).
  std::vector<std::uint32_t> node_slot(node_count, kNone);
  for (std::size_t i = 0; i < links.size(); ++i) node_slot[link_nodes_[i]] = to_u32(i);

  // Joints leaving each node, in URDF order (the same lists as parent_link_joints).
  edge_begin_.assign(node_count + 1, 0);
  for (std::size_t k = 0; k < joints.size(); ++k) ++edge_begin_[parent_node[k] + 1];
  for (std::size_t n = 0; n < node_count; ++n) edge_begin_[n + 1] += edge_begin_[n];
  edges_.resize(joints.size());
  {
    std::vector<std::uint32_t> cursor(edge_begin_.begin(), edge_begin_.end() - 1);
    for (std::size_t k = 0; k < joints.size(); ++k) edges_[cursor[parent_node[k]]++] = to_u32(k);
  }
  const std::vector<std::uint32_t>& edge_begin = edge_begin_;
  const std::vector<std::uint32_t>& edges = edges_;

  // 1. A directed cycle of joints makes the breadth-first traversal endless.
  {
    enum : std::uint8_t { kUnseen, kOnPath, kDone };
    std::vector<std::uint8_t> state(node_count, kUnseen);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;  // node, next edge
    for (std::uint32_t start = 0; start < node_count; ++start) {
      if (state[start] != kUnseen) continue;
      state[start] = kOnPath;
      stack.emplace_back(start, edge_begin[start]);
      while (!stack.empty()) {
        const std::uint32_t node = stack.back().first;
        const std::uint32_t edge = stack.back().second;
        if (edge == edge_begin[node + 1]) {
          state[node] = kDone;
          stack.pop_back();
          continue;
        }
        ++stack.back().second;
        const std::uint32_t joint = edges[edge];
        const std::uint32_t child = child_node[joint];
        if (state[child] == kOnPath) return fail(cycle_message(joints[joint].name));
        if (state[child] == kUnseen) {
          state[child] = kOnPath;
          stack.emplace_back(child, edge_begin[child]);
        }
      }
    }
  }

  // 2. The walk towards the root: from a name, the joint recorded for it as child, then the
  // parent of the first joint of that name. Duplicate joint names can make it loop even when
  // the joints themselves form no cycle. Joints are grouped by the first joint of their name,
  // so that everything below is indices.
  std::vector<std::uint32_t> first_of_name(joints.size());
  {
    std::unordered_map<std::string_view, std::uint32_t> first_joint_named;
    first_joint_named.reserve(joints.size());
    for (std::size_t k = 0; k < joints.size(); ++k) {
      first_of_name[k] = first_joint_named.try_emplace(joints[k].name, to_u32(k)).first->second;
    }
  }
  // DOF positions of each name group, in DOF order (a DOF joint copies joints[dof_sources_[j]]).
  std::vector<std::uint32_t> group_begin(joints.size() + 1, 0);
  for (std::size_t j = 0; j < dof_joints_.size(); ++j) {
    ++group_begin[first_of_name[dof_sources_[j]] + 1];
  }
  for (std::size_t g = 0; g < joints.size(); ++g) group_begin[g + 1] += group_begin[g];
  std::vector<std::uint32_t> group_dofs(dof_joints_.size());
  {
    std::vector<std::uint32_t> cursor(group_begin.begin(), group_begin.end() - 1);
    for (std::size_t j = 0; j < dof_joints_.size(); ++j) {
      group_dofs[cursor[first_of_name[dof_sources_[j]]]++] = to_u32(j);
    }
  }
  // The joint each node records as its child joint: the last one naming it (child_link_joint_).
  std::vector<std::uint32_t> recorded(node_count, kNone);
  for (std::size_t k = 0; k < joints.size(); ++k) recorded[child_node[k]] = to_u32(k);

  std::vector<std::pair<std::uint32_t, std::uint32_t>> group_columns(joints.size(), {kNone, 0});
  up_nodes_.assign(node_count, UpNode{kNone, 0, 0});
  std::vector<std::uint32_t> collected_joint(node_count, kNone);
  for (std::size_t n = 0; n < node_count; ++n) {
    if (recorded[n] == kNone) continue;
    const std::uint32_t joint = first_of_name[recorded[n]];
    auto& group = group_columns[joint];
    if (group.first == kNone) {
      group.first = to_u32(columns_.size());
      for (std::uint32_t g = group_begin[joint]; g < group_begin[joint + 1]; ++g) {
        const std::uint32_t j = group_dofs[g];
        columns_.push_back(Column{j, node_slot[parent_node[dof_sources_[j]]],
                                  motion_of(dof_joints_[j].joint_type)});
      }
      group.second = to_u32(columns_.size()) - group.first;
    }
    collected_joint[n] = joint;
    up_nodes_[n].first_column = group.first;
    up_nodes_[n].column_count = group.second;
    up_nodes_[n].up = parent_node[joint] == n ? kNone : parent_node[joint];
  }
  {
    enum : std::uint8_t { kUnseen, kOnPath, kDone };
    std::vector<std::uint8_t> state(node_count, kUnseen);
    std::vector<std::uint32_t> path;
    for (std::uint32_t start = 0; start < node_count; ++start) {
      std::uint32_t node = start;
      while (node != kNone && state[node] == kUnseen) {
        state[node] = kOnPath;
        path.push_back(node);
        node = up_nodes_[node].up;
      }
      if (node != kNone && state[node] == kOnPath) {
        return fail(cycle_message(joints[collected_joint[node]].name));
      }
      for (std::uint32_t visited : path) state[visited] = kDone;
      path.clear();
    }
  }

  // 3. Length of the traversal: a link is visited once per path from the root, so count the
  // joint steps below each node (saturating) before unrolling anything.
  const std::uint32_t root_node = node_of.at(root_link_);
  const auto expands = [&](std::uint32_t node) {
    return node < link_node_count && edge_begin[node] != edge_begin[node + 1];
  };
  {
    constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t limit = std::max<std::uint64_t>(kMinTraversalStepLimit, joints.size());
    const std::uint64_t cap = limit + 1;
    std::vector<std::uint64_t> steps_below(node_count, kUnknown);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;
    stack.emplace_back(root_node, edge_begin[root_node]);
    while (!stack.empty()) {
      const std::uint32_t node = stack.back().first;
      if (!expands(node)) {
        steps_below[node] = 0;
        stack.pop_back();
        continue;
      }
      const std::uint32_t edge = stack.back().second;
      if (edge < edge_begin[node + 1]) {
        ++stack.back().second;
        const std::uint32_t child = child_node[edges[edge]];
        if (steps_below[child] == kUnknown) stack.emplace_back(child, edge_begin[child]);
        continue;
      }
      std::uint64_t total = 0;
      for (std::uint32_t e = edge_begin[node]; e < edge_begin[node + 1]; ++e) {
        total = std::min(cap, total + 1 + steps_below[child_node[edges[e]]]);
      }
      steps_below[node] = total;
      stack.pop_back();
    }
    if (steps_below[root_node] > limit) return fail(traversal_too_long_message(limit));
    steps_.reserve(steps_below[root_node]);
  }

  // 4. Unroll the breadth-first traversal. Visits of names that are not links, or that have no
  // joints to follow, read and write nothing, so they leave no trace in the plan.
  std::vector<Step> step_of_joint(joints.size());
  for (std::size_t k = 0; k < joints.size(); ++k) {
    const JointSpec& joint = joints[k];
    // The DOF position the name maps to: the last DOF joint of that name (dof_joint_index_).
    std::uint32_t dof = kNone;
    const std::uint32_t group = first_of_name[k];
    if (joint.joint_type != "fixed" && group_begin[group] != group_begin[group + 1]) {
      dof = group_dofs[group_begin[group + 1] - 1];
    }
    step_of_joint[k] = Step{to_u32(k), node_slot[child_node[k]], dof, motion_of(joint.joint_type)};
  }
  root_slot_ = node_slot[root_node];
  std::vector<std::uint32_t> queue;
  queue.reserve(steps_.capacity() + 1);
  queue.push_back(root_node);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const std::uint32_t node = queue[head];
    if (!expands(node)) continue;
    visits_.push_back(
        Visit{node_slot[node], to_u32(steps_.size()), edge_begin[node + 1] - edge_begin[node]});
    for (std::uint32_t e = edge_begin[node]; e < edge_begin[node + 1]; ++e) {
      steps_.push_back(step_of_joint[edges[e]]);
      queue.push_back(child_node[edges[e]]);
    }
  }
  link_joint_frames();
  return {};
}

void KinematicModel::link_joint_frames() {
  // A DOF joint's column may read the joint frame its URDF joint's step stores when that step is
  // the joint's only one: every write of a link transform queues one visit of that link, so a
  // joint stepped once is stepped from its parent's only visit, which follows the parent's only
  // write, and the parent * origin product of that step is the one the Jacobian would form from
  // the final transforms. The DOF joint is a copy of that URDF joint (dof_sources_), so origin
  // and axis agree. A step whose child is no known link computes nothing and stores no frame.
  std::vector<std::uint32_t> visit_of_step(steps_.size());
  for (const Visit& visit : visits_) {
    for (std::uint32_t k = 0; k < visit.step_count; ++k) {
      visit_of_step[visit.first_step + k] = visit.link_slot;
    }
  }
  std::vector<std::uint32_t> times_stepped(urdf_.joints.size(), 0);
  std::vector<std::uint32_t> step_of_joint(urdf_.joints.size(), kNone);
  for (std::size_t k = 0; k < steps_.size(); ++k) {
    ++times_stepped[steps_[k].joint];
    step_of_joint[steps_[k].joint] = static_cast<std::uint32_t>(k);
  }
  for (Column& column : columns_) {
    if (column.parent_slot == kNone || column.motion == Motion::kNone) continue;
    const std::uint32_t joint = dof_sources_[column.dof];
    if (times_stepped[joint] != 1) continue;
    Step& step = steps_[step_of_joint[joint]];
    if (step.child_slot == kNone || visit_of_step[step_of_joint[joint]] != column.parent_slot) {
      continue;
    }
    if (step.frame == kNone) step.frame = joint_frame_count_++;
    column.frame = step.frame;
  }
}

}  // namespace kova
