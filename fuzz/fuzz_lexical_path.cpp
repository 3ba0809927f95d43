// The textual path normaliser on arbitrary base and path texts (split at
// the first NUL byte). Checked: the result is absolute and normal (no empty,
// "." or ".." segment, no trailing '/' but the root), no longer than the
// bound the allocation assumes, and normalising it again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "interceptor/interceptor.hpp"

namespace {

bool is_normal(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  if (path.back() == '/') return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view segment = path.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const size_t split = input.find('\0');
  const bool has_base = split != std::string::npos;
  const std::string base = has_base ? input.substr(0, split) : std::string();
  const std::string path = has_base ? input.substr(split + 1) : input;

  char *result = lexical_absolute_path(has_base ? base.c_str() : nullptr, path.c_str());
  const bool relative = path.empty() || path[0] != '/';
  // A relative path without a base has nothing to be joined to.
  if (relative && !has_base) {
    if (result) abort();
    return 0;
  }
  if (!result) abort();
  const std::string_view text(result);
  if (!is_normal(text)) abort();
  if (text.size() > strlen(base.c_str()) + strlen(path.c_str()) + 2) abort();
  char *again = lexical_absolute_path(nullptr, result);
  if (!again || strcmp(again, result) != 0) abort();
  free(again);
  free(result);
  return 0;
}
