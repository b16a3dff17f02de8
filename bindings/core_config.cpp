// kova_rs._core configuration diagnostics: every problem of a configuration document, each with
// where it is, what was found, what is expected and, for names, the closest valid one.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "core_errors.hpp"
#include "core_modules.hpp"
#include "kova/config_canonical.hpp"
#include "kova/config_check.hpp"
#include "kova/config_issue.hpp"
#include "kova/finger_links.hpp"
#include "kova/hand_landmarks.hpp"
#include "kova/retargeter.hpp"
#include "kova/retargeting_config.hpp"

namespace kova_core {

using namespace nb::literals;

void bind_config(nb::module_& module) {
  nb::class_<kova::ConfigIssue>(module, "ConfigIssue", "One problem found in a configuration.")
      .def_prop_ro(
          "severity",
          [](const kova::ConfigIssue& issue) {
            return std::string(kova::to_string(issue.severity));
          },
          "\"error\" (must be fixed) or \"warning\" (works, probably not as meant).")
      .def_ro("key", &kova::ConfigIssue::key,
              "Where: \"retargeting.scaling_factor\", \"kova.solver\"; empty for the document.")
      .def_ro("message", &kova::ConfigIssue::message, "A whole sentence that says what to do.")
      .def_ro("found", &kova::ConfigIssue::found, "What the configuration holds there.")
      .def_ro("expected", &kova::ConfigIssue::expected, "What would be accepted there.")
      .def_ro("closest", &kova::ConfigIssue::closest,
              "The valid choice closest to what was found, or \"\".")
      .def_ro("choices", &kova::ConfigIssue::choices, "The valid choices, for names.")
      .def_ro("line", &kova::ConfigIssue::line, "1-based line in the document; 0 if not known.")
      .def("__str__", [](const kova::ConfigIssue& issue) {
        kova::ConfigIssue error = issue;
        error.severity = kova::Severity::Error;
        return kova::config_error_text({&error, 1});
      });
  module.def(
      "config_issues",
      [](const std::string& document) { return kova::check_config_document(document); },
      "document"_a,
      "Every problem of a configuration document (its YAML text): syntax, sections, "
      "unknown keys and values of the wrong kind.");
  module.def(
      "check_config_text",
      [](const std::string& document) { config_or_raise(kova::check_config_text(document)); },
      "document"_a,
      "Raises ConfigError naming the first error of config_issues(document) (and how many "
      "more there are).");
  module.def(
      "config_file_issues",
      [](const std::string& document, const std::filesystem::path& path) {
        nb::gil_scoped_release released;  // reads the configuration and robot files
        return kova::check_config_file(document, path);
      },
      "document"_a, "path"_a,
      "Every problem of a configuration file before anything is built: those of "
      "config_issues(document) (document: the file's text), then, for the record the core's "
      "reader reads from path, values out of range, names its robot does not have (with the "
      "closest one), mimic joints whose source is not driven and the fingertip links the kova "
      "section records.");
  module.def(
      "check_config_file",
      [](const std::string& document, const std::filesystem::path& path) {
        std::vector<kova::ConfigIssue> issues;
        {
          nb::gil_scoped_release released;
          issues = kova::check_config_file(document, path);
        }
        if (kova::has_errors(issues)) throw ConfigMistake(kova::config_error_text(issues));
        return issues;  // warnings only
      },
      "document"_a, "path"_a,
      "Raises ConfigError naming the first error of config_file_issues(document, path) (and how "
      "many more there are); returns the warnings when there is no error.");
  module.def(
      "config_solver",
      [](const std::string& document) {
        return std::string(
            kova::to_string(config_or_raise(kova::retargeter_options(document)).solver));
      },
      "document"_a, "The solver a configuration document chooses (kova.solver; \"slsqp\" unset).");
  module.def(
      "config_side",
      [](const std::string& document) -> std::optional<std::string> {
        const auto side = config_or_raise(kova::retargeter_options(document)).side;
        if (!side) return std::nullopt;
        return std::string(kova::to_string(*side));
      },
      "document"_a,
      "The hand a configuration document says the robot is (kova.side: \"right\" or \"left\"), "
      "None when it does not say.");
  module.def(
      "config_fingertips",
      [](const std::string& document) {
        std::map<std::string, std::string> tips;
        for (const auto& [finger, link] :
             config_or_raise(kova::retargeter_options(document)).fingertip_links) {
          tips.emplace(kova::to_string(finger), link);
        }
        return tips;
      },
      "document"_a,
      "finger -> robot link of each fingertip a configuration document records in "
      "kova.fingers.<finger>.tip (kova init writes them); empty when it records none.");
  module.def(
      "config_fingers",
      [](const std::string& document) {
        std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> out;
        for (kova::FingerLinks& f : config_or_raise(kova::config_fingers(document))) {
          out.emplace_back(std::string(kova::to_string(f.finger)), std::move(f.links),
                           std::move(f.tip));
        }
        return out;
      },
      "document"_a,
      "(finger, links, tip) of each finger the kova.fingers section lists, thumb first; empty "
      "without the section. tip is \"\" when the section names none.");
  module.def(
      "canonical_config",
      [](const std::string& document) {
        return config_or_raise(kova::canonical_config_text(document));
      },
      "document"_a,
      "The document's values as compact JSON with sorted keys: comments, layout and quoting "
      "that does not change a value leave it unchanged.");
  module.def(
      "config_urdf_file",
      [](const std::string& path) {
        auto config = kova::RetargetingConfig::load_from_file(path);
        if (!config) throw ConfigMistake(config.error());
        return config_or_raise(kova::config_robot_file(*config)).string();
      },
      "path"_a,
      "The robot file a configuration file's urdf_path resolves to, as the build finds it.");
}

}  // namespace kova_core
