// A configuration document's content without its layout: what a result's provenance hashes.
#pragma once

#include <string>
#include <string_view>

#include "kova/result.hpp"

namespace kova {

// The document's resolved values as compact JSON: mappings with their keys sorted, scalars as the
// core's YAML reader resolves them (a float as the shortest text that reads back to the same
// bits, NaN and infinities as strings, integers exactly), aliases expanded. Comments, quoting
// that does not change a value, key order and indentation leave it unchanged. Fails with the
// YAML reader's message on a document it refuses.
Result<std::string> canonical_config_text(std::string_view document);

}  // namespace kova
