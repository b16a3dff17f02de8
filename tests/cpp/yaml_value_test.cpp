#include "yaml_value.hpp"

#include <string>

#include <gtest/gtest.h>

namespace {

using kova::yaml::Document;
using kova::yaml::Kind;
using kova::yaml::Node;
using kova::yaml::ScalarStyle;

Document parse_ok(const std::string& text) {
  auto document = Document::parse(text);
  if (!document) ADD_FAILURE() << document.error();
  return document ? std::move(*document) : *Document::parse("");
}

std::string parse_error(const std::string& text) {
  auto document = Document::parse(text);
  EXPECT_FALSE(document.has_value()) << "parsed: " << text.substr(0, 80);
  return document ? std::string() : document.error();
}

TEST(YamlTree, MappingKeepsKeysInDocumentOrder) {
  const Document document = parse_ok("b: 1\na: [x, 2]\nc:\n  d: ~\n");
  const Node& root = document.root();
  ASSERT_EQ(root.kind(), Kind::Mapping);
  ASSERT_EQ(root.entries().size(), 3u);
  EXPECT_EQ(root.entries()[0].key->text(), "b");
  EXPECT_EQ(root.entries()[1].key->text(), "a");
  EXPECT_EQ(root.entries()[2].key->text(), "c");
  const Node* a = root.find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->kind(), Kind::Sequence);
  ASSERT_EQ(a->items().size(), 2u);
  EXPECT_EQ(a->items()[0]->kind(), Kind::String);
  EXPECT_EQ(a->items()[1]->kind(), Kind::Int);
  EXPECT_EQ(root.find("c")->find("d")->kind(), Kind::Null);
  EXPECT_EQ(root.find("missing"), nullptr);
  EXPECT_EQ(a->find("x"), nullptr);  // not a mapping
}

TEST(YamlTree, EmptyStreamIsNull) {
  EXPECT_EQ(parse_ok("").root().kind(), Kind::Null);
  EXPECT_EQ(parse_ok("# only a comment\n").root().kind(), Kind::Null);
  EXPECT_EQ(parse_ok("---\n...\n").root().kind(), Kind::Null);
}

TEST(YamlTree, QuotedAndBlockScalarsAreStrings) {
  const Document document =
      parse_ok("a: '1.0'\nb: \"true\"\nc: |\n  7\nd: >\n  null\ne: 1.0\nf: 'it''s'\n");
  const Node& root = document.root();
  EXPECT_EQ(root.find("a")->kind(), Kind::String);
  EXPECT_EQ(root.find("a")->style(), ScalarStyle::SingleQuoted);
  EXPECT_EQ(root.find("b")->kind(), Kind::String);
  EXPECT_EQ(root.find("b")->style(), ScalarStyle::DoubleQuoted);
  EXPECT_EQ(root.find("c")->kind(), Kind::String);
  EXPECT_EQ(root.find("c")->text(), "7\n");
  EXPECT_EQ(root.find("c")->style(), ScalarStyle::Literal);
  EXPECT_EQ(root.find("d")->kind(), Kind::String);
  EXPECT_EQ(root.find("d")->style(), ScalarStyle::Folded);
  EXPECT_EQ(root.find("e")->kind(), Kind::Float);
  EXPECT_EQ(root.find("f")->text(), "it's");
}

TEST(YamlTree, CustomTagsLeaveTheValueKind) {
  const Document document = parse_ok("a: !custom 1.5\nb: !thing [1, 2]\nc: !x yes\nd: !m {k: v}\n");
  const Node& root = document.root();
  EXPECT_EQ(root.find("a")->kind(), Kind::Float);
  EXPECT_EQ(root.find("a")->number(), 1.5);
  EXPECT_EQ(root.find("a")->tag(), "!custom");
  EXPECT_EQ(root.find("b")->kind(), Kind::Sequence);
  EXPECT_EQ(root.find("c")->kind(), Kind::String);
  EXPECT_EQ(root.find("d")->kind(), Kind::Mapping);
}

