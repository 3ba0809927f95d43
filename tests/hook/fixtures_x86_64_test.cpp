// The engine on the assembly fixtures: which entries it moves, which it
// refuses, and what it leaves behind in memory.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "counting_replacement.hpp"
#include "fixtures.hpp"
#include "hook/hook.hpp"
#include "hook/hook_internal.hpp"

namespace {

std::string hex(const void *address) {
  char text[32];
  snprintf(text, sizeof text, "%#lx", reinterpret_cast<unsigned long>(address));
  return text;
}

struct accepted_fixture {
  const char *name;
  int_function function;
  uint8_t flag;
  std::vector<io_case> cases;
};

const std::vector<accepted_fixture> &accepted_fixtures() {
  static const std::vector<accepted_fixture> rows = {
      {"endbr64 prologue", fixture_endbr64, 0, {{0, 1}, {41, 42}}},
      {"rip-relative compare, flag clear", fixture_rip_compare, 0, {{0, 2}}},
      {"rip-relative compare, flag set", fixture_rip_compare, 1, {{0, 1}}},
      {"jcc rel8 landing after the displaced bytes", fixture_jcc_short, 0, {{0, 2}, {5, 1}}},
      {"call rel32", fixture_call, 0, {{0, 42}}},
      {"jcc landing inside the displaced bytes", fixture_internal_branch, 0, {{0, 7}, {5, 12}}},
      {"one displaced instruction", fixture_single, 0, {{1, 4097}}},
      {"patch across an 8-byte word", fixture_straddle_8, 0, {{2, 4098}}},
      {"patch across a 16-byte block", fixture_straddle_16, 0, {{3, 4099}}},
  };
  return rows;
}

TEST(HookFixtures, AcceptedEntriesRunTheSameThroughTrampolineAndHook) {
  for (const accepted_fixture &row : accepted_fixtures()) {
    SCOPED_TRACE(row.name);
    fixture_flag = row.flag;
    code_bytes original = bytes_at(row.function);
    hook_set_guard guard;
    ASSERT_NE(guard.set, nullptr);
    real_fixture = row.function;
    ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK)
        << hook_set_error_message(guard.set);
    ASSERT_NE(real_fixture, row.function);
    EXPECT_EQ(bytes_at(row.function), original) << "prepare must not patch";

    // Trampoline before install, original untouched.
    for (const io_case &c : row.cases) EXPECT_EQ(real_fixture(c.in), c.out);
    ASSERT_EQ(hook_set_install(guard.set), HOOK_OK) << hook_set_error_message(guard.set);
    replacement_calls = 0;
    for (const io_case &c : row.cases) {
      EXPECT_EQ(row.function(c.in), c.out + 1000000);
      EXPECT_EQ(real_fixture(c.in), c.out);
    }
    EXPECT_EQ(replacement_calls, static_cast<int>(row.cases.size()));
    ASSERT_EQ(hook_set_uninstall(guard.set), HOOK_OK);
    for (const io_case &c : row.cases) EXPECT_EQ(row.function(c.in), c.out);
    EXPECT_EQ(replacement_calls, static_cast<int>(row.cases.size()));
    EXPECT_EQ(bytes_at(row.function), original);
  }
  fixture_flag = 0;
}

struct refused_fixture {
  const char *name;
  int_function function;
  int status;
};

TEST(HookFixtures, RefusedEntriesChangeNothing) {
  const refused_fixture rows[] = {
      {"shorter than the patch", fixture_too_short, HOOK_ERROR_TOO_SHORT},
      {"jmp rel8 before five bytes", fixture_jmp_short, HOOK_ERROR_TOO_SHORT},
      {"ud2 at the entry", fixture_ud2, HOOK_ERROR_TOO_SHORT},
      {"jrcxz at the entry", fixture_jrcxz, HOOK_ERROR_UNRELOCATABLE},
      {"loop among the displaced bytes", fixture_loop_entry, HOOK_ERROR_UNRELOCATABLE},
      {"back-branch into the displaced bytes", fixture_loop_back, HOOK_ERROR_BRANCH_INTO_PATCH},
      {"undecodable byte", fixture_undecodable, HOOK_ERROR_DECODE},
  };
  hook_set_guard guard;
  ASSERT_NE(guard.set, nullptr);
  for (const refused_fixture &row : rows) {
    SCOPED_TRACE(row.name);
    code_bytes original = bytes_at(row.function);
    real_fixture = row.function;
    EXPECT_EQ(hook_set_prepare(guard.set, slot(), replacement()), row.status);
    EXPECT_EQ(real_fixture, row.function) << "the slot must stay untouched";
    EXPECT_EQ(bytes_at(row.function), original);
    EXPECT_NE(std::string(hook_set_error_message(guard.set)).find(hex(reinterpret_cast<void *>(row.function))),
              std::string::npos)
        << hook_set_error_message(guard.set);
  }
  // The refusals left the set usable.
  real_fixture = fixture_single;
  ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK);
  ASSERT_EQ(hook_set_install(guard.set), HOOK_OK);
  EXPECT_EQ(fixture_single(1), 1004097);
  EXPECT_EQ(fixture_loop_back(4), 12);
  ASSERT_EQ(hook_set_uninstall(guard.set), HOOK_OK);
}

TEST(HookFixtures, PatchStoreMatchesWhereTheEntryLies) {
  auto address = [](int_function f) { return reinterpret_cast<uintptr_t>(f); };
  EXPECT_EQ(code_store_kind_for(address(fixture_single), PATCH_SIZE), STORE_ATOMIC_8);
  EXPECT_EQ(code_store_kind_for(address(fixture_straddle_8), PATCH_SIZE), STORE_ATOMIC_16);
  EXPECT_EQ(code_store_kind_for(address(fixture_straddle_16), PATCH_SIZE), STORE_PLAIN);
}

