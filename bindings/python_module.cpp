// The extension module kova_rs._native, written on the CPython C API directly: the classes
// RetargetingConfig and SeqRetargeting, the function load_from_file and the internal-fault
// exception. No C++ exception ever returns into the interpreter: every entry point catches.
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "decimal_text.hpp"
#include "kova/constants.hpp"
#include "kova/result.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/seq_retarget.hpp"
#include "py_args.hpp"
#include "py_convert.hpp"
#include "py_errors.hpp"
#include "py_object.hpp"
#include "py_type_access.hpp"

namespace kova_py {
namespace {

// ---------------------------------------------------------------------------------------------
// Module state: the classes and the internal-fault exception of one module instance.

struct ModuleState {
  PyObject* config_type;
  PyObject* seq_type;
  PyObject* internal_fault;
};

extern PyModuleDef native_module;

ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defines `type` (one of ours); NULL with an error otherwise.
ModuleState* state_of_type(PyTypeObject* type) {
  PyObject* module = module_of_type(type, &native_module);
  return module != nullptr ? state_of_module(module) : nullptr;
}

// Raises the internal-fault exception with `message` as its only argument.
[[noreturn]] void raise_internal_fault(const ModuleState* state, std::string_view message) {
  raise(state != nullptr ? state->internal_fault : PyExc_SystemError, message);
}

// Runs the body of an entry point; translates every C++ exception into a Python error and
// returns `failure` then.
template <class T, class Body>
T guarded(const ModuleState* state, T failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    try {
      raise_internal_fault(state, fault.what());
    } catch (const PythonError&) {
    }
  } catch (...) {
    PyErr_SetString(state != nullptr ? state->internal_fault : PyExc_SystemError,
                    "unknown internal fault");
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  return failure;
}

// ---------------------------------------------------------------------------------------------
// Results to Python objects.

PyRef to_py(double value) {
  return PyRef::steal(PyFloat_FromDouble(value));
}
PyRef to_py(bool value) {
  return PyRef::borrow(value ? Py_True : Py_False);
}
PyRef to_py(const std::string& text) {
  return new_str(text);
}
PyRef to_py(std::uint64_t value) {
  return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

template <class T>
PyRef to_py_list(const std::vector<T>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i)
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py(values[i]).release()));
  return list;
}

template <class T>
PyRef to_py_optional(const std::optional<T>& value) {
  if (!value) return PyRef::borrow(Py_None);
  if constexpr (requires { value->begin(); } && !std::is_same_v<T, std::string>)
    return to_py_list(*value);
  else
    return to_py(*value);
}

PyRef to_py_positions(const std::vector<kova::LinkPosition>& positions) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const auto& p = positions[i];
    PyRef x = to_py(p[0]);
    PyRef y = to_py(p[1]);
    PyRef z = to_py(p[2]);
    PyObject* triple = PyTuple_Pack(3, x.get(), y.get(), z.get());
    if (triple == nullptr) throw PythonError{};
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), triple));
  }
  return list;
}

// A path displayed as text, invalid UTF-8 replaced.
PyRef path_to_py(const std::filesystem::path& path) {
  return new_str(path.native());
}

// ---------------------------------------------------------------------------------------------
// SeqRetargeting: one core sequencer behind a mutex with a poisoned flag.

struct PySeqRetargeting {
  PyObject ob_base;
  std::mutex mutex;
  bool poisoned;
  std::optional<kova::SeqRetargeting> core;
};

PySeqRetargeting* as_seq(PyObject* self) {
  return reinterpret_cast<PySeqRetargeting*>(self);
}

// Takes the lock for the whole core call. A poisoned object refuses; a fault inside the call
// poisons the object and raises the internal-fault exception.
template <class Call>
auto with_core(PyObject* self, const ModuleState* state, Call&& call)
    -> decltype(call(std::declval<kova::SeqRetargeting&>())) {
  PySeqRetargeting* object = as_seq(self);
  std::unique_lock lock(object->mutex);
  if (object->poisoned) {
    lock.unlock();
    raise(PyExc_RuntimeError, "SeqRetargeting lock poisoned");
  }
  try {
    return call(*object->core);
  } catch (const std::bad_alloc&) {
    object->poisoned = true;
    throw;
  } catch (const std::exception& fault) {
    object->poisoned = true;
    lock.unlock();
    raise_internal_fault(state, fault.what());
  } catch (...) {
    object->poisoned = true;
    throw;
  }
}

