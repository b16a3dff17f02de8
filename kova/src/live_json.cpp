#include "kova/live_json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>

#include "unicode_text.hpp"

namespace kova {
namespace {

constexpr std::size_t kShortText = 16;  // keys and request names longer than this match nothing

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A semantic problem is kept and reported only once the whole text has proved to be JSON, so
// that broken JSON is always reported as such.
class Parser {
 public:
  Parser(std::string_view text, std::vector<double>& values) : text_(text), values_(values) {}

  Result<LiveJsonMessage> message();

 private:
  struct Number {
    double value = 0.0;
    bool integer = false;  // no fraction, no exponent
    std::string_view text;
  };
  struct ShortString {
    char text[kShortText] = {};
    std::size_t size = 0;
    bool fits = true;  // ASCII only and at most kShortText bytes
    std::string_view raw;
    std::string_view view() const { return fits ? std::string_view(text, size) : ""; }
  };

  std::string syntax(std::string_view what) const {
    return "not JSON and not a binary frame (" + std::string(what) + " at byte " +
           std::to_string(pos_) + ")";
  }
  void problem(std::string text) {
    if (problem_.empty()) problem_ = std::move(text);
  }
  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }
  bool peek(char c) {
    skip_space();
    return pos_ < text_.size() && text_[pos_] == c;
  }
  bool take(char c) {
    if (!peek(c)) return false;
    ++pos_;
    return true;
  }
  bool take_word(std::string_view word) {
    skip_space();
    return take_word_here(word);
  }
  bool take_word_here(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  Status string(ShortString* out);
  Status hex4(unsigned& code);
  Result<std::optional<Number>> number();  // nullopt: not a number here (nothing consumed)
  Status skip_value(std::size_t depth);
  Status rows(bool poses, LiveJsonMessage& message);
  Status row(bool poses, std::size_t& count);
  Status member_list(char close, std::size_t depth, auto&& on_item);

  std::string_view text_;
  std::vector<double>& values_;
  std::size_t pos_ = 0;
  std::string problem_;
};

Status Parser::hex4(unsigned& code) {
  code = 0;
  for (int i = 0; i < 4; ++i, ++pos_) {
    if (pos_ >= text_.size()) return std::unexpected(syntax("unterminated string"));
    const char c = text_[pos_];
    const int digit = is_digit(c)              ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
    if (digit < 0) return std::unexpected(syntax("bad \\u escape"));
    code = code * 16 + static_cast<unsigned>(digit);
  }
  return {};
}

Status Parser::string(ShortString* out) {
  if (!take('"')) return std::unexpected(syntax("expected a string"));
  const std::size_t start = pos_;
  bool ascii = true;
  const auto keep = [&](unsigned code) {
    if (out == nullptr) return;
    if (code >= 0x80 || out->size == kShortText) {
      out->fits = false;
    } else if (out->fits) {
      out->text[out->size++] = static_cast<char>(code);
    }
  };
  while (true) {
    if (pos_ >= text_.size()) return std::unexpected(syntax("unterminated string"));
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') break;
    if (c < 0x20) return std::unexpected(syntax("control character in a string"));
    ++pos_;
    if (c >= 0x80) {
      ascii = false;
      keep(c);
      continue;
    }
    if (c != '\\') {
      keep(c);
      continue;
    }
    if (pos_ >= text_.size()) return std::unexpected(syntax("unterminated string"));
    const char e = text_[pos_++];
    static constexpr std::string_view kEscapes = "\"\\/bfnrt";
    static constexpr std::string_view kMeaning = "\"\\/\b\f\n\r\t";
    if (const std::size_t at = kEscapes.find(e); at != std::string_view::npos) {
      keep(static_cast<unsigned char>(kMeaning[at]));
    } else if (e == 'u') {
      unsigned code = 0;
      if (Status read = hex4(code); !read) return read;
      keep(code);
    } else {
      return std::unexpected(syntax("bad escape in a string"));
    }
  }
  const std::string_view raw = text_.substr(start, pos_ - start);
  ++pos_;
  if (!ascii && !unicode::is_valid_utf8(raw)) return std::unexpected(syntax("invalid UTF-8"));
  if (out != nullptr) out->raw = raw;
  return {};
}

// Where the first significant digit of a number text sits relative to the decimal point, plus
// the exponent: above 0 the value is beyond any double, below it under the smallest.
long magnitude(std::string_view text) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  long mag = 0;
  bool seen = false;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    if (text[i] != '0') seen = true;
    if (seen) ++mag;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i) {
      if (text[i] != '0') {
        seen = true;
        break;
      }
      if (!seen) --mag;
    }
  }
  if (!seen) return std::numeric_limits<long>::min();
  const std::size_t e = text.find_first_of("eE");
  if (e != std::string_view::npos) {
    long exponent = 0;
    const char* first = text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0);
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), exponent);
    if (error != std::errc()) exponent = text[e + 1] == '-' ? -100000 : 100000;
    mag += exponent;
  }
  return mag;
}

