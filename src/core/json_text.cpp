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

constexpr uint64_t ONES = 0x0101010101010101u;
constexpr uint64_t HIGHS = 0x8080808080808080u;

// Whether any of the eight bytes needs escaping (below 0x20, a quote or a
// backslash): the usual bit tricks, exact for "any byte below n" up to 128.
bool word_needs_escape(uint64_t w) {
  const uint64_t below_space = (w - ONES * 0x20) & ~w & HIGHS;
  const uint64_t quotes = w ^ (ONES * '"');
  const uint64_t backslashes = w ^ (ONES * '\\');
  return (below_space | ((quotes - ONES) & ~quotes & HIGHS) | ((backslashes - ONES) & ~backslashes & HIGHS)) != 0;
}

// Bytes of `value` (`length` long) before the first one to escape.
size_t verbatim_prefix(const char *value, size_t length) {
  size_t i = 0;
  for (uint64_t w; i + 8 <= length; i += 8) {
    memcpy(&w, value + i, 8);
    if (word_needs_escape(w)) break;
  }
  while (i < length && !NEEDS_ESCAPE.escape[static_cast<unsigned char>(value[i])]) ++i;
  return i;
}

}  // namespace

json_text::~json_text() {
  if (on_heap) free(data);
}

bool json_text::grow(size_t count) {
  if (failed) return false;
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

void json_text::put_string(const char *value) {
  if (!value) value = "";
  size_t rest = strlen(value);
  size_t verbatim = verbatim_prefix(value, rest);
  // The usual string needs no escape: quotes around one copy.
  if (verbatim == rest) {
    if (length + verbatim + 2 >= capacity && !grow(verbatim + 2)) return;
    data[length] = '"';
    memcpy(data + length + 1, value, verbatim);
    data[length + 1 + verbatim] = '"';
    length += verbatim + 2;
    return;
  }
  put("\"", 1);
  for (;;) {
    put(value, verbatim);
    if (verbatim == rest) break;
    char escaped[6];
    put(escaped, escape_of(static_cast<unsigned char>(value[verbatim]), escaped));
    value += verbatim + 1;
    rest -= verbatim + 1;
    verbatim = verbatim_prefix(value, rest);
  }
  put("\"", 1);
}

const char *json_text::c_str() {
  if (!grow(0)) return nullptr;
  data[length] = '\0';
  return data;
}
