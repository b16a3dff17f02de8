// The JSON messages of the live loop, read and written without a general JSON library:
//
//   frame    {"seq": 17, "t": 12.345, "keypoints": [[x, y, z], ...]}
//            {"seq": 17, "t": 12.345, "poses": [[16 numbers], ...]}  (or rows of 4 x 4)
//   request  {"request": "joint_names"}
//   command  {"seq": 17, "t": ..., "t_recv": ..., "t_solve": ..., "qpos": [...], "error": ...,
//             "status": "ok", ...}
//
// The reader is strict and bounded: one pass over the text, at most kMaxLiveJsonDepth
// levels of nesting (a frame needs 4, so recursion stays that shallow), values kept in a buffer the
// reader reuses. It reads exactly what Python's json module reads for these messages (NaN, Infinity
// and -Infinity included; values too large for a double become infinite), and refuses the rest with
// the reason. Members it does not know are checked and skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kova/result.hpp"

namespace kova {

inline constexpr std::size_t kMaxLiveJsonDepth = 4;

struct LiveJsonMessage {
  bool request = false;  // {"request": "joint_names"}; the rest is unset
  std::uint64_t seq = 0;
  double t = 0.0;
  bool poses = false;       // 16 values per joint (else 3 positions)
  bool has_values = false;  // false: no hand (keypoints absent, null or [])
  std::size_t joints = 0;   // rows read, when has_values
};

class LiveJsonReader {
 public:
  // One message; the frame's values (joints x 3 or 16, row-major) are in values() until the
  // next read. A null value reads as NaN.
  Result<LiveJsonMessage> read(std::string_view text);
  std::span<const double> values() const { return values_; }

 private:
  std::vector<double> values_;
};

// The command up to and including its status, without the closing brace, so that the caller
// can add members (joint names, the send time stamped last). Numbers are written as Python's
// repr writes them (shortest text that reads back exactly), NaN error as null.
struct LiveCommandFields {
  std::uint64_t seq = 0;
  double t = 0.0;
  double t_recv = 0.0;
  double t_solve = 0.0;
  std::span<const double> qpos;
  double error = 0.0;
  std::string_view status;
};
void write_command_json_head(const LiveCommandFields& command, std::string& out);

// `value` as Python's repr(float) writes it: 1.0, 0.1, 1e-05, 1e+16, NaN, Infinity (the JSON
// spelling of the module).
void append_python_float(double value, std::string& out);

}  // namespace kova
