// NumPy arrays in and out of kova_rs._core: float64, C order, CPU memory. Inputs of another
// dtype or order are converted by nanobind; outputs are new arrays owned by NumPy, or arrays
// the caller hands in to be written in place.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

namespace kova_core {

namespace nb = nanobind;

using InArray = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using OutArray = nb::ndarray<double, nb::c_contig, nb::device::cpu>;
using NumpyArray = nb::ndarray<nb::numpy, double, nb::c_contig>;

// A new, uninitialised NumPy array of this shape. Needs the interpreter lock.
NumpyArray new_array(std::initializer_list<std::size_t> shape);
NumpyArray new_array(const std::vector<std::size_t>& shape);

inline std::span<const double> values(const InArray& array) {
  return {array.data(), array.size()};
}
inline std::span<double> values(NumpyArray& array) {
  return {array.data(), array.size()};
}
inline std::span<double> values(OutArray& array) {
  return {array.data(), array.size()};
}

// "(21, 3)", "(5,)": a shape as NumPy prints it.
template <class Array>
std::string shape_text(const Array& array) {
  std::string text = "(";
  for (std::size_t i = 0; i < array.ndim(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

template <class Array>
bool has_shape(const Array& array, std::initializer_list<std::size_t> shape) {
  if (array.ndim() != shape.size()) return false;
  std::size_t i = 0;
  for (const std::size_t size : shape) {
    if (array.shape(i++) != size) return false;
  }
  return true;
}

}  // namespace kova_core
