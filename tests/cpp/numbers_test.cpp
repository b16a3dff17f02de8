#include "numbers.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace {

using kova::numbers::parse_strict_double;
using kova::numbers::parse_vector3;
using kova::numbers::split_unicode_whitespace;

TEST(StrictNumber, AcceptsDecimalForms) {
  EXPECT_EQ(parse_strict_double("1"), 1.0);
  EXPECT_EQ(parse_strict_double("-1.5"), -1.5);
  EXPECT_EQ(parse_strict_double("+2.25"), 2.25);
  EXPECT_EQ(parse_strict_double("1."), 1.0);
  EXPECT_EQ(parse_strict_double(".5"), 0.5);
  EXPECT_EQ(parse_strict_double("-.5"), -0.5);
  EXPECT_EQ(parse_strict_double("1e3"), 1000.0);
  EXPECT_EQ(parse_strict_double("2.5E-2"), 0.025);
  EXPECT_EQ(parse_strict_double("7e+1"), 70.0);
  EXPECT_EQ(parse_strict_double("0.1"), 0.1);
  EXPECT_EQ(parse_strict_double("3.14159265358979323846"), 3.14159265358979323846);
}

TEST(StrictNumber, KeepsTheSignOfZero) {
  const auto negative_zero = parse_strict_double("-0");
  ASSERT_TRUE(negative_zero);
  EXPECT_EQ(*negative_zero, 0.0);
  EXPECT_TRUE(std::signbit(*negative_zero));
  EXPECT_FALSE(std::signbit(*parse_strict_double("0.0")));
}

TEST(StrictNumber, AcceptsInfinityAndNanInAnyCase) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(parse_strict_double("inf"), inf);
  EXPECT_EQ(parse_strict_double("-INF"), -inf);
  EXPECT_EQ(parse_strict_double("+Infinity"), inf);
  EXPECT_EQ(parse_strict_double("iNfInItY"), inf);
  for (const char* text : {"nan", "NaN", "-nan", "+NAN"}) {
    const auto value = parse_strict_double(text);
    ASSERT_TRUE(value) << text;
    EXPECT_TRUE(std::isnan(*value)) << text;
  }
}

TEST(StrictNumber, RoundsOutOfRangeMagnitudes) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(parse_strict_double("1e400"), inf);
  EXPECT_EQ(parse_strict_double("-1e400"), -inf);
  EXPECT_EQ(parse_strict_double("123456789e99999999999999999999"), inf);
  EXPECT_EQ(parse_strict_double("1e-400"), 0.0);
  EXPECT_EQ(parse_strict_double("0.000001e-99999999999"), 0.0);
  EXPECT_EQ(parse_strict_double("0e99999"), 0.0);
  EXPECT_EQ(parse_strict_double("4.9e-324"), std::numeric_limits<double>::denorm_min());
}

TEST(StrictNumber, RefusesEverythingElse) {
  for (const char* text :
       {"",      " ",    " -1.0", "-1.0 ", "1.0\t", "\n1", "0x10", "0X1p3", "1e",  "1e+",
        "e5",    ".",    "-",     "+",     "+-1",   "--1", "1..2", "1.2.3", "1,5", "1_000",
        "infin", "nanx", "in f",  "1 2",   "abc",   "1f",  "1d",   "∞",     "１"}) {
    EXPECT_FALSE(parse_strict_double(text)) << '"' << text << '"';
  }
}

TEST(NumberList, SplitsOnAsciiAndUnicodeWhiteSpace) {
  const auto tokens = split_unicode_whitespace(
      "  1\t2\n3\r4\v5\f6\u00a07\u20038\u30009\u200a10\u202f11\u205f12\u2028"
      "13\u2029 14\u168015\u008516  ");
  ASSERT_EQ(tokens.size(), 16u);
  for (std::size_t i = 0; i < tokens.size(); ++i) EXPECT_EQ(tokens[i], std::to_string(i + 1));
}

TEST(NumberList, DoesNotSplitOnNonSpaceCharacters) {
  // U+200B (zero width space) and U+FEFF are not white space; neither are the bytes of "é".
  const auto tokens = split_unicode_whitespace("1\u200b2 \ufeff3 é");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0], "1\u200b2");
  EXPECT_EQ(tokens[1], "\ufeff3");
  EXPECT_EQ(tokens[2], "é");
  EXPECT_TRUE(split_unicode_whitespace("").empty());
  EXPECT_TRUE(split_unicode_whitespace(" \u3000\t").empty());
}

TEST(NumberList, ToleratesTruncatedUtf8) {
  const std::string text("1 \xe2\x80", 4);
  const auto tokens = split_unicode_whitespace(text);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[1], std::string("\xe2\x80", 2));
}

TEST(Vector3, UsesTheFirstThreeTokens) {
  EXPECT_EQ(parse_vector3("1 2 3"), (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(parse_vector3("1 2 3 4"), (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(parse_vector3(" 1\u00a0 2\u2003\u20033 "), (std::array<double, 3>{1, 2, 3}));
}

TEST(Vector3, UnparsableTokensCountAsZero) {
  EXPECT_EQ(parse_vector3("1 x 3"), (std::array<double, 3>{1, 0, 3}));
  EXPECT_EQ(parse_vector3("a b c d"), (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(parse_vector3("0x1 2 inf"),
            (std::array<double, 3>{0, 2, std::numeric_limits<double>::infinity()}));
}

TEST(Vector3, FewerThanThreeTokensGiveZero) {
  EXPECT_EQ(parse_vector3("1 2"), (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(parse_vector3("5"), (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(parse_vector3(""), (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(parse_vector3("1,2,3"), (std::array<double, 3>{0, 0, 0}));
}

}  // namespace
