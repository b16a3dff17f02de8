// Whole-file reading of the text files the library reads (robot descriptions, configurations).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "kova/result.hpp"

namespace kova {

// The whole file as well-formed UTF-8 text of at most `max_bytes` bytes (a whole number of MiB),
// or why it cannot be had: the system's description of the failure, "file is larger than N MiB",
// or "stream did not contain valid UTF-8". Callers put their own prefix in front. Opened without
// blocking, so that a FIFO nobody writes to reads as empty instead of hanging.
Result<std::string> read_utf8_text_file(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace kova
