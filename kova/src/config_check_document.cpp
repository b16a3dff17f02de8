#include "kova/config_check.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "config_schema.hpp"
#include "config_text.hpp"
#include "kova/closest_match.hpp"
#include "yaml_value.hpp"

namespace kova {
namespace {

using config_schema::KeySchema;
using config_schema::ValueKind;
using yaml::Kind;
using yaml::Node;

bool is_quoted(const Node& node) {
  return node.style() == yaml::ScalarStyle::SingleQuoted ||
         node.style() == yaml::ScalarStyle::DoubleQuoted;
}

// What the configuration holds, as a phrase: "the number 3", "the quoted string '1.5'", ...
std::string describe(const Node& node) {
  switch (node.kind()) {
    case Kind::Null:
      return "no value";
    case Kind::Bool:
      return "the boolean " + excerpt(node.text());
    case Kind::Int:
    case Kind::Float:
      return "the number " + excerpt(node.text());
    case Kind::String:
      return (is_quoted(node) ? "the quoted string '" : "'") + excerpt(node.text()) + "'";
    case Kind::Sequence:
      return "a list";
    case Kind::Mapping:
      return "a mapping";
  }
  return "a value";
}

std::string found_text(const Node& node) {
  if (node.kind() == Kind::Sequence) return "[...]";
  if (node.kind() == Kind::Mapping) return "{...}";
  return excerpt(node.text());
}

// ---- The document ----------------------------------------------------------------------------

class DocumentChecker {
 public:
  std::vector<ConfigIssue> issues;

  void check_root(const Node& root) {
    if (root.kind() != Kind::Mapping) {
      add(Severity::Error, "", root,
          "the configuration must be a mapping with a 'retargeting' section; found " +
              describe(root),
          "a mapping with a 'retargeting' section");
      return;
    }
    check_mapping(root, config_schema::top_level(), "");
    const Node* section = root.find("retargeting");
    if (section == nullptr) {
      add(Severity::Error, "retargeting", root,
          "the configuration has no 'retargeting' section, which holds the configuration keys",
          "a 'retargeting' section");
    } else if (section->kind() == Kind::Mapping && section->find("type") == nullptr) {
      add(Severity::Error, "retargeting.type", *section,
          "retargeting has no 'type'; set it to vector, position or dexpilot",
          "vector, position or dexpilot");
    }
  }

 private:
  ConfigIssue& add(Severity severity, std::string key, const Node& node, std::string message,
                   std::string expected) {
    ConfigIssue issue = make_issue(severity, std::move(key), std::move(message));
    issue.found = node.kind() == Kind::Null ? "" : found_text(node);
    issue.expected = std::move(expected);
    issue.line = node.mark().line;
    issues.push_back(std::move(issue));
    return issues.back();
  }

  static std::string join(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
  }

  static std::string element(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
  }

  void check_mapping(const Node& mapping, const std::vector<KeySchema>& keys,
                     const std::string& path) {
    for (const Node::Entry& entry : mapping.entries()) {
      const KeySchema* schema = nullptr;
      if (entry.key->kind() == Kind::String) {
        const auto found = std::find_if(keys.begin(), keys.end(), [&](const KeySchema& k) {
          return k.key == entry.key->text();
        });
        if (found != keys.end()) schema = &*found;
      }
      if (schema == nullptr) {
        unknown_key(*entry.key, keys, path);
      } else {
        check_value(*entry.value, *schema, join(path, schema->key));
      }
    }
  }

  void unknown_key(const Node& key, const std::vector<KeySchema>& keys, const std::string& path) {
    std::vector<std::string> names;
    for (const KeySchema& k : keys) names.push_back(k.key);
    const std::string text = found_text(key);
    const std::string where = path.empty() ? "at the top level" : "in " + path;
    std::string message = "unknown key '" + text + "' " + where;
    const auto closest = closest_match(key.text(), names);
    message += closest ? "; did you mean '" + *closest + "'?" : ".";
    message += " Known keys: " + join_names(names);
    ConfigIssue& issue =
        add(Severity::Error, join(path, text), key, std::move(message), "one of the known keys");
    issue.closest = closest.value_or("");
    issue.choices = std::move(names);
  }