template <std::size_t N, class Body>
PyObject* seq_method(PyObject* self, const Parameters<N>& parameters, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  const ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  return guarded<PyObject*>(state, nullptr, [&] {
    const Bound<N> bound = bind_fastcall(parameters, args, nargs, kwnames);
    return body(bound, state).release();
  });
}

template <class Body>
PyObject* seq_getter(PyObject* self, Body&& body) {
  const ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  return guarded<PyObject*>(state, nullptr, [&] { return body(state).release(); });
}

std::vector<double> double_vec_argument(const char* name, PyObject* value) {
  return convert_argument(name, value, to_double_vec);
}

std::optional<std::vector<double>> optional_double_vec_argument(const char* name, PyObject* value) {
  if (unless_none(value) == nullptr) return std::nullopt;
  return double_vec_argument(name, value);
}

const Parameters<2> kRetargetParameters{"retarget", {"ref_value", "fixed_qpos"}, 2, 1};
const Parameters<0> kResetParameters{"reset", {}, 0, 0};
const Parameters<1> kSetQposParameters{"set_qpos", {"robot_qpos"}, 1, 1};
const Parameters<1> kGetQposParameters{"get_qpos", {"fixed_qpos"}, 1, 0};
const Parameters<2> kLinkPositionsParameters{"link_positions", {"robot_qpos", "link_names"}, 2, 2};

PyObject* seq_retarget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return seq_method(
      self, kRetargetParameters, args, nargs, kwnames,
      [&](const Bound<2>& bound, const ModuleState* state) {
        const std::vector<double> ref_value = double_vec_argument("ref_value", bound[0]);
        const std::vector<double> fixed_qpos =
            optional_double_vec_argument("fixed_qpos", bound[1]).value_or(std::vector<double>{});
        const std::vector<double> qpos = with_core(self, state, [&](kova::SeqRetargeting& core) {
          return core.retarget(ref_value, fixed_qpos);
        });
        return to_py_list(qpos);
      });
}

PyObject* seq_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return seq_method(self, kResetParameters, args, nargs, kwnames,
                    [&](const Bound<0>&, const ModuleState* state) {
                      with_core(self, state, [](kova::SeqRetargeting& core) { core.reset(); });
                      return PyRef::borrow(Py_None);
                    });
}

PyObject* seq_set_qpos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return seq_method(
      self, kSetQposParameters, args, nargs, kwnames,
      [&](const Bound<1>& bound, const ModuleState* state) {
        const std::vector<double> robot_qpos = double_vec_argument("robot_qpos", bound[0]);
        with_core(self, state, [&](kova::SeqRetargeting& core) { core.set_qpos(robot_qpos); });
        return PyRef::borrow(Py_None);
      });
}

PyObject* seq_get_qpos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return seq_method(self, kGetQposParameters, args, nargs, kwnames,
                    [&](const Bound<1>& bound, const ModuleState* state) {
                      const std::optional<std::vector<double>> fixed_qpos =
                          optional_double_vec_argument("fixed_qpos", bound[0]);
                      const std::vector<double> qpos =
                          with_core(self, state, [&](kova::SeqRetargeting& core) {
                            if (!fixed_qpos) return core.get_qpos(std::nullopt);
                            return core.get_qpos(std::span<const double>(*fixed_qpos));
                          });
                      return to_py_list(qpos);
                    });
}

PyObject* seq_link_positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return seq_method(self, kLinkPositionsParameters, args, nargs, kwnames,
                    [&](const Bound<2>& bound, const ModuleState* state) {
                      const std::vector<double> robot_qpos =
                          double_vec_argument("robot_qpos", bound[0]);
                      const std::vector<std::string> link_names =
                          convert_argument("link_names", bound[1], to_string_vec);
                      kova::Result<std::vector<kova::LinkPosition>> positions =
                          with_core(self, state, [&](kova::SeqRetargeting& core) {
                            return core.optimizer().link_positions(robot_qpos, link_names);
                          });
                      if (!positions) raise(PyExc_ValueError, positions.error());
                      return to_py_positions(*positions);
                    });
}

PyObject* seq_get_joint_names(PyObject* self, void*) {
  return seq_getter(self, [&](const ModuleState* state) {
    return to_py_list(with_core(self, state, [](kova::SeqRetargeting& core) {
      return core.optimizer().dof_joint_names();
    }));
  });
}

