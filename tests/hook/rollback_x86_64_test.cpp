// Install and uninstall are all or nothing, also when memory fails them
// half-way: here a target's code is unmapped between prepare and install.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include "fixtures.hpp"
#include "hook/hook.hpp"
#include "hook/hook_internal.hpp"

namespace {

int_function real_first, real_unmapped, real_last;
int replacement_calls = 0;
int replacement_first(int x) { return ++replacement_calls, real_first(x); }
int replacement_unmapped(int x) { return ++replacement_calls, real_unmapped(x); }
int replacement_last(int x) { return ++replacement_calls, real_last(x); }

constexpr uint8_t CODE[] = {
    0x8d, 0x87, 0x00, 0x10, 0x00, 0x00,  // lea 0x1000(%rdi),%eax
    0xc3,                                // ret
};

// Executable code in an anonymous page, mapped at `at` when given, its
// first bytes replaced by `entry` when given.
void *map_code(void *at, const uint8_t *entry = nullptr) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | (at ? MAP_FIXED_NOREPLACE : 0);
  void *page = mmap(at, 4096, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (page == MAP_FAILED) return nullptr;
  memcpy(page, CODE, sizeof CODE);
  if (entry) memcpy(page, entry, PATCH_SIZE);
  mprotect(page, 4096, PROT_READ | PROT_EXEC);
  return page;
}

TEST(HookRollback, FailedStepLeavesEveryTargetAsItWas) {
  void *page = map_code(nullptr);
  ASSERT_NE(page, nullptr);
  auto unmapped = reinterpret_cast<int_function>(page);
  code_bytes first_original = bytes_at(fixture_single), last_original = bytes_at(fixture_straddle_8);

  hook_set *set = hook_set_create();
  real_first = fixture_single;
  real_unmapped = unmapped;
  real_last = fixture_straddle_8;
  ASSERT_EQ(hook_set_prepare(set, reinterpret_cast<void **>(&real_first), reinterpret_cast<void *>(replacement_first)), HOOK_OK);
  ASSERT_EQ(hook_set_prepare(set, reinterpret_cast<void **>(&real_unmapped), reinterpret_cast<void *>(replacement_unmapped)), HOOK_OK)
      << hook_set_error_message(set);
  ASSERT_EQ(hook_set_prepare(set, reinterpret_cast<void **>(&real_last), reinterpret_cast<void *>(replacement_last)), HOOK_OK);

  // Install fails on the second target: the first is restored.
  ASSERT_EQ(munmap(page, 4096), 0);
  EXPECT_EQ(hook_set_install(set), HOOK_ERROR_MEMORY);
  EXPECT_EQ(bytes_at(fixture_single), first_original);
  EXPECT_EQ(bytes_at(fixture_straddle_8), last_original);
  replacement_calls = 0;
  EXPECT_EQ(fixture_single(1), 4097);
  EXPECT_EQ(replacement_calls, 0);
  EXPECT_EQ(hook_set_uninstall(set), HOOK_ERROR_STATE) << "a failed install leaves the set uninstalled";

  // With the code back in place, all three install.
  ASSERT_EQ(map_code(page), page);
  ASSERT_EQ(hook_set_install(set), HOOK_OK) << hook_set_error_message(set);
  EXPECT_EQ(unmapped(2), 4098);
  EXPECT_EQ(replacement_calls, 1);

  // Uninstall restores the last target first, then fails on the second: the
  // last one is patched again and the set stays installed.
  ASSERT_EQ(munmap(page, 4096), 0);
  EXPECT_EQ(hook_set_uninstall(set), HOOK_ERROR_MEMORY);
  replacement_calls = 0;
  EXPECT_EQ(fixture_single(1), 4097);
  EXPECT_EQ(fixture_straddle_8(1), 4097);
  EXPECT_EQ(replacement_calls, 2);
  EXPECT_EQ(hook_set_install(set), HOOK_ERROR_STATE);

  // The page comes back holding the set's patch (a jmp to the stub, which
  // sits right before the trampoline), and everything unwinds.
  uint8_t patch[PATCH_SIZE];
  emit_jmp_rel32(patch, reinterpret_cast<uintptr_t>(page), reinterpret_cast<uintptr_t>(real_unmapped) - STUB_SIZE);
  ASSERT_EQ(map_code(page, patch), page);
  EXPECT_EQ(unmapped(3), 4099);
  EXPECT_EQ(replacement_calls, 3);
  ASSERT_EQ(hook_set_uninstall(set), HOOK_OK) << hook_set_error_message(set);
  EXPECT_EQ(bytes_at(fixture_single), first_original);
  EXPECT_EQ(bytes_at(fixture_straddle_8), last_original);
  EXPECT_EQ(memcmp(page, CODE, sizeof CODE), 0);
  EXPECT_EQ(hook_set_destroy(set), HOOK_OK);
  munmap(page, 4096);
}

}  // namespace