  // What the core's reader makes of a value it does not take: "read as the default 1.0".
  static std::string reading(const KeySchema& schema) {
    static const RetargetingConfig defaults;
    if (schema.number_field != nullptr) {
      return "read as the default " + number_text(defaults.*schema.number_field);
    }
    if (schema.bool_field != nullptr) {
      return std::string("read as the default ") + (defaults.*schema.bool_field ? "true" : "false");
    }
    return "read as if it were not there";
  }

  // The same as the end of a message about a value of the wrong kind.
  static std::string fallback(const KeySchema& schema) {
    if (!schema.read_by_core) return "";
    if (schema.kind == ValueKind::Indices) return " Left as it is, the whole list is ignored.";
    return " Left as it is, it is " + reading(schema) + ".";
  }

  void wrong_kind(const Node& value, const KeySchema& schema, const std::string& path,
                  const std::string& expected, const std::string& hint = "") {
    add(Severity::Error, path, value,
        schema.key + " must be " + expected + "; found " + describe(value) + hint + "." +
            fallback(schema),
        expected);
  }

  void check_value(const Node& value, const KeySchema& schema, const std::string& path) {
    if (value.kind() == Kind::Null && !schema.required) {
      add(Severity::Warning, path, value, schema.key + " has no value; it is " + reading(schema),
          "a value");
      return;
    }
    switch (schema.kind) {
      case ValueKind::String:
        if (value.kind() != Kind::String) {
          wrong_kind(value, schema, path, "a string",
                     value.is_scalar() ? " (write it in quotes to keep it as text)" : "");
        }
        return;
      case ValueKind::Bool:
        if (value.kind() != Kind::Bool) {
          wrong_kind(value, schema, path, "true or false",
                     value.kind() == Kind::String ? ", which is not one of true and false" : "");
        }
        return;
      case ValueKind::Number:
        check_number(value, schema, path);
        return;
      case ValueKind::NameList:
        check_names(value, schema, path);
        return;
      case ValueKind::Indices:
        check_indices(value, schema, path);
        return;
      case ValueKind::RetargetingType:
        check_type(value, schema, path);
        return;
      case ValueKind::Choice:
        check_choice(value, schema, schema.choices, path);
        return;
      case ValueKind::Matrix4x4:
        check_matrix(value, schema, path);
        return;
      case ValueKind::Mapping:
        if (value.kind() == Kind::Mapping) {
          check_mapping(value, schema.children, path);
        } else {
          const std::string expected =
              schema.key == "retargeting" ? "a mapping of the configuration keys" : "a mapping";
          wrong_kind(value, schema, path, expected);
        }
        return;
    }
  }

  static bool is_number(const Node& node) {
    return node.kind() == Kind::Int || node.kind() == Kind::Float;
  }

  void check_number(const Node& value, const KeySchema& schema, const std::string& path) {
    if (is_number(value)) return;
    std::string hint;
    if (value.kind() == Kind::String) {
      const bool numeric = yaml::parse_float(value.text()) || yaml::parse_integer(value.text());
      if (numeric && is_quoted(value)) {
        hint = " (write " + excerpt(value.text()) + " without quotes)";
      } else if (!numeric) {
        hint = ", which is not a number";
      }
    }
    wrong_kind(value, schema, path, "a number", hint);
  }

