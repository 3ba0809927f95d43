// The one writer of JSON text (events, alert records, request bodies):
// unformatted, members in the order written, strings escaped byte for byte
// as cJSON prints them. It writes into the caller's buffer and moves to the
// heap only for long texts, so the usual event costs no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct json_text {
  char *data;
  size_t length = 0;
  size_t capacity;
  bool on_heap = false;
  bool failed = false;  // memory ran out: the text is lost
  // One bit per open object or array: set once it has a member or item.
  uint64_t has_items = 0;
  int depth = 0;
  bool after_key = false;  // the next value is a member's

  // `buffer` must hold at least one byte; it is used until it is full.
  json_text(char *buffer, size_t size) : data(buffer), capacity(size) {}
  json_text(const json_text &) = delete;
  json_text &operator=(const json_text &) = delete;
  ~json_text();

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // "key": of the next member; its value follows.
  void key(const char *name);
  void string(const char *value);  // an array item or a member's value
  void literal(std::string_view json);  // true, false, null or a number, as given
  // A member whose value is a string.
  void member(const char *name, const char *value) {
    key(name);
    string(value);
  }

  // The NUL-terminated text; null when memory ran out.
  const char *c_str();

  // Internals, also used by the writers of fixed pieces.
  void put(const char *bytes, size_t count);
  void put_string(const char *value);
  void open(char bracket);
  void close(char bracket);
  void separate();
  bool reserve(size_t count);
};
