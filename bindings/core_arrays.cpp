#include "core_arrays.hpp"

namespace kova_core {

NumpyArray new_array(const std::vector<std::size_t>& shape) {
  std::size_t count = 1;
  for (const std::size_t size : shape) count *= size;
  auto* data = new double[count == 0 ? 1 : count];
  nb::capsule owner(data, [](void* block) noexcept { delete[] static_cast<double*>(block); });
  return NumpyArray(data, shape.size(), shape.data(), owner);
}

NumpyArray new_array(std::initializer_list<std::size_t> shape) {
  return new_array(std::vector<std::size_t>(shape));
}

}  // namespace kova_core