Result<std::optional<Parser::Number>> Parser::number() {
  skip_space();
  const std::size_t start = pos_;
  const bool negative = pos_ < text_.size() && text_[pos_] == '-';
  if (negative) ++pos_;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (pos_ >= text_.size() || !is_digit(text_[pos_])) {
    if (!negative && take_word_here("NaN")) {
      return Number{std::numeric_limits<double>::quiet_NaN(), false, {}};
    }
    if (take_word_here("Infinity")) return Number{negative ? -kInf : kInf, false, {}};
    if (negative) return std::unexpected(syntax("bad number"));
    return std::optional<Number>();
  }
  if (text_[pos_] == '0') {
    ++pos_;
  } else {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  bool integer = true;
  if (pos_ < text_.size() && text_[pos_] == '.') {
    integer = false;
    ++pos_;
    if (pos_ >= text_.size() || !is_digit(text_[pos_])) {
      return std::unexpected(syntax("bad number"));
    }
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    integer = false;
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ >= text_.size() || !is_digit(text_[pos_])) {
      return std::unexpected(syntax("bad number"));
    }
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  Number out;
  out.integer = integer;
  out.text = text_.substr(start, pos_ - start);
  const auto [end, error] =
      std::from_chars(out.text.data(), out.text.data() + out.text.size(), out.value);
  if (error == std::errc::result_out_of_range) {
    out.value = magnitude(out.text) > 0 ? kInf : 0.0;
    if (negative) out.value = -out.value;
  }
  return out;
}

// The items of an array (close ']') or the members of an object (close '}'), the opening
// bracket already taken; on_item reads one item (for an object: after its key and colon).
Status Parser::member_list(char close, std::size_t depth, auto&& on_item) {
  if (depth > kMaxLiveJsonDepth) {
    return std::unexpected("nested deeper than " + std::to_string(kMaxLiveJsonDepth) +
                           " levels (a frame needs no more)");
  }
  if (take(close)) return {};
  while (true) {
    if (Status item = on_item(); !item) return item;
    if (take(close)) return {};
    if (!take(','))
      return std::unexpected(syntax(close == ']' ? "expected ',' or ']'" : "expected ',' or '}'"));
  }
}

Status Parser::skip_value(std::size_t depth) {
  if (peek('"')) return string(nullptr);
  if (take('[')) return member_list(']', depth + 1, [&] { return skip_value(depth + 1); });
  if (take('{')) {
    return member_list('}', depth + 1, [&]() -> Status {
      if (Status key = string(nullptr); !key) return key;
      if (!take(':')) return std::unexpected(syntax("expected ':'"));
      return skip_value(depth + 1);
    });
  }
  if (take_word("true") || take_word("false") || take_word("null")) return {};
  auto read = number();
  if (!read) return std::unexpected(read.error());
  if (!*read) return std::unexpected(syntax("expected a value"));
  return {};
}

// One row: 3 numbers (keypoints), or 16 numbers or 4 rows of 4 (poses). `count` is the number
// of values it held, or SIZE_MAX when it was not numbers in that shape.
Status Parser::row(bool poses, std::size_t& count) {
  count = 0;
  bool nested = false;
  bool flat = false;
  bool bad = false;
  const auto scalar = [&](std::size_t depth) -> Status {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == 'n' && take_word_here("null")) {
      values_.push_back(std::numeric_limits<double>::quiet_NaN());
      ++count;
      return {};
    }
    auto read = number();
    if (!read) return std::unexpected(read.error());
    if (*read) {
      values_.push_back((*read)->value);
      ++count;
      return {};
    }
    bad = true;
    return skip_value(depth);
  };
  Status read = member_list(']', 3, [&]() -> Status {
    if (poses && take('[')) {
      nested = true;
      const std::size_t before = count;
      Status inner = member_list(']', 4, [&] { return scalar(4); });
      if (count - before != 4) bad = true;
      return inner;
    }
    flat = true;
    return scalar(3);
  });
  if (!read) return read;
  if (bad || (nested && flat)) count = std::numeric_limits<std::size_t>::max();
  return {};
}