TEST(HookFixtures, RepeatedInstallRestoresExactBytesAndKeepsNeighbours) {
  const int_function targets[] = {fixture_single, fixture_straddle_8, fixture_straddle_16, fixture_rip_compare};
  for (int_function target : targets) {
    code_bytes original = bytes_at(target);
    hook_set_guard guard;
    real_fixture = target;
    ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK);
    for (int round = 0; round < 200; ++round) {
      ASSERT_EQ(hook_set_install(guard.set), HOOK_OK);
      code_bytes patched = bytes_at(target);
      ASSERT_EQ(patched.bytes[0], 0xe9);
      ASSERT_EQ(memcmp(patched.bytes + PATCH_SIZE, original.bytes + PATCH_SIZE, 16 - PATCH_SIZE), 0)
          << "bytes after the patch changed";
      ASSERT_EQ(hook_set_uninstall(guard.set), HOOK_OK);
      ASSERT_EQ(bytes_at(target), original) << "round " << round;
    }
  }
}

TEST(HookFixtures, CodeAndNearPagesEndReadExecute) {
  hook_set_guard guard;
  real_fixture = fixture_single;
  ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK);
  auto distance = reinterpret_cast<intptr_t>(real_fixture) - reinterpret_cast<intptr_t>(fixture_single);
  EXPECT_LT(distance < 0 ? -distance : distance, intptr_t{INT32_MAX});
  // Writable while the set is prepared; read-execute once it is installed.
  ASSERT_EQ(hook_set_install(guard.set), HOOK_OK);
  EXPECT_EQ(mapping_permissions(reinterpret_cast<void *>(real_fixture)), "r-xp");
  EXPECT_EQ(mapping_permissions(reinterpret_cast<void *>(fixture_single)), "r-xp");
  ASSERT_EQ(hook_set_uninstall(guard.set), HOOK_OK);
  EXPECT_EQ(mapping_permissions(reinterpret_cast<void *>(fixture_single)), "r-xp");
}

TEST(HookFixtures, CallsOutOfStateAreRefused) {
  hook_set_guard guard;
  EXPECT_EQ(hook_set_install(nullptr), HOOK_ERROR_ARGUMENT);
  EXPECT_EQ(hook_set_destroy(nullptr), HOOK_ERROR_ARGUMENT);
  EXPECT_EQ(hook_set_prepare(guard.set, nullptr, replacement()), HOOK_ERROR_ARGUMENT);
  real_fixture = nullptr;
  EXPECT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_ERROR_ARGUMENT);
  EXPECT_EQ(hook_set_uninstall(guard.set), HOOK_ERROR_STATE);

  real_fixture = fixture_jcc_short;
  ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK);
  int_function second = fixture_jcc_short;
  EXPECT_EQ(hook_set_prepare(guard.set, reinterpret_cast<void **>(&second), replacement()), HOOK_ERROR_STATE);
  // Two bytes in: inside the bytes the first hook displaces.
  second = reinterpret_cast<int_function>(reinterpret_cast<uintptr_t>(fixture_jcc_short) + 2);
  EXPECT_EQ(hook_set_prepare(guard.set, reinterpret_cast<void **>(&second), replacement()), HOOK_ERROR_STATE);

  ASSERT_EQ(hook_set_install(guard.set), HOOK_OK);
  EXPECT_EQ(hook_set_install(guard.set), HOOK_ERROR_STATE);
  second = fixture_single;
  EXPECT_EQ(hook_set_prepare(guard.set, reinterpret_cast<void **>(&second), replacement()), HOOK_ERROR_STATE);
  EXPECT_EQ(second, fixture_single);
  // Destroy uninstalls and hands the slot its function back.
  EXPECT_EQ(hook_set_destroy(guard.set), HOOK_OK);
  guard.set = nullptr;
  EXPECT_EQ(real_fixture, fixture_jcc_short);
  EXPECT_EQ(fixture_jcc_short(0), 2);
}

int_function real_outer = nullptr;
int outer_calls = 0;
int outer_replacement(int x) {
  ++outer_calls;
  return real_outer(x) + 1;
}

TEST(HookFixtures, SecondSetStacksOnAnInstalledHookAndNoticesChangedCode) {
  hook_set_guard inner, outer;
  real_fixture = fixture_single;
  ASSERT_EQ(hook_set_prepare(inner.set, slot(), replacement()), HOOK_OK);
  ASSERT_EQ(hook_set_install(inner.set), HOOK_OK);
  // The entry is now a jmp rel32, which the second set relocates.
  real_outer = fixture_single;
  ASSERT_EQ(hook_set_prepare(outer.set, reinterpret_cast<void **>(&real_outer),
                             reinterpret_cast<void *>(outer_replacement)),
            HOOK_OK)
      << hook_set_error_message(outer.set);
  ASSERT_EQ(hook_set_install(outer.set), HOOK_OK);
  replacement_calls = outer_calls = 0;
  EXPECT_EQ(fixture_single(1), 4097 + 1000000 + 1);
  EXPECT_EQ(outer_calls, 1);
  EXPECT_EQ(replacement_calls, 1);
  ASSERT_EQ(hook_set_uninstall(outer.set), HOOK_OK);
  ASSERT_EQ(hook_set_uninstall(inner.set), HOOK_OK);
  EXPECT_EQ(fixture_single(1), 4097);

  // The outer set saved the inner patch as "original": with the inner one
  // gone, its install must refuse rather than write over foreign code.
  EXPECT_EQ(hook_set_install(outer.set), HOOK_ERROR_STATE);
  EXPECT_EQ(fixture_single(1), 4097);
}

}  // namespace
