#include "kova/config_canonical.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "yaml_value.hpp"

namespace kova {
namespace {

void append_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "\"nan\"";
  } else if (std::isinf(value)) {
    out += value > 0 ? "\"inf\"" : "\"-inf\"";
  } else {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    out.append(text, written.ptr);
  }
}

// Depth-first without recursion: a document may nest 512 levels (the reader's limit), and
// aliases may expand it to a million nodes, which the reader has already bounded.
void append_node(std::string& out, const yaml::Node& root) {
  struct Pending {
    const yaml::Node* node;  // nullptr: emit `text` verbatim
    std::string text;
  };
  std::vector<Pending> stack{{&root, {}}};
  while (!stack.empty()) {
    Pending next = std::move(stack.back());
    stack.pop_back();
    if (next.node == nullptr) {
      out += next.text;
      continue;
    }
    const yaml::Node& node = *next.node;
    switch (node.kind()) {
      case yaml::Kind::Null:
        out += "null";
        break;
      case yaml::Kind::Bool:
        out += node.boolean() ? "true" : "false";
        break;
      case yaml::Kind::Int:
        if (node.integer().negative) out += '-';
        out += std::to_string(node.integer().magnitude);
        break;
      case yaml::Kind::Float:
        append_number(out, node.number());
        break;
      case yaml::Kind::String:
        append_string(out, node.text());
        break;
      case yaml::Kind::Sequence: {
        out += '[';
        stack.push_back({nullptr, "]"});
        const auto items = node.items();
        for (std::size_t i = items.size(); i-- > 0;) {
          stack.push_back({items[i], {}});
          if (i > 0) stack.push_back({nullptr, ","});
        }
        break;
      }
      case yaml::Kind::Mapping: {
        // Keys are compared by their canonical text, so that 1 and "1" stay apart.
        std::vector<std::pair<std::string, const yaml::Node*>> entries;
        for (const yaml::Node::Entry& entry : node.entries()) {
          std::string key;
          append_node(key, *entry.key);
          entries.emplace_back(std::move(key), entry.value);
        }
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        out += '{';
        stack.push_back({nullptr, "}"});
        for (std::size_t i = entries.size(); i-- > 0;) {
          stack.push_back({entries[i].second, {}});
          stack.push_back({nullptr, (i > 0 ? "," : "") + entries[i].first + ":"});
        }
        break;
      }
    }
  }
}

}  // namespace

Result<std::string> canonical_config_text(std::string_view document) {
  auto parsed = yaml::Document::parse(document);
  if (!parsed) return fail(parsed.error());
  std::string out;
  append_node(out, parsed->root());
  return out;
}

}  // namespace kova
