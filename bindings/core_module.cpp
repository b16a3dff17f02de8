// kova_rs._core: the project's own native API over the kova core, NumPy first. Computing calls
// release the interpreter lock; objects that hold per-sequence state serialise their calls with
// their own mutex.
#include <nanobind/nanobind.h>

#include "core_errors.hpp"
#include "core_modules.hpp"

NB_MODULE(_core, module) {
  module.doc() = "kova's native API: robot models, retargeters and reference maps on NumPy arrays.";
  kova_core::register_errors(module);
  kova_core::bind_config(module);
  kova_core::bind_hand(module);
  kova_core::bind_layouts(module);
  kova_core::bind_model(module);
  kova_core::bind_solve_report(module);
  kova_core::bind_retargeter(module);
  kova_core::bind_edit(module);
  kova_core::bind_live(module);
}
