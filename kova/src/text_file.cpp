#include "text_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "unicode_text.hpp"

namespace kova {

Result<std::string> read_utf8_text_file(const std::filesystem::path& path, std::size_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(std::generic_category().message(errno));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string text;
  std::string error;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = std::generic_category().message(errno);
      break;
    }
    if (got == 0) break;
    if (text.size() + static_cast<std::size_t>(got) > max_bytes) {
      error = "file is larger than " + std::to_string(max_bytes >> 20) + " MiB";
      break;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!error.empty()) return fail(std::move(error));
  if (!unicode::is_valid_utf8(text)) return fail("stream did not contain valid UTF-8");
  return text;
}

}  // namespace kova