PyObject* seq_get_link_names(PyObject* self, void*) {
  return seq_getter(self, [&](const ModuleState* state) {
    return to_py_list(with_core(
        self, state, [](kova::SeqRetargeting& core) { return core.optimizer().link_names(); }));
  });
}

PyObject* seq_get_fixed_dof(PyObject* self, void*) {
  return seq_getter(self, [&](const ModuleState* state) {
    return PyRef::steal(PyLong_FromSize_t(with_core(self, state, [](kova::SeqRetargeting& core) {
      return core.optimizer().idx_pin2fixed().size();
    })));
  });
}

PyObject* seq_get_target_dof(PyObject* self, void*) {
  return seq_getter(self, [&](const ModuleState* state) {
    return PyRef::steal(PyLong_FromSize_t(with_core(self, state, [](kova::SeqRetargeting& core) {
      return core.optimizer().idx_pin2target().size();
    })));
  });
}

void seq_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PySeqRetargeting* object = as_seq(self);
  object->core.~optional();
  object->mutex.~mutex();
  free_instance(type, self);
  Py_DECREF(type);
}

// Wraps a freshly built core sequencer in a new Python object.
PyRef new_seq_object(const ModuleState* state, kova::SeqRetargeting core) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state->seq_type);
  PyRef object = PyRef::steal(alloc_instance(type));
  PySeqRetargeting* seq = as_seq(object.get());
  new (&seq->mutex) std::mutex();
  seq->poisoned = false;
  new (&seq->core) std::optional<kova::SeqRetargeting>(std::move(core));
  return object;
}

PyMethodDef seq_methods[] = {
    {"retarget", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seq_retarget)),
     METH_FASTCALL | METH_KEYWORDS, "retarget($self, ref_value, fixed_qpos=None)\n--\n\n"},
    {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seq_reset)),
     METH_FASTCALL | METH_KEYWORDS, "reset($self)\n--\n\n"},
    {"set_qpos", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seq_set_qpos)),
     METH_FASTCALL | METH_KEYWORDS, "set_qpos($self, robot_qpos)\n--\n\n"},
    {"get_qpos", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seq_get_qpos)),
     METH_FASTCALL | METH_KEYWORDS, "get_qpos($self, fixed_qpos=None)\n--\n\n"},
    {"link_positions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seq_link_positions)),
     METH_FASTCALL | METH_KEYWORDS, "link_positions($self, robot_qpos, link_names)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef seq_getset[] = {
    {"joint_names", seq_get_joint_names, nullptr, nullptr, nullptr},
    {"link_names", seq_get_link_names, nullptr, nullptr, nullptr},
    {"fixed_dof", seq_get_fixed_dof, nullptr, nullptr, nullptr},
    {"target_dof", seq_get_target_dof, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot seq_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(seq_dealloc)},
    {Py_tp_methods, seq_methods},
    {Py_tp_getset, seq_getset},
    {0, nullptr},
};

PyType_Spec seq_spec = {
    "kova_rs._native.SeqRetargeting",
    sizeof(PySeqRetargeting),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    seq_slots,
};

// ---------------------------------------------------------------------------------------------
// RetargetingConfig: one validated core configuration, never changed.

struct PyRetargetingConfig {
  PyObject ob_base;
  kova::RetargetingConfig config;
};

const kova::RetargetingConfig& config_of(PyObject* self) {
  return reinterpret_cast<PyRetargetingConfig*>(self)->config;
}

// Wraps a validated configuration in a new Python object of `type`.
PyRef new_config_object(PyTypeObject* type, kova::RetargetingConfig config) {
  PyRef object = PyRef::steal(alloc_instance(type));
  new (&reinterpret_cast<PyRetargetingConfig*>(object.get())->config)
      kova::RetargetingConfig(std::move(config));
  return object;
}

// "resources/assets/robots/hands" beside this module's file when that directory exists, else
// "."; whatever fails on the way is discarded, leaving no exception pending.
std::filesystem::path default_urdf_dir() {
  const std::filesystem::path fallback(".");
  PyRef module = PyRef::steal_or_null(PyImport_ImportModule("kova_rs._native"));
  PyRef file =
      module ? PyRef::steal_or_null(PyObject_GetAttrString(module.get(), "__file__")) : PyRef();
  PyRef encoded = file && PyUnicode_Check(file.get())
                      ? PyRef::steal_or_null(PyUnicode_EncodeFSDefault(file.get()))
                      : PyRef();
  if (!encoded) {
    PyErr_Clear();
    return fallback;
  }
  const std::filesystem::path module_file(bytes_text(encoded.get()));
  // Only an empty path or a bare root has no parent; a plain file name has the empty one.
  if (!module_file.has_relative_path()) return fallback;
  std::filesystem::path directory = module_file.parent_path() / "resources/assets/robots/hands";
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return fallback;
  return directory;
}

