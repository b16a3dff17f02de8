// The live loop's JSON messages: frames read exactly and bounded, commands written as Python's
// json module writes them.
#include "kova/live_json.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string python_float(double value) {
  std::string out;
  kova::append_python_float(value, out);
  return out;
}

TEST(LiveJson, FramesAreReadExactlyAndTheBufferIsReused) {
  kova::LiveJsonReader reader;
  auto frame = reader.read(R"({"seq": 17, "t": 12.345, "extra": {"a": [1, "x", null]},)"
                           R"( "keypoints": [[0.1, -2.5e-3, 1E2], [null, 7, -0.0]]})");
  ASSERT_TRUE(frame) << frame.error();
  EXPECT_FALSE(frame->request);
  EXPECT_EQ(frame->seq, 17u);
  EXPECT_EQ(frame->t, 12.345);
  ASSERT_TRUE(frame->has_values);
  ASSERT_EQ(frame->joints, 2u);
  const auto v = reader.values();
  ASSERT_EQ(v.size(), 6u);
  EXPECT_EQ(v[0], 0.1);  // the nearest double, as strtod reads it
  EXPECT_EQ(v[1], std::strtod("-2.5e-3", nullptr));
  EXPECT_EQ(v[2], 100.0);
  EXPECT_TRUE(std::isnan(v[3]));  // a missing joint
  EXPECT_TRUE(std::signbit(v[5]));

  // Poses as 16 numbers or as 4 rows of 4 read the same.
  auto flat = reader.read(R"({"seq": 1, "t": 0, "poses": [[1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]]})");
  ASSERT_TRUE(flat && flat->poses && flat->joints == 1u) << flat.error();
  const std::vector<double> first(reader.values().begin(), reader.values().end());
  auto rows =
      reader.read(R"({"seq": 2, "t": 0, "poses": [[[1,0,0,0], [0,1,0,0], [0,0,1,0], [0,0,0,1]]]})");
  ASSERT_TRUE(rows) << rows.error();
  EXPECT_EQ(std::vector<double>(reader.values().begin(), reader.values().end()), first);

  auto empty = reader.read(R"({"seq": 3, "t": 1.5, "keypoints": null})");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->has_values);
  EXPECT_TRUE(reader.values().empty());  // nothing left over from the frame before
  auto request = reader.read(R"({"request": "joint_names"})");
  ASSERT_TRUE(request && request->request);
  // Values beyond a double's range read as Python reads them.
  auto huge = reader.read(R"({"seq": 4, "t": 0, "keypoints": [[1e400, -1e400, 1e-400]]})");
  ASSERT_TRUE(huge) << huge.error();
  EXPECT_EQ(reader.values()[0], std::numeric_limits<double>::infinity());
  EXPECT_EQ(reader.values()[1], -std::numeric_limits<double>::infinity());
  EXPECT_EQ(reader.values()[2], 0.0);
}

TEST(LiveJson, MalformedMessagesAreRefusedWithTheReason) {
  kova::LiveJsonReader reader;
  const std::string deep = std::string(5, '[') + std::string(5, ']');
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {R"({"seq": 1, "t": 0, "keypoints": [[1, 2, 3]])", "expected ',' or '}'"},
      {R"({"seq": 1, "t": 0, "keypoints": [[1, 2]]})", "rows of 3 numbers"},
      {R"({"seq": 1, "t": 0, "keypoints": [[1, true, 3]]})", "rows of 3 numbers"},
      {R"({"seq": 1, "t": 0, "other": )" + deep + "}", "nested deeper than 4"},
      {R"({"seq": 1, "t": 0, "keypoints": [[1, 2, 3]]} x)", "at byte"},
      {R"({"seq": 1, "t": 0, "keypoints": [[1, 2, 0x3]]})", "at byte"},
      {"[1, 2, 3]", "must be an object"},
      {"{\"seq\": 1, \"t\": \"\x01\"}", "control character"},
      {"{\"seq\": 1, \"t\": \"\xff\"}", "invalid UTF-8"},
  };
  for (const auto& c : cases) {
    auto read = reader.read(c.text);
    ASSERT_FALSE(read) << c.text;
    EXPECT_NE(read.error().find(c.reason), std::string::npos) << c.text << " -> " << read.error();
    EXPECT_TRUE(reader.values().empty()) << c.text;
  }
  for (const char* twice : {R"({"seq": 1, "seq": 2, "t": 0})", R"({"t": 0, "t": 1, "seq": 1})"}) {
    EXPECT_FALSE(reader.read(twice)) << twice;
  }
}

TEST(LiveJson, NumbersAreWrittenAsPythonWritesThemAndReadBackExactly) {
  EXPECT_EQ(python_float(1.0), "1.0");
  EXPECT_EQ(python_float(0.1), "0.1");
  EXPECT_EQ(python_float(-0.0), "-0.0");
  EXPECT_EQ(python_float(1e-05), "1e-05");
  EXPECT_EQ(python_float(0.0001), "0.0001");
  EXPECT_EQ(python_float(1e16), "1e+16");
  EXPECT_EQ(python_float(123456789012345.0), "123456789012345.0");
  EXPECT_EQ(python_float(std::nan("")), "NaN");
  EXPECT_EQ(python_float(-std::numeric_limits<double>::infinity()), "-Infinity");
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(-30.0, 30.0);
  for (int i = 0; i < 2000; ++i) {
    const double value = std::pow(10.0, exponent(random)) * (i % 2 ? -1.0 : 1.0);
    EXPECT_EQ(std::strtod(python_float(value).c_str(), nullptr), value) << python_float(value);
  }

  const double qpos[] = {0.5, -1.25};
  std::string out = "left over";
  kova::write_command_json_head({17, 12.5, 12.75, 0.001, qpos, std::nan(""), "ok"}, out);
  EXPECT_EQ(out,
            R"({"seq": 17, "t": 12.5, "t_recv": 12.75, "t_solve": 0.001, "qpos": [0.5, -1.25],)"
            R"( "error": null, "status": "ok")");
}

}  // namespace
