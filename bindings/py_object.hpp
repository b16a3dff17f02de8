// A small RAII layer over the CPython C API: an owning reference and an exception that carries a
// pending Python error through C++ code back to the entry point that returns to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace kova_py {

// Thrown only while a Python exception is set; the entry point returns NULL (or -1) unchanged.
struct PythonError {};

// Owns one strong reference (or none).
class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef& other) : ptr_(Py_XNewRef(other.ptr_)) {}
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(ptr_); }

  // Takes over a new reference; a NULL result means a Python error is pending.
  static PyRef steal(PyObject* ptr) {
    if (ptr == nullptr) throw PythonError{};
    return PyRef(ptr);
  }
  // Takes over a new reference that may be NULL without an error (optional lookups).
  static PyRef steal_or_null(PyObject* ptr) { return PyRef(ptr); }
  static PyRef borrow(PyObject* ptr) { return PyRef(Py_XNewRef(ptr)); }

  PyObject* get() const { return ptr_; }
  PyObject* release() { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  explicit PyRef(PyObject* ptr) : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// Raises `type` with `message` as its only argument and unwinds to the entry point.
[[noreturn]] inline void raise(PyObject* type, std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonError{};
}

// Checks the result of a C API call that reports failure with -1.
inline int check(int status) {
  if (status < 0) throw PythonError{};
  return status;
}

// Text of a Python str; UnicodeEncodeError (lone surrogates) is raised as is.
inline std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

// The contents of a bytes object (which may hold NUL bytes).
inline std::string bytes_text(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes, &data, &size));
  return std::string(data, static_cast<std::size_t>(size));
}

inline PyRef new_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace kova_py