const Parameters<19> kConfigParameters{
    "RetargetingConfig",
    {"type", "urdf_path", "add_dummy_free_joint", "target_link_human_indices", "wrist_link_name",
     "target_link_names", "target_joint_names", "target_origin_link_names",
     "target_task_link_names", "finger_tip_link_names", "scaling_factor", "normal_delta",
     "huber_delta", "project_dist", "escape_dist", "has_joint_limits", "ignore_mimic_joint",
     "low_pass_alpha", "urdf_dir"},
    2,
    2};

// Converted constructor arguments, before the type text is parsed.
struct ConfigArguments {
  std::string type;
  kova::RetargetingConfig config;
  std::optional<std::filesystem::path> urdf_dir;
};

ConfigArguments convert_config_arguments(const Bound<19>& bound) {
  ConfigArguments out;
  kova::RetargetingConfig& c = out.config;
  std::size_t i = 0;
  auto next = [&] {
    const std::pair<const char*, PyObject*> parameter{kConfigParameters.names[i], bound[i]};
    ++i;
    return parameter;
  };
  auto text = [&] {
    auto [name, value] = next();
    return convert_argument(name, value, to_string);
  };
  auto flag = [&](bool fallback) {
    auto [name, value] = next();
    return value == nullptr ? fallback : convert_argument(name, value, to_strict_bool);
  };
  auto number = [&](double fallback) {
    auto [name, value] = next();
    return value == nullptr ? fallback : convert_argument(name, value, to_double);
  };
  auto names = [&]() -> std::optional<std::vector<std::string>> {
    auto [name, value] = next();
    if (unless_none(value) == nullptr) return std::nullopt;
    return convert_argument(name, value, to_string_vec);
  };

  out.type = text();
  c.urdf_path = text();
  c.add_dummy_free_joint = flag(false);
  if (auto [name, value] = next(); unless_none(value) != nullptr)
    c.target_link_human_indices = convert_argument(name, value, to_indices_input);
  if (auto [name, value] = next(); unless_none(value) != nullptr)
    c.wrist_link_name = convert_argument(name, value, to_string);
  c.target_link_names = names();
  c.target_joint_names = names();
  c.target_origin_link_names = names();
  c.target_task_link_names = names();
  c.finger_tip_link_names = names();
  c.scaling_factor = number(1.0);
  c.normal_delta = number(4e-3);
  c.huber_delta = number(2e-2);
  c.project_dist = number(0.03);
  c.escape_dist = number(0.05);
  c.has_joint_limits = flag(true);
  c.ignore_mimic_joint = flag(false);
  c.low_pass_alpha = number(0.1);
  if (auto [name, value] = next(); unless_none(value) != nullptr)
    out.urdf_dir = convert_argument(name, value, to_path);
  return out;
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const ModuleState* state = state_of_type(type);
  if (state == nullptr) return nullptr;
  return guarded<PyObject*>(state, nullptr, [&] {
    ConfigArguments arguments =
        convert_config_arguments(bind_tuple_dict(kConfigParameters, args, kwargs));
    kova::Result<kova::RetargetingType> kind = kova::retargeting_type_from_str(arguments.type);
    if (!kind) raise(PyExc_ValueError, kind.error());
    kova::RetargetingConfig& config = arguments.config;
    config.type = *kind;
    config.urdf_dir = arguments.urdf_dir ? std::move(*arguments.urdf_dir) : default_urdf_dir();
    if (kova::Status valid = config.validate(); !valid) raise(PyExc_ValueError, valid.error());
    return new_config_object(type, std::move(config)).release();
  });
}

void config_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyRetargetingConfig*>(self)->config.~RetargetingConfig();
  free_instance(type, self);
  Py_DECREF(type);
}

const Parameters<1> kFromFileParameters{"from_file", {"path"}, 1, 1};
const Parameters<1> kLoadFromFileParameters{"load_from_file", {"path"}, 1, 1};

