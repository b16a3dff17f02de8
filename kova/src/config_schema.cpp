#include "config_schema.hpp"

#include <utility>

#include "kova/constants.hpp"
#include "kova/hand_frame.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/solve_report.hpp"

namespace kova::config_schema {
namespace {

KeySchema key(std::string name, ValueKind kind) {
  KeySchema schema;
  schema.key = std::move(name);
  schema.kind = kind;
  return schema;
}

KeySchema choice(std::string name, std::vector<std::string> choices) {
  KeySchema schema = key(std::move(name), ValueKind::Choice);
  schema.choices = std::move(choices);
  return schema;
}

KeySchema mapping(std::string name, std::vector<KeySchema> children) {
  KeySchema schema = key(std::move(name), ValueKind::Mapping);
  schema.children = std::move(children);
  return schema;
}

KeySchema core(KeySchema schema) {
  schema.read_by_core = true;
  return schema;
}

KeySchema required(KeySchema schema) {
  schema.required = true;
  return schema;
}

KeySchema core_number(std::string name, double RetargetingConfig::*field) {
  KeySchema schema = core(key(std::move(name), ValueKind::Number));
  schema.number_field = field;
  return schema;
}

KeySchema core_bool(std::string name, bool RetargetingConfig::*field) {
  KeySchema schema = core(key(std::move(name), ValueKind::Bool));
  schema.bool_field = field;
  return schema;
}

// The keys of the core's reader, in its order.
std::vector<KeySchema> retargeting_keys() {
  using C = RetargetingConfig;
  return {
      required(core(key("type", ValueKind::RetargetingType))),
      core(key("urdf_path", ValueKind::String)),
      core_bool("add_dummy_free_joint", &C::add_dummy_free_joint),
      core(key("target_link_human_indices", ValueKind::Indices)),
      core(key("wrist_link_name", ValueKind::String)),
      core(key("target_link_names", ValueKind::NameList)),
      core(key("target_joint_names", ValueKind::NameList)),
      core(key("target_origin_link_names", ValueKind::NameList)),
      core(key("target_task_link_names", ValueKind::NameList)),
      core(key("finger_tip_link_names", ValueKind::NameList)),
      core_number("scaling_factor", &C::scaling_factor),
      core_number("normal_delta", &C::normal_delta),
      core_number("huber_delta", &C::huber_delta),
      core_number("project_dist", &C::project_dist),
      core_number("escape_dist", &C::escape_dist),
      core_bool("has_joint_limits", &C::has_joint_limits),
      core_bool("ignore_mimic_joint", &C::ignore_mimic_joint),
      core_number("low_pass_alpha", &C::low_pass_alpha),
  };
}

// The project's own section. `solver` picks the solver; the rest records what `kova init` found
// about the hand. Add new keys here.
std::vector<KeySchema> kova_keys() {
  std::vector<KeySchema> fingers;
  for (const Finger finger : kFingers) {
    fingers.push_back(mapping(std::string(to_string(finger)),
                              {
                                  key("links", ValueKind::NameList),
                                  key("tip", ValueKind::String),
                                  choice("tip_from", {"link", "geometry", "mesh", "estimated"}),
                              }));
  }
  return {
      choice("solver", {std::string(to_string(SolverKind::Slsqp)),
                        std::string(to_string(SolverKind::LeastSquares))}),
      key("source_urdf", ValueKind::String),
      choice("side",
             {std::string(to_string(HandSide::Right)), std::string(to_string(HandSide::Left))}),
      key("hand_frame", ValueKind::Matrix4x4),
      mapping("fingers", std::move(fingers)),
      mapping("scale", {key("value", ValueKind::Number), key("measured", ValueKind::String)}),
  };
}

}  // namespace

const std::vector<KeySchema>& top_level() {
  static const std::vector<KeySchema> keys{required(mapping("retargeting", retargeting_keys())),
                                           mapping("kova", kova_keys())};
  return keys;
}

}  // namespace kova::config_schema
