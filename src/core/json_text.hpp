// The one writer of JSON text (events, alert records, request bodies):
// unformatted, members in the order written, strings escaped byte for byte
// as cJSON prints them. It writes into the caller's buffer and moves to the
// heap only for long texts, so the usual event costs no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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
  void key(const char *name) {
    separate();
    put_string(name);
    put(":", 1);
    after_key = true;
  }
  // A key, or a member, known to need no escaping (the library's own
  // constant names, timestamps): written as it stands.
  void plain_key(std::string_view name) {
    separate();
    put_plain(name);
    put(":", 1);
    after_key = true;
  }
  void plain_member(std::string_view name, std::string_view value) {
    plain_key(name);
    separate();
    put_plain(value);
  }
  // An array item or a member's value.
  void string(const char *value) {
    separate();
    put_string(value);
  }
  // true, false, null or a number, as given.
  void literal(std::string_view json) {
    separate();
    put(json.data(), json.size());
  }
  // A member with a plain name (see plain_key) whose value is a string.
  void member(std::string_view name, const char *value) {
    plain_key(name);
    string(value);
  }

  // The NUL-terminated text; null when memory ran out.
  const char *c_str();

  // Internals. Events are written on every judged call: the small steps
  // are inline, the heap only on the slow path.
  void put(const char *bytes, size_t count) {
    if (length + count >= capacity && !grow(count)) return;
    memcpy(data + length, bytes, count);
    length += count;
  }
  void put_string(const char *value);
  void put_plain(std::string_view text) {
    if (length + text.size() + 2 >= capacity && !grow(text.size() + 2)) return;
    data[length] = '"';
    memcpy(data + length + 1, text.data(), text.size());
    data[length + 1 + text.size()] = '"';
    length += text.size() + 2;
  }
  void open(char bracket) {
    separate();
    put(&bracket, 1);
    ++depth;
    if (depth <= 64) has_items &= ~(uint64_t{1} << (depth - 1));
  }
  void close(char bracket) {
    put(&bracket, 1);
    --depth;
  }
  void separate() {
    if (after_key) {
      after_key = false;
      return;
    }
    if (depth <= 0 || depth > 64) return;
    const uint64_t bit = uint64_t{1} << (depth - 1);
    if (has_items & bit) put(",", 1);
    has_items |= bit;
  }
  // Room for `count` more bytes and the NUL; false once memory ran out.
  bool grow(size_t count);
};