PyRef load_config(const ModuleState* state, const Parameters<1>& parameters, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
  const Bound<1> bound = bind_fastcall(parameters, args, nargs, kwnames);
  const std::filesystem::path path = convert_argument("path", bound[0], to_str_path);
  kova::Result<kova::RetargetingConfig> config = kova::RetargetingConfig::load_from_file(path);
  if (!config) raise(PyExc_ValueError, config.error());
  return new_config_object(reinterpret_cast<PyTypeObject*>(state->config_type), std::move(*config));
}

// Static method; its function is bound to the class, which arrives as the first argument.
PyObject* config_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (cls == nullptr || !PyType_Check(cls)) {
    PyErr_SetString(PyExc_SystemError, "from_file called without its class");
    return nullptr;
  }
  const ModuleState* state = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
  if (state == nullptr) return nullptr;
  return guarded<PyObject*>(state, nullptr, [&] {
    return load_config(state, kFromFileParameters, args, nargs, kwnames).release();
  });
}

PyObject* module_load_from_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  const ModuleState* state = state_of_module(module);
  return guarded<PyObject*>(state, nullptr, [&] {
    return load_config(state, kLoadFromFileParameters, args, nargs, kwnames).release();
  });
}

const Parameters<0> kBuildParameters{"build", {}, 0, 0};

PyObject* config_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  return guarded<PyObject*>(state, nullptr, [&] {
    bind_fastcall(kBuildParameters, args, nargs, kwnames);
    kova::RetargetingConfig copy = config_of(self);
    kova::Result<kova::SeqRetargeting> built = [&] {
      try {
        return std::move(copy).build();
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception& fault) {
        raise_internal_fault(state, fault.what());
      }
    }();
    if (!built) raise(PyExc_RuntimeError, built.error());
    return new_seq_object(state, std::move(*built)).release();
  });
}

PyObject* config_repr(PyObject* self) {
  const ModuleState* state = state_of_type(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  return guarded<PyObject*>(state, nullptr, [&] {
    const kova::RetargetingConfig& config = config_of(self);
    std::string text = "RetargetingConfig(type='";
    text += kova::to_string(config.type);
    text += "', urdf_path='";
    text += config.urdf_path;
    text += "', scaling_factor=";
    text += shortest_decimal(config.scaling_factor);
    text += ")";
    return new_str(text).release();
  });
}

// Getters: each builds a fresh object from the held configuration.
template <auto Read>
PyObject* config_getter(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, nullptr, [&] { return Read(config_of(self)).release(); });
}

PyRef get_type(const kova::RetargetingConfig& c) {
  return new_str(kova::to_string(c.type));
}
PyRef get_urdf_path(const kova::RetargetingConfig& c) {
  return to_py(c.urdf_path);
}
PyRef get_add_dummy_free_joint(const kova::RetargetingConfig& c) {
  return to_py(c.add_dummy_free_joint);
}
PyRef get_target_link_human_indices(const kova::RetargetingConfig& c) {
  return to_py_optional(c.target_link_human_indices);
}
PyRef get_wrist_link_name(const kova::RetargetingConfig& c) {
  return to_py_optional(c.wrist_link_name);
}
PyRef get_target_link_names(const kova::RetargetingConfig& c) {
  return to_py_optional(c.target_link_names);
}
PyRef get_target_joint_names(const kova::RetargetingConfig& c) {
  return to_py_optional(c.target_joint_names);
}
PyRef get_target_origin_link_names(const kova::RetargetingConfig& c) {
  return to_py_optional(c.target_origin_link_names);
}
PyRef get_target_task_link_names(const kova::RetargetingConfig& c) {
  return to_py_optional(c.target_task_link_names);
}
PyRef get_finger_tip_link_names(const kova::RetargetingConfig& c) {
  return to_py_optional(c.finger_tip_link_names);
}
PyRef get_scaling_factor(const kova::RetargetingConfig& c) {
  return to_py(c.scaling_factor);
}
PyRef get_normal_delta(const kova::RetargetingConfig& c) {
  return to_py(c.normal_delta);
}
PyRef get_huber_delta(const kova::RetargetingConfig& c) {
  return to_py(c.huber_delta);
}
PyRef get_project_dist(const kova::RetargetingConfig& c) {
  return to_py(c.project_dist);
}
PyRef get_escape_dist(const kova::RetargetingConfig& c) {
  return to_py(c.escape_dist);
}
PyRef get_has_joint_limits(const kova::RetargetingConfig& c) {
  return to_py(c.has_joint_limits);
}
PyRef get_ignore_mimic_joint(const kova::RetargetingConfig& c) {
  return to_py(c.ignore_mimic_joint);
}
PyRef get_low_pass_alpha(const kova::RetargetingConfig& c) {
  return to_py(c.low_pass_alpha);
}
PyRef get_urdf_dir(const kova::RetargetingConfig& c) {
  return path_to_py(c.urdf_dir);
}

