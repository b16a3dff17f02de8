// The parts of kova_rs._core, each binding one concern of the core.
#pragma once

#include <nanobind/nanobind.h>

namespace kova_core {

void bind_solve_report(nanobind::module_& module);
void bind_retargeter(nanobind::module_& module);
void bind_model(nanobind::module_& module);
void bind_hand(nanobind::module_& module);
void bind_layouts(nanobind::module_& module);
void bind_config(nanobind::module_& module);
void bind_edit(nanobind::module_& module);
void bind_live(nanobind::module_& module);

}  // namespace kova_core
