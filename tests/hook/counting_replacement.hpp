// What the fixture tests of both processors hook with: a replacement that
// counts its calls and marks every result, so a test can tell it ran, and
// a hook set destroyed at the end of the test.
#pragma once

#include "fixtures.hpp"
#include "hook/hook.hpp"

// The original of the fixture hooked last (its trampoline).
inline int_function real_fixture = nullptr;
inline int replacement_calls = 0;

inline int counting_replacement(int x) {
  ++replacement_calls;
  return real_fixture(x) + 1000000;
}

inline void **slot() { return reinterpret_cast<void **>(&real_fixture); }
inline void *replacement() { return reinterpret_cast<void *>(counting_replacement); }

struct hook_set_guard {
  hook_set *set = hook_set_create();
  ~hook_set_guard() {
    if (set) hook_set_destroy(set);
  }
};

struct io_case {
  int in;
  int out;
};
