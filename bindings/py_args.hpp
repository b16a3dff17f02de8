// Binding of call arguments to parameters with CPython's rules and messages: positional-or-keyword
// parameters first (the leading ones required), then keyword-only ones, all optional.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "py_object.hpp"

namespace kova_py {

template <std::size_t N>
struct Parameters {
  const char* function;              // as shown in messages, e.g. "retarget"
  std::array<const char*, N> names;  // in declaration order
  std::size_t positional;            // positional-or-keyword parameters (leading)
  std::size_t required;              // leading positional parameters without a default
};

// Borrowed references to the bound arguments; NULL where an argument was not given.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

namespace detail {

inline std::string plural(std::size_t count, const char* word) {
  std::string text = std::to_string(count) + " " + word;
  if (count != 1) text += "s";
  return text;
}

template <std::size_t N>
[[noreturn]] void raise_too_many_positional(const Parameters<N>& parameters, Py_ssize_t given) {
  std::string message = parameters.function;
  message += "() takes ";
  if (parameters.required < parameters.positional) {
    message += "from " + std::to_string(parameters.required) + " to " +
               std::to_string(parameters.positional) + " positional arguments";
  } else {
    message += plural(parameters.positional, "positional argument");
  }
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  raise(PyExc_TypeError, message);
}

template <std::size_t N>
void bind_keyword(const Parameters<N>& parameters, Bound<N>& bound, PyObject* key,
                  PyObject* value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, parameters.names[i]) != 0) continue;
    if (bound[i] != nullptr) {
      std::string message = parameters.function;
      message += "() got multiple values for argument '";
      message += parameters.names[i];
      message += "'";
      raise(PyExc_TypeError, message);
    }
    bound[i] = value;
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", parameters.function,
               key);
  throw PythonError{};
}

template <std::size_t N>
void check_required(const Parameters<N>& parameters, const Bound<N>& bound) {
  std::array<const char*, N> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < parameters.required; ++i)
    if (bound[i] == nullptr) missing[count++] = parameters.names[i];
  if (count == 0) return;
  std::string message = parameters.function;
  message += "() missing " + plural(count, "required positional argument") + ": ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) message += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    message += "'";
    message += missing[i];
    message += "'";
  }
  raise(PyExc_TypeError, message);
}

}  // namespace detail

// Vectorcall convention: `args[0..nargs)` positional, then one value per name of `kwnames`.
template <std::size_t N>
Bound<N> bind_fastcall(const Parameters<N>& parameters, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  Bound<N> bound{};
  if (static_cast<std::size_t>(nargs) > parameters.positional)
    detail::raise_too_many_positional(parameters, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i)
      detail::bind_keyword(parameters, bound, PyTuple_GetItem(kwnames, i), args[nargs + i]);
  }
  detail::check_required(parameters, bound);
  return bound;
}

// Classic convention: a tuple of positional arguments and a dict of keywords (or NULL).
template <std::size_t N>
Bound<N> bind_tuple_dict(const Parameters<N>& parameters, PyObject* args, PyObject* kwargs) {
  Bound<N> bound{};
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (static_cast<std::size_t>(nargs) > parameters.positional)
    detail::raise_too_many_positional(parameters, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    bound[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
      detail::bind_keyword(parameters, bound, key, value);
    }
  }
  detail::check_required(parameters, bound);
  return bound;
}

// The bound value, or NULL when absent or None.
inline PyObject* unless_none(PyObject* value) {
  return value == Py_None ? nullptr : value;
}

}  // namespace kova_py