TEST(YamlTree, CoreSchemaTagsDecideTheKind) {
  const Document document = parse_ok(
      "a: !!str 12\nb: !!int \"12\"\nc: !!float 3\nd: !!bool 'true'\ne: !!null ''\nf: ! 12\n");
  const Node& root = document.root();
  EXPECT_EQ(root.find("a")->kind(), Kind::String);
  EXPECT_EQ(root.find("b")->kind(), Kind::Int);
  EXPECT_EQ(root.find("b")->integer().to_i64(), 12);
  EXPECT_EQ(root.find("c")->kind(), Kind::Float);
  EXPECT_EQ(root.find("c")->number(), 3.0);
  EXPECT_EQ(root.find("d")->kind(), Kind::Bool);
  EXPECT_EQ(root.find("e")->kind(), Kind::Null);
  EXPECT_EQ(root.find("f")->kind(), Kind::String);  // the non-specific tag
}

TEST(YamlTree, CoreSchemaTagOnAMismatchedValueIsAnError) {
  EXPECT_EQ(parse_error("a: !!int abc\n"),
            "value 'abc' does not match its tag tag:yaml.org,2002:int at line 1 column 4");
}

TEST(YamlTree, AnchorsAndAliasesShareTheNode) {
  const Document document =
      parse_ok("base: &b {x: 1, y: [2, 3]}\none: *b\ntwo: *b\nname: &n hand\nagain: *n\n");
  const Node& root = document.root();
  EXPECT_EQ(root.find("one"), root.find("base"));
  EXPECT_EQ(root.find("two"), root.find("base"));
  EXPECT_EQ(root.find("again")->text(), "hand");
  EXPECT_EQ(root.find("one")->find("y")->items()[1]->integer().to_i64(), 3);
}

TEST(YamlTree, UnknownAliasIsAnError) {
  EXPECT_EQ(parse_error("a: *nowhere\n"), "unknown anchor 'nowhere' for alias at line 1 column 4");
}

TEST(YamlTree, SelfReferenceIsAnUnknownAlias) {
  EXPECT_EQ(parse_error("a: &x [1, *x]\n"), "unknown anchor 'x' for alias at line 1 column 11");
}

TEST(YamlTree, RepeatedKeyIsAnError) {
  EXPECT_EQ(parse_error("retargeting:\n  type: vector\n  type: position\n"),
            "duplicate mapping key 'type' at line 3 column 3");
  // Keys are compared by value: 1 and 0x1 are the same integer.
  EXPECT_EQ(parse_error("{1: a, 0x1: b}"), "duplicate mapping key '0x1' at line 1 column 8");
  // Collections as keys compare structurally.
  EXPECT_EQ(parse_error("? [1, 2]\n: a\n? [1, 2]\n: b\n"),
            "duplicate mapping key at line 3 column 3");
  // Different kinds are different keys; the same key in different mappings is fine.
  EXPECT_TRUE(Document::parse("{1: a, '1': b, 1.0: c}").has_value());
  EXPECT_TRUE(Document::parse("a: {k: 1}\nb: {k: 2}\n").has_value());
}

TEST(YamlTree, MoreThanOneDocumentIsAnError) {
  EXPECT_EQ(parse_error("a: 1\n---\nb: 2\n"),
            "more than one document in the stream at line 2 column 1");
  EXPECT_EQ(parse_error("---\na: 1\n...\n---\n"),
            "more than one document in the stream at line 4 column 1");
}

TEST(YamlTree, SyntaxErrorsCarryLineAndColumn) {
  const std::string message = parse_error("a: 1\nb: [1, 2\n");
  EXPECT_NE(message.find(" at line "), std::string::npos) << message;
  EXPECT_NE(message.find(" column "), std::string::npos) << message;
  EXPECT_EQ(parse_error("a: 1\n b: 2\n"),
            "mapping values are not allowed in this context at line 2 column 3");
  EXPECT_EQ(parse_error("a: \"open\n"),
            "found unexpected end of stream at line 2 column 1, while scanning a quoted scalar "
            "at line 1 column 4");
}

TEST(YamlTree, ReaderErrorsCarryLineAndColumn) {
  EXPECT_EQ(parse_error(std::string("a: 1\nb: \xC3\xA9\x01\n")),
            "control characters are not allowed #1 at line 2 column 5");
}

TEST(YamlTree, DistinctButEqualAliasedKeysAreDuplicates) {
  // Two separate chains of the same shape, each fifty levels deep through aliases.
  std::string text = "a0: &a0 [x]\nb0: &b0 [x]\n";
  for (int i = 1; i <= 50; ++i) {
    for (const char* chain : {"a", "b"}) {
      const std::string name = chain + std::to_string(i);
      text += name + ": &" + name + " [[*" + chain + std::to_string(i - 1) + "]]\n";
    }
  }
  text += "keys:\n  ? *a50\n  : 1\n  ? *b50\n  : 2\n";
  EXPECT_EQ(parse_error(text), "duplicate mapping key at line 106 column 5");
}

