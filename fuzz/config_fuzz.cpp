// YAML text -> RetargetingConfig through the file reader (an in-memory file), then validation and
// URDF path resolution of whatever was read. Returned errors are ordinary outcomes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"
#include "kova/retargeting_config.hpp"
#include "yaml_value.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kova_fuzz::MemoryFile file("kova-fuzz-config");
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The tree reader on its own, then the whole configuration reader on the same text.
  if (auto document = kova::yaml::Document::parse(text)) (void)document->root().find("retargeting");

  auto config = kova::RetargetingConfig::load_from_file(file.write(text));
  if (!config) return 0;
  if (!config->validate()) __builtin_trap();  // a returned record has passed validation
  (void)config->resolve_urdf_path();
  return 0;
}