PyGetSetDef config_getset[] = {
    {"type_", config_getter<get_type>, nullptr, nullptr, nullptr},
    {"urdf_path", config_getter<get_urdf_path>, nullptr, nullptr, nullptr},
    {"add_dummy_free_joint", config_getter<get_add_dummy_free_joint>, nullptr, nullptr, nullptr},
    {"target_link_human_indices", config_getter<get_target_link_human_indices>, nullptr, nullptr,
     nullptr},
    {"wrist_link_name", config_getter<get_wrist_link_name>, nullptr, nullptr, nullptr},
    {"target_link_names", config_getter<get_target_link_names>, nullptr, nullptr, nullptr},
    {"target_joint_names", config_getter<get_target_joint_names>, nullptr, nullptr, nullptr},
    {"target_origin_link_names", config_getter<get_target_origin_link_names>, nullptr, nullptr,
     nullptr},
    {"target_task_link_names", config_getter<get_target_task_link_names>, nullptr, nullptr,
     nullptr},
    {"finger_tip_link_names", config_getter<get_finger_tip_link_names>, nullptr, nullptr, nullptr},
    {"scaling_factor", config_getter<get_scaling_factor>, nullptr, nullptr, nullptr},
    {"normal_delta", config_getter<get_normal_delta>, nullptr, nullptr, nullptr},
    {"huber_delta", config_getter<get_huber_delta>, nullptr, nullptr, nullptr},
    {"project_dist", config_getter<get_project_dist>, nullptr, nullptr, nullptr},
    {"escape_dist", config_getter<get_escape_dist>, nullptr, nullptr, nullptr},
    {"has_joint_limits", config_getter<get_has_joint_limits>, nullptr, nullptr, nullptr},
    {"ignore_mimic_joint", config_getter<get_ignore_mimic_joint>, nullptr, nullptr, nullptr},
    {"low_pass_alpha", config_getter<get_low_pass_alpha>, nullptr, nullptr, nullptr},
    {"urdf_dir", config_getter<get_urdf_dir>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Installed as a static method bound to its class at module execution (see add_from_file):
// CPython hands METH_STATIC functions no first argument, and the class leads to the module.
PyMethodDef from_file_def = {
    "from_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(config_from_file)),
    METH_FASTCALL | METH_KEYWORDS,
    "from_file(path)\n--\n\n",
};

PyMethodDef config_methods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(config_build)),
     METH_FASTCALL | METH_KEYWORDS, "build($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#define KOVA_CONFIG_SIGNATURE                                                              \
  "RetargetingConfig(type, urdf_path, *, add_dummy_free_joint=False, "                     \
  "target_link_human_indices=None, wrist_link_name=None, target_link_names=None, "         \
  "target_joint_names=None, target_origin_link_names=None, target_task_link_names=None, "  \
  "finger_tip_link_names=None, scaling_factor=1.0, normal_delta=4e-3, huber_delta=2e-2, "  \
  "project_dist=0.03, escape_dist=0.05, has_joint_limits=True, ignore_mimic_joint=False, " \
  "low_pass_alpha=0.1, urdf_dir=None)"

// CPython takes a class's text signature from the part of its internal document up to
// "\n--\n\n" and shows the rest as __doc__; repeating the signature after the marker makes
// __doc__ exactly the signature text while inspect.signature still works.
const char kConfigDoc[] = KOVA_CONFIG_SIGNATURE "\n--\n\n" KOVA_CONFIG_SIGNATURE;

PyType_Slot config_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(config_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_methods, config_methods},
    {Py_tp_getset, config_getset},
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {0, nullptr},
};

PyType_Spec config_spec = {
    "kova_rs._native.RetargetingConfig",
    sizeof(PyRetargetingConfig),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    config_slots,
};

// ---------------------------------------------------------------------------------------------
// The module.

PyMethodDef load_from_file_def = {
    "load_from_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_load_from_file)),
    METH_FASTCALL | METH_KEYWORDS,
    "load_from_file(path)\n--\n\n",
};

