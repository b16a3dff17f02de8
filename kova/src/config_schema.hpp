// What a configuration document may hold: its top-level sections, the keys of each and the kind
// of value each key takes. The `retargeting` section lists the keys the core's reader reads;
// `kova` is the project's own section (ignored by the core), extended here as tools add keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kova/retargeting_config.hpp"

namespace kova::config_schema {

enum class ValueKind : std::uint8_t {
  String,
  Bool,
  Number,
  NameList,         // a list of strings
  Indices,          // a flat list of landmark numbers, or a list of rows of them
  RetargetingType,  // a method name, compared after lower-casing
  Choice,           // one of `choices`, exactly
  Matrix4x4,        // four rows of four numbers
  Mapping,          // a mapping with the keys of `children`
};

struct KeySchema {
  std::string key;
  ValueKind kind;
  std::vector<std::string> choices;  // Choice
  std::vector<KeySchema> children;   // Mapping
  // Keys of the core's reader: the record field whose default replaces a value of another kind.
  double RetargetingConfig::*number_field = nullptr;
  bool RetargetingConfig::*bool_field = nullptr;
  bool read_by_core = false;
  bool required = false;  // a document without it is refused, and so is an empty value
};

// The top-level keys: `retargeting` and `kova`, each a Mapping with its keys as children.
const std::vector<KeySchema>& top_level();

}  // namespace kova::config_schema
