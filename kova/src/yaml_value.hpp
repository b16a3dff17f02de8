// A YAML document as a tree of values, built from libyaml's event parser.
//
// Only what a configuration file needs: one document of mappings (keys in document order),
// sequences and scalars. Scalars keep their text, style and tag, and carry the value they resolve
// to under the YAML 1.2 core schema. Aliases point at the anchored node, so a tree with aliases is
// a directed acyclic graph whose memory is that of the text. Hostile input is refused early:
// alias expansion and nesting depth have fixed budgets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kova/result.hpp"
#include "yaml_scalar.hpp"

namespace kova::yaml {

enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Sequence, Mapping };
enum class ScalarStyle : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded };

// 1-based position in the text.
struct Mark {
  std::size_t line = 1;
  std::size_t column = 1;
};

// Nesting deeper than this is refused.
inline constexpr std::size_t kMaxDepth = 512;
// Nodes a document may hold (a configuration has a few hundred).
inline constexpr std::size_t kMaxNodes = 1'000'000;
// Nodes that aliases may add to the document when expanded.
inline constexpr std::size_t kMaxAliasExpansion = 1'000'000;

struct Limits {
  std::size_t max_depth = kMaxDepth;
  std::size_t max_nodes = kMaxNodes;
  std::size_t max_alias_expansion = kMaxAliasExpansion;
};

class Node {
 public:
  struct Entry {
    const Node* key;
    const Node* value;
  };

  // The kind after tag resolution; a custom tag (`!name value`) does not change it.
  Kind kind() const { return kind_; }
  bool is_scalar() const { return kind_ != Kind::Sequence && kind_ != Kind::Mapping; }
  // The explicit tag as the parser expanded it ("!name", "tag:yaml.org,2002:str"), or empty.
  const std::string& tag() const { return tag_; }
  ScalarStyle style() const { return style_; }
  // Text of a scalar after escapes and folding.
  const std::string& text() const { return text_; }
  bool boolean() const { return scalar_.boolean; }
  const Integer& integer() const { return scalar_.integer; }
  double number() const { return scalar_.number; }
  std::span<const Node* const> items() const { return items_; }
  std::span<const Entry> entries() const { return entries_; }
  Mark mark() const { return mark_; }

  // Value of the first entry whose key is the string `key`; nullptr when there is none or this
  // is not a mapping.
  const Node* find(std::string_view key) const;

  // Structural equality of resolved values (mapping entries compared in order).
  friend bool equal(const Node& a, const Node& b);

 private:
  friend class TreeBuilder;

  Kind kind_ = Kind::Null;
  ScalarStyle style_ = ScalarStyle::Plain;
  std::string tag_;
  std::string text_;
  ResolvedScalar scalar_;
  std::vector<const Node*> items_;
  std::vector<Entry> entries_;
  Mark mark_;
  std::size_t expanded_size_ = 1;  // nodes of the tree with every alias expanded
  std::size_t hash_ = 0;
};

class Document {
 public:
  // Parses a single document. Errors carry the reason and a line and column; an empty stream
  // gives a null root.
  static Result<Document> parse(std::string_view text, const Limits& limits = {});

  const Node& root() const { return *root_; }

 private:
  friend class TreeBuilder;
  std::deque<Node> nodes_;  // owns every node; a deque keeps their addresses stable
  const Node* root_ = nullptr;
};

}  // namespace kova::yaml
