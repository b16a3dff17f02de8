#include "yaml_scalar.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace {

using kova::yaml::resolve_plain_scalar;
using kova::yaml::ScalarKind;

ScalarKind kind_of(std::string_view text) {
  return resolve_plain_scalar(text).kind;
}

TEST(PlainScalar, NullForms) {
  for (const char* text : {"", "~", "null", "Null", "NULL"}) {
    EXPECT_EQ(kind_of(text), ScalarKind::Null) << text;
  }
  for (const char* text : {"nULL", "none", "nil", "~~"}) {
    EXPECT_EQ(kind_of(text), ScalarKind::String) << text;
  }
}

TEST(PlainScalar, OnlyTheSixBooleanSpellings) {
  for (const char* text : {"true", "True", "TRUE"}) {
    const auto value = resolve_plain_scalar(text);
    EXPECT_EQ(value.kind, ScalarKind::Bool) << text;
    EXPECT_TRUE(value.boolean) << text;
  }
  for (const char* text : {"false", "False", "FALSE"}) {
    const auto value = resolve_plain_scalar(text);
    EXPECT_EQ(value.kind, ScalarKind::Bool) << text;
    EXPECT_FALSE(value.boolean) << text;
  }
  for (const char* text : {"yes", "no", "on", "off", "y", "n", "tRUE", "Yes"}) {
    EXPECT_EQ(kind_of(text), ScalarKind::String) << text;
  }
}

TEST(PlainScalar, DecimalIntegersWithSign) {
  auto value = resolve_plain_scalar("42");
  ASSERT_EQ(value.kind, ScalarKind::Int);
  EXPECT_EQ(value.integer.to_i64(), 42);
  value = resolve_plain_scalar("+7");
  ASSERT_EQ(value.kind, ScalarKind::Int);
  EXPECT_EQ(value.integer.to_i64(), 7);
  value = resolve_plain_scalar("-12");
  ASSERT_EQ(value.kind, ScalarKind::Int);
  EXPECT_EQ(value.integer.to_i64(), -12);
  value = resolve_plain_scalar("-0");
  ASSERT_EQ(value.kind, ScalarKind::Int);
  EXPECT_EQ(value.integer.to_i64(), 0);
  value = resolve_plain_scalar("0012");
  ASSERT_EQ(value.kind, ScalarKind::Int);
  EXPECT_EQ(value.integer.to_i64(), 12);
}

TEST(PlainScalar, PrefixedIntegers) {
  EXPECT_EQ(resolve_plain_scalar("0x1F").integer.to_i64(), 31);
  EXPECT_EQ(resolve_plain_scalar("0xff").integer.to_i64(), 255);
  EXPECT_EQ(resolve_plain_scalar("0o17").integer.to_i64(), 15);
  EXPECT_EQ(resolve_plain_scalar("0b101").integer.to_i64(), 5);
  EXPECT_EQ(kind_of("0x1F"), ScalarKind::Int);
  for (const char* text : {"0x", "0xG1", "0o8", "0b2", "-0x10", "0X10", "0x+1"}) {
    EXPECT_EQ(kind_of(text), ScalarKind::String) << text;
  }
}

TEST(PlainScalar, IntegerRangeEdges) {
  const auto max_i64 = resolve_plain_scalar("9223372036854775807");
  ASSERT_EQ(max_i64.kind, ScalarKind::Int);
  EXPECT_EQ(max_i64.integer.to_i64(), std::numeric_limits<std::int64_t>::max());

  const auto min_i64 = resolve_plain_scalar("-9223372036854775808");
  ASSERT_EQ(min_i64.kind, ScalarKind::Int);
  EXPECT_EQ(min_i64.integer.to_i64(), std::numeric_limits<std::int64_t>::min());

  // 2^63 and 2^64 - 1 are integers that do not fit in a signed 64-bit value.
  const auto two_63 = resolve_plain_scalar("9223372036854775808");
  ASSERT_EQ(two_63.kind, ScalarKind::Int);
  EXPECT_FALSE(two_63.integer.to_i64().has_value());
  EXPECT_EQ(two_63.integer.to_double(), 9223372036854775808.0);
  const auto max_u64 = resolve_plain_scalar("0xFFFFFFFFFFFFFFFF");
  ASSERT_EQ(max_u64.kind, ScalarKind::Int);
  EXPECT_FALSE(max_u64.integer.to_i64().has_value());

  // Beyond every integer range: the nearest double.
  const auto huge = resolve_plain_scalar("100000000000000000000");
  ASSERT_EQ(huge.kind, ScalarKind::Float);
  EXPECT_EQ(huge.number, 1e20);
  const auto very_negative = resolve_plain_scalar("-9223372036854775809");
  ASSERT_EQ(very_negative.kind, ScalarKind::Float);
  EXPECT_EQ(very_negative.number, -9223372036854775809.0);
  // A prefixed integer too large for 64 bits is not a number.
  EXPECT_EQ(kind_of("0x10000000000000000"), ScalarKind::String);
}

TEST(PlainScalar, DecimalFloats) {
  const std::pair<const char*, double> cases[] = {
      {"1.5", 1.5},
      {"-0.25", -0.25},
      {"+2.0", 2.0},
      {".5", 0.5},
      {"1.", 1.0},
      {"1e3", 1e3},
      {"1E-2", 1e-2},
      {"-1.5e+2", -150},
      {"0.004", 0.004},
      {"3.", 3.0},
      {"1e400", std::numeric_limits<double>::infinity()},
      {"1e-400", 0.0},
  };
  for (const auto& [text, expected] : cases) {
    const auto value = resolve_plain_scalar(text);
    ASSERT_EQ(value.kind, ScalarKind::Float) << text;
    EXPECT_EQ(value.number, expected) << text;
  }
  // The nearest double to 0.1, not a rounded approximation.
  EXPECT_EQ(resolve_plain_scalar("0.1").number, 0.1);
  for (const char* text :
       {".", "1.2.3", "e3", "1e", "1e+", "1,5", "0x1.8p3", "1_000", "inf", "nan", " 1.5", "1.5 "}) {
    EXPECT_EQ(kind_of(text), ScalarKind::String) << text;
  }
}

TEST(PlainScalar, InfinityAndNanForms) {
  for (const char* text : {".inf", ".Inf", ".INF", "+.inf"}) {
    const auto value = resolve_plain_scalar(text);
    ASSERT_EQ(value.kind, ScalarKind::Float) << text;
    EXPECT_EQ(value.number, std::numeric_limits<double>::infinity()) << text;
  }
  for (const char* text : {"-.inf", "-.Inf", "-.INF"}) {
    EXPECT_EQ(resolve_plain_scalar(text).number, -std::numeric_limits<double>::infinity()) << text;
  }
  for (const char* text : {".nan", ".NaN", ".NAN"}) {
    const auto value = resolve_plain_scalar(text);
    ASSERT_EQ(value.kind, ScalarKind::Float) << text;
    EXPECT_TRUE(std::isnan(value.number)) << text;
  }
  for (const char* text : {".iNf", "-.nan", ".NAn", "..inf"}) {
    EXPECT_EQ(kind_of(text), ScalarKind::String) << text;
  }
}

}  // namespace
