#include "kova/result.hpp"

#include <string>

namespace kova {

void throw_index_out_of_range(std::size_t index, std::size_t length) {
  throw InternalFault("index out of bounds: the len is " + std::to_string(length) +
                      " but the index is " + std::to_string(index));
}

}  // namespace kova
