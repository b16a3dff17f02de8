#include "kova/result.hpp"

#include <format>

namespace kova {

void throw_index_out_of_range(std::size_t index, std::size_t length) {
  throw InternalFault(
      std::format("index out of bounds: the len is {} but the index is {}", length, index));
}

}  // namespace kova
