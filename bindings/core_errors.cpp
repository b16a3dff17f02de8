#include "core_errors.hpp"

namespace kova_core {

void register_errors(nb::module_& module) {
  static nb::exception<ConfigMistake> config_error(module, "ConfigError", PyExc_ValueError);
  config_error.attr("__doc__") =
      "A mistake in a retargeting configuration. The message names the key, what was found, "
      "what is expected and, for names, the closest match and the valid choices.";
  nb::register_exception_translator([](const std::exception_ptr& fault, void*) {
    try {
      std::rethrow_exception(fault);
    } catch (const kova::InternalFault& error) {
      PyErr_SetString(PyExc_RuntimeError, error.what());
    }
  });
}

}  // namespace kova_core
