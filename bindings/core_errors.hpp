// How failures of the core reach Python through kova_rs._core: a configuration mistake is a
// ConfigError (a ValueError), any other refused input a ValueError, and a violated precondition
// inside the core a RuntimeError carrying its message (a bug in our layer, never the user's).
#pragma once

#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

#include "kova/result.hpp"

namespace kova_core {

namespace nb = nanobind;

// Thrown by the binding for a mistake in a configuration; Python sees kova_rs.ConfigError.
class ConfigMistake : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Adds ConfigError to the module and the translators for the core's exceptions.
void register_errors(nb::module_& module);

// A returned message becomes a ValueError (or a ConfigError) with that text.
template <class T>
T value_or_raise(kova::Result<T> result) {
  if (!result) throw nb::value_error(result.error().c_str());
  return std::move(*result);
}
inline void raise_on_error(const kova::Status& status) {
  if (!status) throw nb::value_error(status.error().c_str());
}
template <class T>
T config_or_raise(kova::Result<T> result) {
  if (!result) throw ConfigMistake(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace kova_core
