// Reading an event text for judgement: one reader of the whole JSON grammar,
// accepting and decoding exactly what cJSON's parser accepts and decodes
// (the callback's texts were cJSON's before), without building a tree. The
// text is copied once and its strings are decoded in place; the view points
// into the copy. Members are looked up as cJSON_GetObjectItemCaseSensitive
// does: exact names, the first occurrence wins, a wrong type is absent.
#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include <cstdlib>
#include <cstring>

#include "policy/policy.hpp"

namespace {

// cJSON's limit on nested objects and arrays.
constexpr int NESTING_LIMIT = 1000;

// What the value being read is to the view.
enum class role { none, event, args, argv };

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits; 0 when any is not one (cJSON's reading, not an error).
unsigned hex4(const char *p) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_digit(p[i]);
    if (digit < 0) return 0;
    value = value << 4 | static_cast<unsigned>(digit);
  }
  return value;
}

char *put_utf8(char *out, unsigned codepoint) {
  if (codepoint < 0x80) {
    *out++ = static_cast<char>(codepoint);
  } else if (codepoint < 0x800) {
    *out++ = static_cast<char>(0xC0 | codepoint >> 6);
    *out++ = static_cast<char>(0x80 | (codepoint & 0x3F));
  } else if (codepoint < 0x10000) {
    *out++ = static_cast<char>(0xE0 | codepoint >> 12);
    *out++ = static_cast<char>(0x80 | (codepoint >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (codepoint & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | codepoint >> 18);
    *out++ = static_cast<char>(0x80 | (codepoint >> 12 & 0x3F));
    *out++ = static_cast<char>(0x80 | (codepoint >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (codepoint & 0x3F));
  }
  return out;
}

bool is_number_char(char c) { return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == 'e' || c == 'E' || c == '.'; }

// How much of `p` (a span of number characters) strtod would take.
size_t decimal_prefix(const char *p, size_t span) {
  size_t i = 0;
  if (i < span && (p[i] == '+' || p[i] == '-')) ++i;
  size_t digits = 0;
  while (i < span && p[i] >= '0' && p[i] <= '9') ++i, ++digits;
  if (i < span && p[i] == '.') {
    ++i;
    while (i < span && p[i] >= '0' && p[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < span && (p[i] == 'e' || p[i] == 'E')) {
    size_t j = i + 1;
    if (j < span && (p[j] == '+' || p[j] == '-')) ++j;
    const size_t exponent_start = j;
    while (j < span && p[j] >= '0' && p[j] <= '9') ++j;
    if (j > exponent_start) i = j;
  }
  return i;
}

// A decoded key against a name the view takes (no function call: keys are
// compared for every member of every event).
template <size_t N>
bool is_key(const char *key, size_t length, const char (&name)[N]) {
  return length == N - 1 && memcmp(key, name, N - 1) == 0;
}

// The first quote, backslash or NUL from `p` on, sixteen bytes at a time
// (SSE2 is part of x86-64, NEON of AArch64): the copy of the text is
// followed by sixteen NULs (see read_event), so no block read reaches past it.
#if defined(__aarch64__)
[[gnu::always_inline]] inline char *string_stop(char *p) {
  const uint8x16_t quote = vdupq_n_u8('"');
  const uint8x16_t backslash = vdupq_n_u8('\\');
  for (;; p += 16) {
    const uint8x16_t block = vld1q_u8(reinterpret_cast<const uint8_t *>(p));
    const uint8x16_t stops = vorrq_u8(vorrq_u8(vceqq_u8(block, quote), vceqq_u8(block, backslash)), vceqzq_u8(block));
    // Four bits per byte: the narrowed mask's lowest set bit marks the first stop.
    const uint64_t mask = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(stops), 4)), 0);
    if (mask) return p + __builtin_ctzll(mask) / 4;
  }
}
#else
[[gnu::always_inline]] inline char *string_stop(char *p) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i nul = _mm_setzero_si128();
  for (;; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i stops = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                                       _mm_cmpeq_epi8(block, nul));
    if (const int mask = _mm_movemask_epi8(stops)) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
}
#endif

struct reader {
  char *p;
  event_reading *out;
  int depth = 0;
  size_t string_length = 0;  // of the last string read

  void skip_space() {
    while (static_cast<unsigned char>(*p - 1) < ' ') ++p;
  }

  // The string at the opening quote, decoded in place.
  [[gnu::always_inline]] bool string(const char **text) {
    // Most strings hold no escape: end them where they stand.
    char *end = string_stop(p + 1);
    if (*end == '"') [[likely]] {
      *end = '\0';
      *text = p + 1;
      string_length = static_cast<size_t>(end - (p + 1));
      p = end + 1;
      return true;
    }
    return escaped_string(text);
  }

  [[gnu::noinline]] bool escaped_string(const char **text) {
    char *end = p + 1;
    while (*end != '"') {
      if (*end == '\0') return false;
      if (*end == '\\' && *++end == '\0') return false;
      ++end;
    }
    char *write = p + 1;
    *text = write;
    for (const char *r = p + 1; r < end;) {
      if (*r != '\\') {
        *write++ = *r++;
        continue;
      }
      char plain = 0;
      switch (r[1]) {
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case '"': case '\\': case '/': plain = r[1]; break;
        case 'u': break;
        default: return false;
      }
      if (plain) {
        *write++ = plain;
        r += 2;
        continue;
      }
      if (end - r < 6) return false;
      unsigned codepoint = hex4(r + 2);
      if (codepoint >= 0xDC00 && codepoint <= 0xDFFF) return false;
      if (codepoint >= 0xD800 && codepoint <= 0xDBFF) {
        // A high surrogate needs its low half right after it.
        if (end - (r + 6) < 6 || r[6] != '\\' || r[7] != 'u') return false;
        const unsigned low = hex4(r + 8);
        if (low < 0xDC00 || low > 0xDFFF) return false;
        codepoint = 0x10000 + (((codepoint & 0x3FF) << 10) | (low & 0x3FF));
        r += 12;
      } else {
        r += 6;
      }
      write = put_utf8(write, codepoint);
    }
    *write = '\0';
    // An escaped NUL cuts the text short, as it does a C string.
    string_length = strlen(p + 1);
    p = end + 1;
    return true;
  }

  bool number() {
    size_t span = 0;
    while (is_number_char(p[span])) ++span;
    const size_t taken = decimal_prefix(p, span);
    p += taken;
    return taken > 0;
  }

  bool word(const char *text, size_t length) {
    if (strncmp(p, text, length) != 0) return false;
    p += length;
    return true;
  }

  bool add_argv_item(const char *text) {
    event_view &view = out->view;
    if (view.argv_count == out->item_capacity) {
      const int capacity = out->item_capacity * 2;
      const char **grown = static_cast<const char **>(malloc(sizeof(char *) * static_cast<size_t>(capacity)));
      if (!grown) return false;
      memcpy(grown, out->items, sizeof(char *) * static_cast<size_t>(view.argv_count));
      if (out->items != out->local_items) free(out->items);
      out->items = grown;
      out->item_capacity = capacity;
    }
    out->items[view.argv_count++] = text;
    view.argv = out->items;
    return true;
  }

  // The value at the cursor; `text` receives it when it is a string.
  bool value(role as, const char **text) {
    switch (*p) {
      case 'n': return word("null", 4);
      case 'f': return word("false", 5);
      case 't': return word("true", 4);
      case '"': return string(text);
      case '[': return array(as);
      case '{': return object(as);
      default: return (*p == '-' || (*p >= '0' && *p <= '9')) && number();
    }
  }

  bool array(role as) {
    if (depth >= NESTING_LIMIT) return false;
    ++depth;
    ++p;
    skip_space();
    if (*p != ']') {
      for (;;) {
        skip_space();
        const char *text = nullptr;
        if (!value(role::none, &text)) return false;
        if (as == role::argv && !add_argv_item(text)) return false;
        skip_space();
        if (*p != ',') break;
        ++p;
      }
      if (*p != ']') return false;
    }
    ++p;
    --depth;
    return true;
  }

  bool object(role as) {
    if (depth >= NESTING_LIMIT) return false;
    ++depth;
    ++p;
    skip_space();
    // The first occurrence of each member the view takes.
    bool seen_name = false, seen_timestamp = false, seen_args = false;
    bool seen_path = false, seen_ip = false, seen_hostname = false, seen_argv = false;
    if (*p != '}') {
      for (bool first = true;; first = false) {
        if (!first) skip_space();
        const char *key = nullptr;
        if (*p != '"' || !string(&key)) return false;
        const size_t key_length = string_length;
        skip_space();
        if (*p != ':') return false;
        ++p;
        skip_space();
        event_view &view = out->view;
        const char **slot = nullptr;
        bool *seen = nullptr;
        role child = role::none;
        if (as == role::event) {
          if (is_key(key, key_length, "name")) slot = &view.name, seen = &seen_name;
          else if (is_key(key, key_length, "timestamp")) slot = &view.timestamp, seen = &seen_timestamp;
          else if (is_key(key, key_length, "args") && !seen_args) seen_args = true, child = *p == '{' ? role::args : role::none;
        } else if (as == role::args) {
          if (is_key(key, key_length, "path")) slot = &view.path, seen = &seen_path;
          else if (is_key(key, key_length, "ip")) slot = &view.ip, seen = &seen_ip;
          else if (is_key(key, key_length, "hostname")) slot = &view.hostname, seen = &seen_hostname;
          else if (is_key(key, key_length, "argv") && !seen_argv) seen_argv = true, child = *p == '[' ? role::argv : role::none;
        }
        const char *text = nullptr;
        // Strings, the usual value, without the general dispatch.
        if (!(*p == '"' ? string(&text) : value(child, &text))) return false;
        if (seen && !*seen) {
          *seen = true;
          *slot = text;  // null unless a string
        }
        skip_space();
        if (*p != ',') break;
        ++p;
      }
      if (*p != '}') return false;
    }
    ++p;
    --depth;
    return true;
  }
};

}  // namespace

event_reading::~event_reading() {
  if (text != local_text) free(text);
  if (items != local_items) free(items);
}

bool read_event(const char *event_text, event_reading *reading) {
  reading->view = event_view{};
  if (!event_text) return false;
  const size_t length = strlen(event_text);
  constexpr size_t PADDING = 16;  // NULs after the text, for string_stop
  if (length + PADDING >= sizeof reading->local_text) {
    reading->text = static_cast<char *>(malloc(length + 1 + PADDING));
    if (!reading->text) return false;
  }
  memcpy(reading->text, event_text, length);
  memset(reading->text + length, 0, 1 + PADDING);
  reader in{reading->text, reading};
  if (strncmp(in.p, "\xEF\xBB\xBF", 3) == 0) in.p += 3;
  in.skip_space();
  // As cJSON_Parse: whatever follows the value is not looked at.
  const char *ignored = nullptr;
  if (in.value(role::event, &ignored)) return true;
  reading->view = event_view{};
  return false;
}