  void check_names(const Node& value, const KeySchema& schema, const std::string& path) {
    if (value.kind() != Kind::Sequence) {
      const std::string hint =
          value.kind() == Kind::String ? " (write a list: [" + excerpt(value.text()) + "])" : "";
      wrong_kind(value, schema, path, "a list of names", hint);
      return;
    }
    const auto items = value.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i]->kind() == Kind::String) continue;
      const std::string hint =
          items[i]->is_scalar() && items[i]->kind() != Kind::Null ? " (write it in quotes)" : "";
      add(Severity::Error, element(path, i), *items[i],
          schema.key + " entry " + std::to_string(i) + " must be a name (a string); found " +
              describe(*items[i]) + hint + "." +
              (schema.read_by_core ? " Left as it is, the entry is dropped." : ""),
          "a name");
    }
  }

  // One entry of the indices: an integer from 0 up; anything else makes the reader drop the key.
  void check_index(const Node& item, const KeySchema& schema, const std::string& path,
                   const std::string& entry) {
    if (item.kind() == Kind::Int) {
      const auto value = item.integer().to_i64();
      if (value && *value >= 0) return;
    }
    add(Severity::Error, path, item,
        schema.key + " entry " + entry + " must be a landmark number (0 to 20); found " +
            describe(item) + "." + fallback(schema),
        "a landmark number (0 to 20)");
  }

  void check_indices(const Node& value, const KeySchema& schema, const std::string& path) {
    if (value.kind() != Kind::Sequence) {
      wrong_kind(value, schema, path, "a list of landmark numbers, or a list of rows of them");
      return;
    }
    const auto items = value.items();
    const bool rows = !items.empty() && items.front()->kind() == Kind::Sequence;
    std::size_t first_length = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const std::string at = element(path, i);
      if (!rows) {
        check_index(*items[i], schema, at, std::to_string(i));
        continue;
      }
      if (items[i]->kind() != Kind::Sequence) {
        add(Severity::Error, at, *items[i],
            schema.key + " mixes rows and single numbers: entry " + std::to_string(i) +
                " must be a row like the first one; found " + describe(*items[i]) + "." +
                fallback(schema),
            "a row of landmark numbers");
        continue;
      }
      const auto row = items[i]->items();
      for (std::size_t j = 0; j < row.size(); ++j) {
        check_index(*row[j], schema, element(at, j),
                    std::to_string(i) + "[" + std::to_string(j) + "]");
      }
      if (i == 0) first_length = row.size();
      if (i > 0 && row.size() != first_length) {
        add(Severity::Warning, at, *items[i],
            schema.key + " row " + std::to_string(i) + " has " + std::to_string(row.size()) +
                " entries, row 0 has " + std::to_string(first_length) +
                "; the rows are simply joined, so check the origins and tasks line up",
            "rows of equal length");
      }
    }
  }

  void check_type(const Node& value, const KeySchema& schema, const std::string& path) {
    std::vector<std::string> choices;
    for (const RetargetingType type :
         {RetargetingType::Vector, RetargetingType::Position, RetargetingType::DexPilot}) {
      choices.emplace_back(to_string(type));
    }
    if (value.kind() == Kind::String && retargeting_type_from_str(value.text())) return;
    check_choice(value, schema, choices, path);
  }

  void check_choice(const Node& value, const KeySchema& schema,
                    const std::vector<std::string>& choices, const std::string& path) {
    if (value.kind() == Kind::String &&
        std::find(choices.begin(), choices.end(), value.text()) != choices.end()) {
      return;
    }
    const std::string expected = "one of " + join_names(choices);
    std::string hint;
    std::optional<std::string> closest;
    if (value.is_scalar()) closest = closest_match(value.text(), choices);
    if (closest) hint = "; did you mean '" + *closest + "'?";
    ConfigIssue& issue = add(
        Severity::Error, path, value,
        schema.key + " must be " + expected + "; found " + describe(value) + (closest ? "" : ".") +
            hint + (schema.kind == ValueKind::RetargetingType ? "" : fallback(schema)),
        expected);
    issue.closest = closest.value_or("");
    issue.choices = choices;
  }

  void check_matrix(const Node& value, const KeySchema& schema, const std::string& path) {
    const auto is_row = [](const Node* row) {
      if (row->kind() != Kind::Sequence || row->items().size() != 4) return false;
      return std::all_of(row->items().begin(), row->items().end(),
                         [](const Node* entry) { return is_number(*entry); });
    };
    if (value.kind() == Kind::Sequence && value.items().size() == 4 &&
        std::all_of(value.items().begin(), value.items().end(), is_row)) {
      return;
    }
    wrong_kind(value, schema, path, "4 rows of 4 numbers (a 4x4 pose, row by row)");
  }
};

}  // namespace

std::vector<ConfigIssue> check_config_document(std::string_view text) {
  auto document = yaml::Document::parse(text);
  if (!document) {
    return {make_issue(Severity::Error, "", "YAML parse error: " + document.error())};
  }
  DocumentChecker checker;
  checker.check_root(document->root());
  return std::move(checker.issues);
}

}  // namespace kova
