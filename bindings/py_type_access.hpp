// What the module needs of type objects, in one place for both builds: the full C API (CPython
// 3.11) reads the fields of PyTypeObject; the stable ABI build (Py_LIMITED_API, one binary for
// CPython 3.12 and later) has no access to them and goes through functions with the same result.
#pragma once

#include <atomic>
#include <cstring>
#include <string>

#include "py_object.hpp"

namespace kova_py {

#ifdef Py_LIMITED_API

namespace detail {

// The stable ABI hides PyTypeObject, but every CPython build that can load a stable ABI module
// (the free-threaded ones cannot) starts it with the variable-size object header followed by
// tp_name. `check_type_name_layout` confirms that at import, on types whose names are known, and
// the name is rebuilt from __module__ and __name__ where it does not hold.
inline std::atomic<bool>& type_name_layout_holds() {
  static std::atomic<bool> holds{false};
  return holds;
}

inline const char* type_name_field(PyTypeObject* type) {
  const char* name = nullptr;
  std::memcpy(&name, reinterpret_cast<const char*>(type) + sizeof(PyVarObject), sizeof(name));
  return name;
}

// tp_name rebuilt the way CPython derives __module__ and __name__ from it: a class statement's
// type is named by __name__ alone; other types by "module.name", builtins without the module.
// Used only where the layout check failed.
inline std::string rebuilt_type_name(PyTypeObject* type) {
  PyObject* object = reinterpret_cast<PyObject*>(type);
  PyRef name = PyRef::steal_or_null(PyType_GetName(type));
  PyRef module = PyRef::steal_or_null(PyObject_GetAttrString(object, "__module__"));
  PyErr_Clear();
  const unsigned long flags = PyType_GetFlags(type);
  const bool class_statement =
      (flags & Py_TPFLAGS_HEAPTYPE) != 0 && (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0;
  PyRef full = name;
  if (name && !class_statement && module && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0)
    full = PyRef::steal_or_null(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
  Py_ssize_t size = 0;
  const char* data = full ? PyUnicode_AsUTF8AndSize(full.get(), &size) : nullptr;
  PyErr_Clear();
  return data != nullptr ? std::string(data, static_cast<std::size_t>(size)) : std::string("?");
}

}  // namespace detail

// Called once per module execution with one of the module's own types and its full name.
inline void check_type_name_layout(PyTypeObject* own_type, const char* own_name) {
  const char* float_name = detail::type_name_field(&PyFloat_Type);
  const char* own = detail::type_name_field(own_type);
  const bool holds = float_name != nullptr && std::strcmp(float_name, "float") == 0 &&
                     own != nullptr && std::strcmp(own, own_name) == 0;
  detail::type_name_layout_holds().store(holds, std::memory_order_relaxed);
}

inline std::string type_name_of(PyTypeObject* type) {
  if (detail::type_name_layout_holds().load(std::memory_order_relaxed))
    return detail::type_name_field(type);
  return detail::rebuilt_type_name(type);
}

// A new reference to the type's own attribute dictionary (not the read-only proxy that
// `__dict__` gives): object attributes of a type live in the dictionary its metatype points to.
inline PyRef type_dict(PyTypeObject* type) {
  return PyRef::steal(PyObject_GenericGetDict(reinterpret_cast<PyObject*>(type), nullptr));
}

inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

inline void free_instance(PyTypeObject* type, PyObject* self) {
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
}

// The module that created `type` when that module is an instance of `def`; NULL with TypeError
// otherwise. The module's classes cannot be subclassed, so the exact type is the defining one.
inline PyObject* module_of_type(PyTypeObject* type, PyModuleDef* def) {
  PyObject* module = PyType_GetModule(type);
  if (module == nullptr) return nullptr;
  if (PyModule_GetDef(module) != def) {
    PyErr_Format(PyExc_TypeError,
                 "PyType_GetModuleByDef: No superclass of '%s' has the given module",
                 type_name_of(type).c_str());
    return nullptr;
  }
  return module;
}

// staticmethod(function); the stable ABI has no PyStaticMethod_New.
inline PyRef new_staticmethod(PyObject* function) {
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  PyRef staticmethod = PyRef::steal(PyObject_GetAttrString(builtins.get(), "staticmethod"));
  return PyRef::steal(PyObject_CallFunctionObjArgs(staticmethod.get(), function, nullptr));
}

#else

inline void check_type_name_layout(PyTypeObject*, const char*) {}

inline std::string type_name_of(PyTypeObject* type) {
  return type->tp_name;
}

inline PyRef type_dict(PyTypeObject* type) {
  return PyRef::borrow(type->tp_dict);
}

inline PyObject* alloc_instance(PyTypeObject* type) {
  return type->tp_alloc(type, 0);
}

inline void free_instance(PyTypeObject* type, PyObject* self) {
  type->tp_free(self);
}

inline PyObject* module_of_type(PyTypeObject* type, PyModuleDef* def) {
  return PyType_GetModuleByDef(type, def);
}

inline PyRef new_staticmethod(PyObject* function) {
  return PyRef::steal(PyStaticMethod_New(function));
}

#endif

}  // namespace kova_py