// RetargetingConfig.from_file: a staticmethod wrapping a function bound to the class.
void add_from_file(PyObject* module, PyObject* config_type) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  PyRef function = PyRef::steal(PyCMethod_New(&from_file_def, config_type, name.get(), nullptr));
  PyRef method = new_staticmethod(function.get());
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(config_type);
  check(PyDict_SetItemString(type_dict(type).get(), "from_file", method.get()));
  PyType_Modified(type);
}

// Puts the named class members last in the class dictionary, in the given order, so that the
// dictionary lists methods and properties in their documented order of definition (CPython
// inserts all methods before all properties).
void order_members(PyObject* type_object, std::initializer_list<const char*> names) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(type_object);
  const PyRef dict = type_dict(type);
  for (const char* name : names) {
    PyObject* member = PyDict_GetItemString(dict.get(), name);
    if (member == nullptr) continue;
    PyRef held = PyRef::borrow(member);
    check(PyDict_DelItemString(dict.get(), name));
    check(PyDict_SetItemString(dict.get(), name, held.get()));
  }
  PyType_Modified(type);
}

void add_member(PyObject* module, const char* name, PyRef value) {
  check(PyModule_AddObjectRef(module, name, value.get()));
}

int native_exec(PyObject* module) {
  ModuleState* state = state_of_module(module);
  return guarded<int>(state, -1, [&] {
    add_member(module, "__doc__", new_str("Native bindings for kova-rs hand retargeting"));
    add_member(module, "__version__", new_str(KOVA_VERSION));
    PyRef config_type = PyRef::steal(PyType_FromModuleAndSpec(module, &config_spec, nullptr));
    state->config_type = Py_NewRef(config_type.get());
    check_type_name_layout(reinterpret_cast<PyTypeObject*>(config_type.get()), config_spec.name);
    add_from_file(module, config_type.get());
    order_members(config_type.get(), {"from_file",
                                      "build",
                                      "__repr__",
                                      "type_",
                                      "urdf_path",
                                      "add_dummy_free_joint",
                                      "target_link_human_indices",
                                      "wrist_link_name",
                                      "target_link_names",
                                      "target_joint_names",
                                      "target_origin_link_names",
                                      "target_task_link_names",
                                      "finger_tip_link_names",
                                      "scaling_factor",
                                      "normal_delta",
                                      "huber_delta",
                                      "project_dist",
                                      "escape_dist",
                                      "has_joint_limits",
                                      "ignore_mimic_joint",
                                      "low_pass_alpha",
                                      "urdf_dir"});
    add_member(module, "RetargetingConfig", std::move(config_type));
    PyRef seq_type = PyRef::steal(PyType_FromModuleAndSpec(module, &seq_spec, nullptr));
    state->seq_type = Py_NewRef(seq_type.get());
    order_members(seq_type.get(), {"retarget", "reset", "set_qpos", "get_qpos", "joint_names",
                                   "link_names", "link_positions", "fixed_dof", "target_dof"});
    add_member(module, "SeqRetargeting", std::move(seq_type));
    PyRef name = PyRef::steal(PyModule_GetNameObject(module));
    add_member(module, "load_from_file",
               PyRef::steal(PyCMethod_New(&load_from_file_def, module, name.get(), nullptr)));
    // The internal-fault exception: deliberately not an Exception, so that `except Exception`
    // does not swallow a violated precondition.
    PyRef fault = PyRef::steal(PyErr_NewExceptionWithDoc(
        "kova_rs._native.PanicException",
        "An internal fault (a violated precondition) inside kova; its only argument is the "
        "message.",
        PyExc_BaseException, nullptr));
    state->internal_fault = Py_NewRef(fault.get());
    add_member(module, "PanicException", std::move(fault));
    return 0;
  });
}

int native_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->config_type);
  Py_VISIT(state->seq_type);
  Py_VISIT(state->internal_fault);
  return 0;
}

int native_clear(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->config_type);
  Py_CLEAR(state->seq_type);
  Py_CLEAR(state->internal_fault);
  return 0;
}

void native_free(void* module) {
  native_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native Python extension module for kova hand retargeting.",
    sizeof(ModuleState),
    nullptr,
    native_slots,
    native_traverse,
    native_clear,
    native_free,
};

}  // namespace
}  // namespace kova_py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&kova_py::native_module);
}
