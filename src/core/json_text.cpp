#include "core/json_text.hpp"

#include <cstdlib>
#include <cstring>

namespace {

// The bytes a string cannot carry as they are: control characters, the
// quote and the backslash. The NUL ends the scan.
constexpr auto NEEDS_ESCAPE = [] {
  struct table {
    bool escape[256] = {};
  } t;
  for (int c = 0; c < 0x20; ++c) t.escape[c] = true;
  t.escape[static_cast<unsigned char>('"')] = true;
  t.escape[static_cast<unsigned char>('\\')] = true;
  return t;
}();

// What stands for a byte that needs escaping: a two-character escape, or
// \u00xx with lower-case hex, as cJSON writes it.
size_t escape_of(unsigned char c, char out[6]) {
  char named = 0;
  switch (c) {
    case '"': named = '"'; break;
    case '\\': named = '\\'; break;
    case '\b': named = 'b'; break;
    case '\f': named = 'f'; break;
    case '\n': named = 'n'; break;
    case '\r': named = 'r'; break;
    case '\t': named = 't'; break;
    default: break;
  }
  out[0] = '\\';
  if (named) {
    out[1] = named;
    return 2;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  memcpy(out + 1, "u00", 3);
  out[4] = HEX[c >> 4];
  out[5] = HEX[c & 0xf];
  return 6;
}

}  // namespace

json_text::~json_text() {
  if (on_heap) free(data);
}

bool json_text::reserve(size_t count) {
  if (failed) return false;
  // One byte more for the terminating NUL.
  if (length + count < capacity) return true;
  size_t wanted = capacity * 2;
  while (wanted <= length + count) wanted *= 2;
  char *grown = static_cast<char *>(on_heap ? realloc(data, wanted) : malloc(wanted));
  if (!grown) {
    failed = true;
    return false;
  }
  if (!on_heap) memcpy(grown, data, length);
  data = grown;
  capacity = wanted;
  on_heap = true;
  return true;
}

void json_text::put(const char *bytes, size_t count) {
  if (!reserve(count)) return;
  memcpy(data + length, bytes, count);
  length += count;
}

void json_text::separate() {
  if (after_key) {
    after_key = false;
    return;
  }
  if (depth <= 0 || depth > 64) return;
  const uint64_t bit = uint64_t{1} << (depth - 1);
  if (has_items & bit) put(",", 1);
  has_items |= bit;
}

void json_text::open(char bracket) {
  separate();
  put(&bracket, 1);
  ++depth;
  if (depth <= 64) has_items &= ~(uint64_t{1} << (depth - 1));
}

void json_text::close(char bracket) {
  put(&bracket, 1);
  --depth;
}

void json_text::key(const char *name) {
  separate();
  put_string(name);
  put(":", 1);
  after_key = true;
}

void json_text::string(const char *value) {
  separate();
  put_string(value);
}

void json_text::literal(std::string_view json) {
  separate();
  put(json.data(), json.size());
}

void json_text::put_string(const char *value) {
  put("\"", 1);
  if (value) {
    const auto *p = reinterpret_cast<const unsigned char *>(value);
    for (;;) {
      const unsigned char *run = p;
      while (!NEEDS_ESCAPE.escape[*p]) ++p;
      put(reinterpret_cast<const char *>(run), static_cast<size_t>(p - run));
      if (*p == '\0') break;
      char escaped[6];
      put(escaped, escape_of(*p++, escaped));
    }
  }
  put("\"", 1);
}

const char *json_text::c_str() {
  if (!reserve(0)) return nullptr;
  data[length] = '\0';
  return data;
}
