// Converters from Python arguments to core values, one per argument form. Each converter raises a
// TypeError with its own reason (or the underlying error, such as OverflowError, unchanged);
// `convert_argument` prefixes a TypeError with the parameter name and chains the original.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "py_errors.hpp"
#include "py_object.hpp"

namespace kova_py {

// Never reserve more than this up front: a sequence may report any length.
inline constexpr Py_ssize_t kMaxReserve = 1 << 16;

[[noreturn]] inline void raise_type_error(std::string message) {
  raise(PyExc_TypeError, message);
}

[[noreturn]] inline void raise_must_be(std::string_view expected, PyObject* object) {
  std::string message = "must be ";
  message += expected;
  message += ", not ";
  message += type_name(object);
  raise_type_error(std::move(message));
}

// Runs `convert(object)`; a TypeError becomes "argument '<name>': <reason>" caused by it.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (const PythonError&) {
    std::string prefix = "argument '";
    prefix += name;
    prefix += "': ";
    rethrow_prefixed(prefix);
  }
}

// A sequence argument: any object passing the sequence check, except str. Returns its length.
inline Py_ssize_t require_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) {
    std::string message = "'";
    message += type_name(object);
    message += "' object is not a sequence";
    raise_type_error(std::move(message));
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) throw PythonError{};
  return length;
}

// Calls `visit(item)` for each item of a sequence (already checked), in index order.
template <class Visit>
void for_each_item(PyObject* sequence, Py_ssize_t length, Visit&& visit) {
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));
    visit(item.get());
  }
}

// A number: float, int, or an object defining __float__ or __index__.
inline double to_double(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

// True for the format codes of a native-order IEEE double.
inline bool is_float64_format(const char* format) {
  if (format == nullptr) return false;
  if (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
      std::strcmp(format, "=d") == 0)
    return true;
  if constexpr (std::endian::native == std::endian::little) return std::strcmp(format, "<d") == 0;
  return std::strcmp(format, ">d") == 0 || std::strcmp(format, "!d") == 0;
}

// Copies a contiguous one-dimensional float64 buffer; false (nothing pending) for anything else.
inline bool read_float64_buffer(PyObject* object, std::vector<double>& out) {
  if (!PyObject_CheckBuffer(object)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool usable = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                      is_float64_format(view.format) && PyBuffer_IsContiguous(&view, 'C');
  if (usable) {
    try {
      out.resize(static_cast<std::size_t>(view.len) / sizeof(double));
    } catch (...) {
      PyBuffer_Release(&view);
      throw;
    }
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(double));
  }
  PyBuffer_Release(&view);
  return usable;
}

// A sequence of numbers. A contiguous float64 array is read without a call per element; it gives
// the same values as the item-by-item path (an array's items are floats holding those doubles).
inline std::vector<double> to_double_vec(PyObject* object) {
  std::vector<double> values;
  if (!PyUnicode_Check(object) && PySequence_Check(object) && read_float64_buffer(object, values))
    return values;
  const Py_ssize_t length = require_sequence(object);
  values.reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
  for_each_item(object, length, [&](PyObject* item) { values.push_back(to_double(item)); });
  return values;
}

// A str, as UTF-8 text.
inline std::string to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_must_be("str", object);
  return std::string(utf8_view(object));
}

// A sequence of str.
inline std::vector<std::string> to_string_vec(PyObject* object) {
  const Py_ssize_t length = require_sequence(object);
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
  for_each_item(object, length, [&](PyObject* item) { names.push_back(to_string(item)); });
  return names;
}

// An unsigned 64-bit index: int or an object defining __index__; negative or too large values
// raise OverflowError.
inline std::uint64_t to_index(PyObject* object) {
  if (!PyIndex_Check(object)) {
    std::string message = "'";
    message += type_name(object);
    message += "' object cannot be interpreted as an integer";
    raise_type_error(std::move(message));
  }
  PyRef number = PyRef::steal(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

inline std::vector<std::uint64_t> to_index_vec(PyObject* object) {
  const Py_ssize_t length = require_sequence(object);
  std::vector<std::uint64_t> indices;
  indices.reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
  for_each_item(object, length, [&](PyObject* item) { indices.push_back(to_index(item)); });
  return indices;
}

// Rows of indices, concatenated row after row (rows of any lengths).
inline std::vector<std::uint64_t> to_nested_index_vec(PyObject* object) {
  const Py_ssize_t length = require_sequence(object);
  std::vector<std::uint64_t> indices;
  for_each_item(object, length, [&](PyObject* row) {
    std::vector<std::uint64_t> values = to_index_vec(row);
    indices.insert(indices.end(), values.begin(), values.end());
  });
  return indices;
}

// Runs one form of an enumerated input. On an ordinary failure (an Exception) returns false and
// appends "- <form>: <ExceptionType>: <text>" to `reasons`; anything else propagates.
template <class Convert>
bool try_form(const char* form, PyObject* object, std::vector<std::uint64_t>& out,
              std::string& reasons, Convert&& convert) {
  try {
    out = convert(object);
    return true;
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyRef error = take_error();
    reasons += "\n- ";
    reasons += form;
    reasons += ": ";
    reasons += type_name(error.get());
    reasons += ": ";
    reasons += error_text(error.get());
    return false;
  }
}

// The forms of target_link_human_indices, tried in order: Flat (a sequence of indices), then
// Nested (a sequence of sequences of indices, flattened).
inline std::vector<std::uint64_t> to_indices_input(PyObject* object) {
  std::vector<std::uint64_t> indices;
  std::string reasons;
  if (try_form("Flat", object, indices, reasons, to_index_vec)) return indices;
  if (try_form("Nested", object, indices, reasons, to_nested_index_vec)) return indices;
  raise_type_error("failed to extract enum IndicesInput (Flat | Nested)" + reasons);
}

// True when `object` is NumPy's boolean scalar, recognised by its type's module and name so that
// NumPy need not be imported.
inline bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  PyRef module = PyRef::steal_or_null(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal_or_null(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return false;
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// Only bool and NumPy's boolean scalar; an int is refused.
inline bool to_strict_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (!is_numpy_bool(object)) raise_must_be("bool", object);
  return check(PyObject_IsTrue(object)) == 1;
}

// A str or an os.PathLike giving a str, encoded with the file-system encoding.
inline std::filesystem::path to_path(PyObject* object) {
  PyRef text = PyRef::steal(PyOS_FSPath(object));
  if (!PyUnicode_Check(text.get())) {
    std::string message = "expected a str path, not ";
    message += type_name(text.get());
    raise_type_error(std::move(message));
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(text.get()));
  return std::filesystem::path(bytes_text(encoded.get()));
}

// A str only (no path objects), encoded with the file-system encoding.
inline std::filesystem::path to_str_path(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_must_be("str", object);
  return to_path(object);
}

}  // namespace kova_py
