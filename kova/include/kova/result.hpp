// Error handling shared by the whole core.
//
// A failure a caller can expect (a missing file, a malformed document, a rejected configuration)
// is returned as a value: `Result<T>` holds either the result or the exact human-readable message.
// A violated precondition (an index past the end of caller data, a name the optimiser was promised
// to find) throws `InternalFault`. It is the only exception type the core throws on purpose, and it
// never crosses C code: the solver callback catches it, stops the solver and rethrows afterwards.
#pragma once

#include <cstddef>
#include <expected>
#include <stdexcept>
#include <string>

namespace kova {

template <class T>
using Result = std::expected<T, std::string>;

// Result of an operation that produces nothing but may fail.
using Status = Result<void>;

inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws the out-of-range fault used wherever caller data is shorter than a precondition demands.
[[noreturn]] void throw_index_out_of_range(std::size_t index, std::size_t length);

// Checked index into caller-supplied data.
inline void check_index(std::size_t index, std::size_t length) {
  if (index >= length) throw_index_out_of_range(index, length);
}

}  // namespace kova
