#include "yaml_value.hpp"

#include <yaml.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

#include "unicode_text.hpp"

namespace kova::yaml {
namespace {

static_assert(static_cast<int>(Kind::String) == static_cast<int>(ScalarKind::String) &&
              static_cast<int>(Kind::Null) == static_cast<int>(ScalarKind::Null));

constexpr std::string_view kTagStr = "tag:yaml.org,2002:str";
constexpr std::string_view kTagNull = "tag:yaml.org,2002:null";
constexpr std::string_view kTagBool = "tag:yaml.org,2002:bool";
constexpr std::string_view kTagInt = "tag:yaml.org,2002:int";
constexpr std::string_view kTagFloat = "tag:yaml.org,2002:float";

std::size_t mix(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

Mark to_mark(const yaml_mark_t& mark) {
  return Mark{mark.line + 1, mark.column + 1};
}

std::string at(Mark mark) {
  return " at line " + std::to_string(mark.line) + " column " + std::to_string(mark.column);
}

// Short, printable form of a scalar for messages.
std::string quoted_excerpt(std::string_view text) {
  constexpr std::size_t kMaxExcerpt = 40;
  std::string out = unicode::to_utf8_lossy(text.substr(0, kMaxExcerpt));
  if (text.size() > kMaxExcerpt) out += "...";
  return "'" + out + "'";
}

// Line and column of a byte offset, for the reader's errors, which carry only the offset.
Mark mark_at_offset(std::string_view text, std::size_t offset) {
  Mark mark;
  offset = std::min(offset, text.size());
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++mark.line;
      mark.column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++mark.column;  // count code points, not bytes
    }
  }
  return mark;
}

std::string libyaml_message(const yaml_parser_t& parser, std::string_view text) {
  if (parser.error == YAML_MEMORY_ERROR) return "out of memory";
  std::string message = parser.problem != nullptr ? parser.problem : "unknown error";
  if (parser.error == YAML_READER_ERROR) {
    if (parser.problem_value != -1) {
      char value[16];
      std::snprintf(value, sizeof value, " #%X", static_cast<unsigned>(parser.problem_value));
      message += value;
    }
    return message + at(mark_at_offset(text, parser.problem_offset));
  }
  message += at(to_mark(parser.problem_mark));
  if (parser.context != nullptr) {
    message += ", ";
    message += parser.context;
    message += at(to_mark(parser.context_mark));
  }
  return message;
}

// Owns a libyaml parser for the duration of one parse.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {
    ok_ = yaml_parser_initialize(&parser_) != 0;
    if (ok_) {
      yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                   text.size());
      yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    }
  }
  ~Parser() {
    if (ok_) yaml_parser_delete(&parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  bool initialized() const { return ok_; }
  // The next event, or the library's message.
  Result<void> next(yaml_event_t& event) {
    if (yaml_parser_parse(&parser_, &event) == 0) return fail(libyaml_message(parser_, text_));
    return {};
  }

 private:
  std::string_view text_;
  yaml_parser_t parser_{};
  bool ok_ = false;
};

// Deletes the event at the end of each loop iteration.
struct EventGuard {
  yaml_event_t* event;
  ~EventGuard() { yaml_event_delete(event); }
};

std::string as_string(const yaml_char_t* text) {
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

const Node* Node::find(std::string_view key) const {
  for (const Entry& entry : entries_) {
    if (entry.key->kind_ == Kind::String && entry.key->text_ == key) return entry.value;
  }
  return nullptr;
}

bool equal(const Node& a, const Node& b) {
  // Iterative: through aliases a key can be far deeper than the nesting limit.
  std::vector<std::pair<const Node*, const Node*>> pending{{&a, &b}};
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    if (x == y) continue;
    if (x->kind_ != y->kind_ || x->hash_ != y->hash_) return false;
    switch (x->kind_) {
      case Kind::Null:
        break;
      case Kind::Bool:
        if (x->scalar_.boolean != y->scalar_.boolean) return false;
        break;
      case Kind::Int:
        if (!(x->scalar_.integer == y->scalar_.integer)) return false;
        break;
      case Kind::Float:
        if (!(x->scalar_.number == y->scalar_.number)) return false;
        break;
      case Kind::String:
        if (x->text_ != y->text_) return false;
        break;
      case Kind::Sequence:
        if (x->items_.size() != y->items_.size()) return false;
        for (std::size_t i = 0; i < x->items_.size(); ++i) {
          pending.emplace_back(x->items_[i], y->items_[i]);
        }
        break;
      case Kind::Mapping:
        if (x->entries_.size() != y->entries_.size()) return false;
        for (std::size_t i = 0; i < x->entries_.size(); ++i) {
          pending.emplace_back(x->entries_[i].key, y->entries_[i].key);
          pending.emplace_back(x->entries_[i].value, y->entries_[i].value);
        }
        break;
    }
  }
  return true;
}

// Turns the event stream into nodes. Collections are built on an explicit stack, so neither
// building nor freeing the tree recurses.
class TreeBuilder {
 public:
  TreeBuilder(Document& document, const Limits& limits) : document_(document), limits_(limits) {}

  Result<void> run(std::string_view text) {
    Parser parser(text);
    if (!parser.initialized()) return fail("out of memory");
    std::size_t documents = 0;
    for (;;) {
      yaml_event_t event;
      if (auto next = parser.next(event); !next) return next;
      EventGuard guard{&event};
      const Mark mark = to_mark(event.start_mark);
      switch (event.type) {
        case YAML_STREAM_START_EVENT:
        case YAML_DOCUMENT_END_EVENT:
        case YAML_NO_EVENT:
          break;
        case YAML_STREAM_END_EVENT:
          if (document_.root_ == nullptr) document_.root_ = &document_.nodes_.emplace_back();
          return {};
        case YAML_DOCUMENT_START_EVENT:
          if (++documents > 1) return fail("more than one document in the stream" + at(mark));
          anchors_.clear();
          break;
        case YAML_ALIAS_EVENT: {
          if (auto status = on_alias(as_string(event.data.alias.anchor), mark); !status) {
            return status;
          }
          break;
        }
        case YAML_SCALAR_EVENT: {
          auto node = make_scalar(event, mark);
          if (!node) return fail(node.error());
          if (auto status = finish(**node, as_string(event.data.scalar.anchor)); !status) {
            return status;
          }
          break;
        }
        case YAML_SEQUENCE_START_EVENT:
          if (auto status = open(Kind::Sequence, as_string(event.data.sequence_start.anchor),
                                 as_string(event.data.sequence_start.tag), mark);
              !status) {
            return status;
          }
          break;
        case YAML_MAPPING_START_EVENT:
          if (auto status = open(Kind::Mapping, as_string(event.data.mapping_start.anchor),
                                 as_string(event.data.mapping_start.tag), mark);
              !status) {
            return status;
          }
          break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT: {
          if (stack_.empty()) return fail("end of a collection that was never opened" + at(mark));
          Frame frame = std::move(stack_.back());
          stack_.pop_back();
          Node& node = *frame.node;
          std::size_t hash = node.kind_ == Kind::Sequence ? 5 : 6;
          for (const Node* item : node.items_) hash = mix(hash, item->hash_);
          for (const Node::Entry& entry : node.entries_) {
            hash = mix(mix(hash, entry.key->hash_), entry.value->hash_);
          }
          node.hash_ = hash;
          if (auto status = finish(node, frame.anchor); !status) return status;
          break;
        }
      }
    }
  }

 private:
  struct Frame {
    Node* node;
    std::string anchor;
    const Node* pending_key = nullptr;
    // Keys seen so far in a mapping, by hash, for the duplicate test.
    std::unordered_multimap<std::size_t, const Node*> keys;
  };

  // A fresh node, unless the document already holds the most it may.
  Result<Node*> new_node(Mark mark) {
    if (document_.nodes_.size() >= limits_.max_nodes) {
      return fail("more than " + std::to_string(limits_.max_nodes) + " nodes in the document" +
                  at(mark));
    }
    return &document_.nodes_.emplace_back();
  }

  Result<void> open(Kind kind, std::string anchor, std::string tag, Mark mark) {
    if (stack_.size() >= limits_.max_depth) {
      return fail("collections nested deeper than " + std::to_string(limits_.max_depth) +
                  " levels" + at(mark));
    }
    auto created = new_node(mark);
    if (!created) return fail(created.error());
    Node& node = **created;
    node.kind_ = kind;
    node.tag_ = std::move(tag);
    node.mark_ = mark;
    stack_.push_back(Frame{&node, std::move(anchor), nullptr, {}});
    return {};
  }

  Result<Node*> make_scalar(const yaml_event_t& event, Mark mark) {
    const auto& scalar = event.data.scalar;
    auto created = new_node(mark);
    if (!created) return fail(created.error());
    Node& node = **created;
    node.mark_ = mark;
    node.text_.assign(reinterpret_cast<const char*>(scalar.value), scalar.length);
    node.tag_ = as_string(scalar.tag);
    switch (scalar.style) {
      case YAML_SINGLE_QUOTED_SCALAR_STYLE:
        node.style_ = ScalarStyle::SingleQuoted;
        break;
      case YAML_DOUBLE_QUOTED_SCALAR_STYLE:
        node.style_ = ScalarStyle::DoubleQuoted;
        break;
      case YAML_LITERAL_SCALAR_STYLE:
        node.style_ = ScalarStyle::Literal;
        break;
      case YAML_FOLDED_SCALAR_STYLE:
        node.style_ = ScalarStyle::Folded;
        break;
      default:
        node.style_ = ScalarStyle::Plain;
        break;
    }
    if (auto resolved = resolve(node); !resolved) {
      return fail(resolved.error() + at(mark));
    } else {
      node.scalar_ = *resolved;
    }
    node.kind_ = static_cast<Kind>(node.scalar_.kind);
    std::size_t hash = static_cast<std::size_t>(node.kind_);
    switch (node.kind_) {
      case Kind::Bool:
        hash = mix(hash, node.scalar_.boolean ? 1 : 0);
        break;
      case Kind::Int:
        hash =
            mix(mix(hash, node.scalar_.integer.negative ? 1 : 0), node.scalar_.integer.magnitude);
        break;
      case Kind::Float: {
        const double value = node.scalar_.number == 0.0 ? 0.0 : node.scalar_.number;  // -0 == 0
        hash = mix(hash, std::bit_cast<std::uint64_t>(value));
        break;
      }
      case Kind::String:
        hash = mix(hash, std::hash<std::string_view>{}(node.text_));
        break;
      default:
        break;
    }
    node.hash_ = hash;
    return &node;
  }

  // Value of a scalar: core-schema tags are applied, other tags leave the plain-scalar rules.
  static Result<ResolvedScalar> resolve(const Node& node) {
    const std::string_view tag = node.tag_;
    const std::string_view text = node.text_;
    ResolvedScalar out;
    const auto mismatch = [&] {
      return fail("value " + quoted_excerpt(text) + " does not match its tag " +
                  unicode::to_utf8_lossy(tag));
    };
    if (tag == kTagStr || tag == "!") {
      out.kind = ScalarKind::String;
    } else if (tag == kTagNull) {
      if (!is_null(text)) return mismatch();
      out.kind = ScalarKind::Null;
    } else if (tag == kTagBool) {
      const auto value = parse_bool(text);
      if (!value) return mismatch();
      out.kind = ScalarKind::Bool;
      out.boolean = *value;
    } else if (tag == kTagInt) {
      const auto value = parse_integer(text);
      if (!value) return mismatch();
      out.kind = ScalarKind::Int;
      out.integer = *value;
    } else if (tag == kTagFloat) {
      std::optional<double> value = parse_float(text);
      if (!value) {
        if (const auto integer = parse_integer(text)) value = integer->to_double();
      }
      if (!value) return mismatch();
      out.kind = ScalarKind::Float;
      out.number = *value;
    } else if (node.style_ == ScalarStyle::Plain) {
      out = resolve_plain_scalar(text);
    } else {
      out.kind = ScalarKind::String;
    }
    return out;
  }

  Result<void> on_alias(const std::string& anchor, Mark mark) {
    const auto found = anchors_.find(anchor);
    if (found == anchors_.end()) {
      return fail("unknown anchor " + quoted_excerpt(anchor) + " for alias" + at(mark));
    }
    const Node& target = *found->second;
    alias_expansion_ += target.expanded_size_;
    if (alias_expansion_ > limits_.max_alias_expansion) {
      return fail("aliases expand to more than " + std::to_string(limits_.max_alias_expansion) +
                  " nodes" + at(mark));
    }
    return attach(target, mark);
  }

  // A complete node: remember its anchor and hand it to the enclosing collection.
  Result<void> finish(const Node& node, const std::string& anchor) {
    if (!anchor.empty()) anchors_[anchor] = &node;
    return attach(node, node.mark_);
  }

  Result<void> attach(const Node& node, Mark mark) {
    if (stack_.empty()) {
      document_.root_ = &node;
      return {};
    }
    Frame& frame = stack_.back();
    Node& parent = *frame.node;
    parent.expanded_size_ += node.expanded_size_;
    if (parent.kind_ == Kind::Sequence) {
      parent.items_.push_back(&node);
      return {};
    }
    if (frame.pending_key != nullptr) {
      parent.entries_.push_back(Node::Entry{frame.pending_key, &node});
      frame.pending_key = nullptr;
      return {};
    }
    const auto [first, last] = frame.keys.equal_range(node.hash_);
    for (auto it = first; it != last; ++it) {
      if (equal(*it->second, node)) {
        const std::string name =
            node.is_scalar() ? " " + quoted_excerpt(node.text_) : std::string();
        return fail("duplicate mapping key" + name + at(mark));
      }
    }
    frame.keys.emplace(node.hash_, &node);
    frame.pending_key = &node;
    return {};
  }

  Document& document_;
  const Limits& limits_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, const Node*> anchors_;
  std::size_t alias_expansion_ = 0;
};

Result<Document> Document::parse(std::string_view text, const Limits& limits) {
  Document document;
  TreeBuilder builder(document, limits);
  if (auto status = builder.run(text); !status) return fail(status.error());
  return document;
}

}  // namespace kova::yaml