Status Parser::rows(bool poses, LiveJsonMessage& message) {
  const char* name = poses ? "poses" : "keypoints";
  const std::size_t width = poses ? 16 : 3;
  const auto refuse = [&] {
    problem(std::string(name) + " must be rows of " + std::to_string(width) + " numbers" +
            (poses ? " (or of 4 rows of 4)" : "") + ", or null");
  };
  message.poses = poses;
  if (take_word("null")) return {};
  if (!peek('[')) {
    refuse();
    return skip_value(1);
  }
  ++pos_;
  values_.clear();
  std::size_t joints = 0;
  Status read = member_list(']', 2, [&]() -> Status {
    if (!take('[')) {
      refuse();
      return skip_value(2);
    }
    std::size_t count = 0;
    if (Status one = row(poses, count); !one) return one;
    if (count != width) refuse();
    ++joints;
    return {};
  });
  if (!read) return read;
  message.has_values = joints > 0;
  message.joints = joints;
  return {};
}

Result<LiveJsonMessage> Parser::message() {
  LiveJsonMessage message;
  if (!take('{')) {
    skip_space();
    if (pos_ < text_.size() &&
        (text_[pos_] == '[' || text_[pos_] == '"' || is_digit(text_[pos_]) || text_[pos_] == '-' ||
         text_[pos_] == 't' || text_[pos_] == 'f' || text_[pos_] == 'n')) {
      return std::unexpected("a JSON message must be an object");
    }
    return std::unexpected(syntax("expected '{'"));
  }
  constexpr unsigned kSeq = 1, kT = 2, kKeypoints = 4, kPoses = 8, kRequest = 16;
  unsigned seen = 0;
  bool seq_ok = false;
  bool t_ok = false;
  std::string request_problem;
  Status read = member_list('}', 1, [&]() -> Status {
    ShortString key;
    if (Status k = string(&key); !k) return k;
    if (!take(':')) return std::unexpected(syntax("expected ':'"));
    const std::string_view name = key.view();
    const unsigned bit = name == "seq"         ? kSeq
                         : name == "t"         ? kT
                         : name == "keypoints" ? kKeypoints
                         : name == "poses"     ? kPoses
                         : name == "request"   ? kRequest
                                               : 0U;
    if (bit == 0) return skip_value(1);
    if ((seen & bit) != 0) problem("\"" + std::string(name) + "\" appears twice");
    seen |= bit;
    if (bit == kKeypoints || bit == kPoses) return rows(bit == kPoses, message);
    if (bit == kRequest) {
      if (peek('"')) {
        ShortString what;
        if (Status s = string(&what); !s) return s;
        if (what.view() == "joint_names") return {};
        request_problem = "unknown request \"" + std::string(what.raw.substr(0, 40)) +
                          "\"; the only request is \"joint_names\"";
      } else {
        const std::size_t start = (skip_space(), pos_);
        if (Status s = skip_value(1); !s) return s;
        request_problem = "unknown request " +
                          std::string(text_.substr(start, pos_ - start).substr(0, 40)) +
                          "; the only request is \"joint_names\"";
      }
      return {};
    }
    auto value = number();
    if (!value) return std::unexpected(value.error());
    if (!*value) {
      (bit == kSeq ? seq_ok : t_ok) = false;
      return skip_value(1);
    }
    const Number& n = **value;
    if (bit == kT) {
      message.t = n.value;
      t_ok = std::isfinite(n.value);
      return {};
    }
    seq_ok = false;
    if (n.integer) {
      const bool negative = n.text[0] == '-';
      const std::string_view digits = n.text.substr(negative ? 1 : 0);
      std::uint64_t seq = 0;
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seq);
      seq_ok = error == std::errc() && (!negative || seq == 0);
      message.seq = seq;
    }
    return {};
  });
  if (!read) return std::unexpected(read.error());
  skip_space();
  if (pos_ != text_.size()) return std::unexpected(syntax("extra data"));
  if ((seen & kRequest) != 0) {
    if (!request_problem.empty()) return std::unexpected(request_problem);
    LiveJsonMessage request;
    request.request = true;
    return request;
  }
  if (!seq_ok) return std::unexpected("seq must be an integer from 0 to 2**64 - 1");
  if (!t_ok) return std::unexpected("t must be a finite number of seconds");
  if ((seen & kKeypoints) != 0 && (seen & kPoses) != 0) {
    return std::unexpected("a frame holds keypoints or poses, not both");
  }
  if (!problem_.empty()) return std::unexpected(problem_);
  return message;
}

}  // namespace