TEST(YamlTree, AliasBombIsRefused) {
  // Nine levels of ten aliases each would expand to a billion nodes.
  std::string text = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level <= 9; ++level) {
    const std::string prev = "*a" + std::to_string(level - 1);
    text += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i) text += (i ? ", " : "") + prev;
    text += "]\n";
  }
  const std::string message = parse_error(text);
  EXPECT_EQ(message.rfind("aliases expand to more than 1000000 nodes at line ", 0), 0u) << message;
}

TEST(YamlTree, ModerateAliasUseStaysWithinTheBudget) {
  // A thousand references to a thousand-node list: a million nodes when expanded, just allowed.
  std::string text = "base: &b [";
  for (int i = 0; i < 999; ++i) text += (i ? ", " : "") + std::to_string(i);
  text += "]\nuses: [";
  for (int i = 0; i < 1000; ++i) text += (i ? ", " : "") + std::string("*b");
  text += "]\n";
  auto document = Document::parse(text);
  ASSERT_TRUE(document.has_value()) << document.error();
  EXPECT_EQ(document->root().find("uses")->items().size(), 1000u);
  EXPECT_EQ(document->root().find("uses")->items()[999]->items().size(), 999u);
}

TEST(YamlTree, DocumentWithTooManyNodesIsRefused) {
  const kova::yaml::Limits limits{.max_nodes = 100};
  std::string text = "[";
  for (int i = 0; i < 200; ++i) text += "0,";
  text += "]";
  // The sequence is node one; its hundredth element would be node 101, at column 2 + 2 * 99.
  const auto refused = Document::parse(text, limits);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "more than 100 nodes in the document at line 1 column 200");
  EXPECT_TRUE(Document::parse(text.substr(0, 1 + 2 * 99) + "]", limits).has_value());
  EXPECT_EQ(kova::yaml::Limits{}.max_nodes, 1000000u);
}

TEST(YamlTree, BudgetsAreThoseOfTheLimits) {
  EXPECT_EQ(Document::parse("[[[[1]]]]", kova::yaml::Limits{.max_depth = 3}).error(),
            "collections nested deeper than 3 levels at line 1 column 4");
  EXPECT_TRUE(Document::parse("[[[1]]]", kova::yaml::Limits{.max_depth = 3}).has_value());
  const std::string aliases = "a: &a [1, 2, 3]\nb: [*a, *a]\n";
  EXPECT_EQ(Document::parse(aliases, kova::yaml::Limits{.max_alias_expansion = 7}).error(),
            "aliases expand to more than 7 nodes at line 2 column 9");
  EXPECT_TRUE(Document::parse(aliases, kova::yaml::Limits{.max_alias_expansion = 8}).has_value());
}

TEST(YamlTree, DeepNestingIsRefused) {
  const std::string flow = std::string(10000, '[') + std::string(10000, ']');
  EXPECT_EQ(parse_error(flow), "collections nested deeper than 512 levels at line 1 column 513");
  std::string block;
  for (int i = 0; i < 600; ++i) block += std::string(static_cast<std::size_t>(i), ' ') + "k:\n";
  EXPECT_EQ(parse_error(block), "collections nested deeper than 512 levels at line 513 column 513");
  const std::string mappings = std::string(10000, '{') + std::string(10000, '}');
  EXPECT_EQ(parse_error(mappings),
            "collections nested deeper than 512 levels at line 1 column 513");
}

TEST(YamlTree, NestingUpToTheLimitIsAccepted) {
  const std::string flow = std::string(512, '[') + std::string(512, ']');
  auto document = Document::parse(flow);
  ASSERT_TRUE(document.has_value()) << document.error();
  const Node* node = &document->root();
  std::size_t depth = 0;
  while (node->kind() == Kind::Sequence && !node->items().empty()) {
    node = node->items()[0];
    ++depth;
  }
  EXPECT_EQ(depth, 511u);
}

TEST(YamlTree, StructuralEquality) {
  const Document document = parse_ok("a: [1, {b: 2.0}]\nb: [1, {b: 2.0}]\nc: [1, {b: 2}]\n");
  const Node& root = document.root();
  EXPECT_TRUE(equal(*root.find("a"), *root.find("b")));
  EXPECT_FALSE(equal(*root.find("a"), *root.find("c")));
}

}  // namespace
