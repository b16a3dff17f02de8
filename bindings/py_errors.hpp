// Taking a pending Python exception out of the interpreter and putting it back, on every supported
// CPython version, plus the chaining used to prefix argument conversion errors.
#pragma once

#include <string>
#include <string_view>

#include "py_object.hpp"
#include "py_type_access.hpp"

namespace kova_py {

// Removes the pending exception and returns it as a normalised exception instance.
inline PyRef take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal_or_null(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal_or_null(value);
#endif
}

// Makes `error` (an exception instance) the pending exception again.
inline void restore_error(PyRef error) {
  if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// str(error), or a placeholder when even that fails.
inline std::string error_text(PyObject* error) {
  PyObject* text = PyObject_Str(error);
  if (text == nullptr) {
    PyErr_Clear();
    return "<unprintable error>";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  std::string result = data != nullptr ? std::string(data, static_cast<std::size_t>(size))
                                       : std::string("<unprintable error>");
  if (data == nullptr) PyErr_Clear();
  Py_DECREF(text);
  return result;
}

// Short name of an object's type, as CPython prints it in its own messages.
inline std::string type_name(PyObject* object) {
  return type_name_of(Py_TYPE(object));
}

// Replaces a pending TypeError by TypeError("<prefix><its text>") caused by it; any other pending
// error is left as it is. Always unwinds.
[[noreturn]] inline void rethrow_prefixed(std::string_view prefix) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
  PyRef cause = take_error();
  std::string message(prefix);
  message += error_text(cause.get());
  PyRef wrapped =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, new_str(message).get(), nullptr));
  // The cause is also the context, as `raise wrapped from cause` inside `except` would leave it.
  PyException_SetContext(wrapped.get(), Py_NewRef(cause.get()));
  PyException_SetCause(wrapped.get(), cause.release());
  restore_error(std::move(wrapped));
  throw PythonError{};
}

}  // namespace kova_py