Result<LiveJsonMessage> LiveJsonReader::read(std::string_view text) {
  values_.clear();
  Parser parser(text, values_);
  auto message = parser.message();
  if (!message || !message->has_values) values_.clear();
  return message;
}

void append_python_float(double value, std::string& out) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-Infinity" : "Infinity";
    return;
  }
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]xx.
  char buffer[40];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)error;  // the buffer holds any double
  const char* p = buffer;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[24];
  std::size_t count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exponent);
  if (exponent < -4 || exponent >= 16) {  // Python's repr switches to the exponent form here
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits + 1, count - 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, count);
    return;
  }
  const auto point = static_cast<std::size_t>(exponent) + 1;
  if (count <= point) {
    out.append(digits, count);
    out.append(point - count, '0');
    out += ".0";
  } else {
    out.append(digits, point);
    out += '.';
    out.append(digits + point, count - point);
  }
}

void write_command_json_head(const LiveCommandFields& command, std::string& out) {
  out.clear();
  out += "{\"seq\": ";
  char number[24];
  const auto [end, error] = std::to_chars(number, number + sizeof number, command.seq);
  (void)error;
  out.append(number, end);
  out += ", \"t\": ";
  append_python_float(command.t, out);
  out += ", \"t_recv\": ";
  append_python_float(command.t_recv, out);
  out += ", \"t_solve\": ";
  append_python_float(command.t_solve, out);
  out += ", \"qpos\": [";
  for (std::size_t i = 0; i < command.qpos.size(); ++i) {
    if (i > 0) out += ", ";
    append_python_float(command.qpos[i], out);
  }
  out += "], \"error\": ";
  if (std::isnan(command.error)) {
    out += "null";
  } else {
    append_python_float(command.error, out);
  }
  out += ", \"status\": \"";
  out += command.status;
  out += '"';
}

}  // namespace kova
