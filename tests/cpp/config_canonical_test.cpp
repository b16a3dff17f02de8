// The canonical text of a configuration: what a result's provenance hashes.
#include <gtest/gtest.h>

#include <string>

#include "kova/config_canonical.hpp"

namespace {

std::string canonical(const std::string& text) {
  auto made = kova::canonical_config_text(text);
  EXPECT_TRUE(made) << made.error();
  return made.value_or("");
}

TEST(CanonicalConfig, LayoutCommentsQuotingAndKeyOrderDoNotCount) {
  const std::string flow = "retargeting: {type: vector, scaling_factor: 1.5}\nkova: {solver: lm}\n";
  const std::string block =
      "# a comment\nkova:\n  solver: 'lm'\nretargeting:\n\n  scaling_factor: 1.50  # x\n"
      "  type: \"vector\"\n";
  EXPECT_EQ(canonical(flow), canonical(block));
  EXPECT_EQ(canonical(flow),
            R"({"kova":{"solver":"lm"},"retargeting":{"scaling_factor":1.5,"type":"vector"}})");
}

TEST(CanonicalConfig, EveryValueChangeCounts) {
  const std::string base = canonical("a: 0.1\nb: [1, 2]\n");
  EXPECT_NE(base, canonical("a: 0.10000000000000002\nb: [1, 2]\n"));  // the next double
  EXPECT_NE(base, canonical("a: 0.1\nb: [2, 1]\n"));
  EXPECT_NE(base, canonical("a: '0.1'\nb: [1, 2]\n"));  // a string, not a number
  EXPECT_EQ(canonical("x: [.nan, -.inf, -7, true, ~, \"q\\\"\\n\"]"),
            R"({"x":["nan","-inf",-7,true,null,"q\"\u000a"]})");
  EXPECT_EQ(canonical("a: &v [1]\nb: *v\n"), R"({"a":[1],"b":[1]})");
}

TEST(CanonicalConfig, ADocumentTheReaderRefusesFails) {
  EXPECT_FALSE(kova::canonical_config_text("a: [1, 2"));
  EXPECT_FALSE(kova::canonical_config_text("a: 1\na: 2\n"));
}

}  // namespace
