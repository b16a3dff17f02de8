// A reader for the one kind of .npy file this example needs: a C-ordered little-endian float64
// array (format versions 1 to 3). Everything else is refused with a message.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kova/result.hpp"

namespace npy {

static_assert(std::endian::native == std::endian::little, "the values are read as stored");

struct Array {
  std::vector<std::size_t> shape;
  std::vector<double> values;
};

namespace detail {

// The text after `'key':` in a header dictionary, blanks skipped, or empty.
inline std::string value_of(const std::string& header, const std::string& key) {
  const std::size_t at = header.find("'" + key + "'");
  if (at == std::string::npos) return {};
  const std::size_t value = header.find_first_not_of(' ', header.find(':', at) + 1);
  return value == std::string::npos ? std::string() : header.substr(value);
}

}  // namespace detail

inline kova::Result<Array> read_float64(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return kova::fail(path + ": cannot open");
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) {
    return kova::fail(path + ": not a .npy file");
  }
  const auto major = static_cast<unsigned char>(magic[6]);
  std::size_t header_length = 0;
  unsigned char length_bytes[4] = {};
  const std::streamsize length_size = major == 1 ? 2 : 4;
  if (major < 1 || major > 3 || !in.read(reinterpret_cast<char*>(length_bytes), length_size)) {
    return kova::fail(path + ": unsupported .npy version");
  }
  for (std::streamsize i = length_size; i-- > 0;)
    header_length = header_length * 256 + length_bytes[i];
  if (header_length > 65536) return kova::fail(path + ": .npy header too long");
  std::string header(header_length, '\0');
  if (!in.read(header.data(), static_cast<std::streamsize>(header_length))) {
    return kova::fail(path + ": truncated .npy header");
  }
  if (!detail::value_of(header, "descr").starts_with("'<f8'")) {
    return kova::fail(path + ": expected little-endian float64 ('<f8') data");
  }
  if (!detail::value_of(header, "fortran_order").starts_with("False")) {
    return kova::fail(path + ": expected a C-ordered array");
  }
  const std::string shape_text = detail::value_of(header, "shape");
  const std::size_t open = shape_text.find('(');
  const std::size_t close = shape_text.find(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return kova::fail(path + ": .npy header has no shape");
  }
  Array array;
  std::size_t count = 1;
  for (std::size_t i = open + 1; i < close;) {
    if (shape_text[i] < '0' || shape_text[i] > '9') {
      ++i;
      continue;
    }
    std::size_t dimension = 0;
    for (; i < close && shape_text[i] >= '0' && shape_text[i] <= '9'; ++i) {
      dimension = dimension * 10 + static_cast<std::size_t>(shape_text[i] - '0');
      if (dimension > (std::size_t{1} << 32)) return kova::fail(path + ": array too large");
    }
    array.shape.push_back(dimension);
    count *= dimension;
    if (count > (std::size_t{1} << 28)) return kova::fail(path + ": array too large");
  }
  array.values.resize(count);
  if (!in.read(reinterpret_cast<char*>(array.values.data()),
               static_cast<std::streamsize>(count * sizeof(double)))) {
    return kova::fail(path + ": file holds fewer values than its shape says");
  }
  return array;
}

}  // namespace npy
