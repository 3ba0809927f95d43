// The AArch64 engine on the assembly fixtures: each class of relative
// instruction moved from an entry, with branch protection off (no landing
// pad) and on (bti c, paciasp or pacibsp first, on BTI-guarded pages), and
// the entries it refuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "counting_replacement.hpp"
#include "fixtures.hpp"
#include "hook/hook.hpp"
#include "hook/hook_internal.hpp"

namespace {

struct accepted_fixture {
  const char *name;
  int_function function;
  bool via_x9;  // returns through x9: its trampoline is run, the hooked entry is not
  std::vector<io_case> cases;
};

int run(const accepted_fixture &row, int_function function, int x) {
  return row.via_x9 ? fixture_a64_call_via_x9(function, x) : function(x);
}

const std::vector<accepted_fixture> &accepted_fixtures() {
  static const std::vector<accepted_fixture> rows = {
      // Branch protection off: the patch replaces the first word.
      {"add", fixture_single, false, {{1, 4097}}},
      {"adr", fixture_a64_adr, false, {{1, 8}}},
      {"adrp", fixture_a64_adrp, false, {{1, 101}}},
      {"ldr w literal", fixture_a64_ldr_w, false, {{1, 22}}},
      {"ldr x literal", fixture_a64_ldr_x, false, {{1, 7}}},
      {"ldrsw literal", fixture_a64_ldrsw, false, {{10, 7}}},
      {"ldr q literal", fixture_a64_ldr_q, false, {{1, 10}}},
      {"ldr s literal", fixture_a64_ldr_s, false, {{1, 13}}},
      {"prfm literal", fixture_a64_prfm, false, {{1, 4}}},
      {"b to elsewhere", fixture_a64_b, false, {{1, 12}}},
      {"cbz", fixture_a64_cbz, false, {{0, 2}, {5, 1}}},
      {"tbnz", fixture_a64_tbnz, false, {{8, 2}, {7, 1}}},
      {"bl", fixture_a64_bl, true, {{1, 22}}},
      {"b.eq", fixture_a64_bcond, true, {{0, 2}, {5, 1}}},
      // Branch protection on: the pad stays, the patch replaces the second word.
      {"paciasp, frame", fixture_bti_paciasp, false, {{1, 43}}},
      {"pacibsp, frame", fixture_bti_pacibsp, false, {{1, 44}}},
      {"bti c, adrp", fixture_bti_adrp, false, {{1, 101}}},
      {"bti c, ldr literal", fixture_bti_ldr_w, false, {{1, 22}}},
      {"bti c, cbz", fixture_bti_cbz, false, {{0, 2}, {5, 1}}},
      {"bti c, b to elsewhere", fixture_bti_b, false, {{1, 12}}},
  };
  return rows;
}

uint32_t word(int_function function, int index) {
  uint32_t value;
  memcpy(&value, reinterpret_cast<const uint8_t *>(function) + 4 * index, sizeof value);
  return value;
}

bool is_b(uint32_t value) { return (value & 0xfc000000) == 0x14000000; }

TEST(HookFixturesAarch64, AcceptedEntriesRunTheSameThroughTrampolineAndHook) {
  for (const accepted_fixture &row : accepted_fixtures()) {
    SCOPED_TRACE(row.name);
    const code_bytes original = bytes_at(row.function);
    const bool pad = a64_is_entry_pad(word(row.function, 0));
    hook_set_guard guard;
    real_fixture = row.function;
    ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK) << hook_set_error_message(guard.set);
    EXPECT_EQ(bytes_at(row.function), original) << "prepare must not patch";
    for (const io_case &c : row.cases) EXPECT_EQ(run(row, real_fixture, c.in), c.out);

    ASSERT_EQ(hook_set_install(guard.set), HOOK_OK) << hook_set_error_message(guard.set);
    // One word changes: the first, or the one behind a landing pad.
    EXPECT_TRUE(is_b(word(row.function, pad ? 1 : 0)));
    EXPECT_EQ(memcmp(bytes_at(row.function).bytes + (pad ? 8 : 4), original.bytes + (pad ? 8 : 4), pad ? 8 : 12), 0);
    if (pad) {
      EXPECT_EQ(memcmp(reinterpret_cast<const void *>(row.function), original.bytes, 4), 0);
    }
    replacement_calls = 0;
    for (const io_case &c : row.cases) {
      if (!row.via_x9) {
        EXPECT_EQ(row.function(c.in), c.out + 1000000);
      }
      EXPECT_EQ(run(row, real_fixture, c.in), c.out);
    }
    EXPECT_EQ(replacement_calls, row.via_x9 ? 0 : static_cast<int>(row.cases.size()));
    EXPECT_EQ(mapping_permissions(reinterpret_cast<void *>(real_fixture)), "r-xp");
    EXPECT_EQ(mapping_permissions(reinterpret_cast<void *>(row.function)), "r-xp");
    ASSERT_EQ(hook_set_uninstall(guard.set), HOOK_OK);
    EXPECT_EQ(bytes_at(row.function), original);
    for (const io_case &c : row.cases) EXPECT_EQ(run(row, row.function, c.in), c.out);
  }
}

TEST(HookFixturesAarch64, RefusedEntriesChangeNothing) {
  struct refused_fixture {
    const char *name;
    int_function function;
    int status;
  };
  const refused_fixture rows[] = {
      {"adr of the displaced word", fixture_a64_adr_self, HOOK_ERROR_UNRELOCATABLE},
      {"literal load of the displaced word", fixture_a64_ldr_self, HOOK_ERROR_UNRELOCATABLE},
      {"unallocated literal load", fixture_a64_undefined, HOOK_ERROR_DECODE},
      {"back-branch onto the word behind the pad", fixture_bti_loop_back, HOOK_ERROR_BRANCH_INTO_PATCH},
      {"entry not on a word", reinterpret_cast<int_function>(reinterpret_cast<uintptr_t>(fixture_single) + 2),
       HOOK_ERROR_DECODE},
  };
  hook_set_guard guard;
  for (const refused_fixture &row : rows) {
    SCOPED_TRACE(row.name);
    const code_bytes original = bytes_at(row.function);
    real_fixture = row.function;
    EXPECT_EQ(hook_set_prepare(guard.set, slot(), replacement()), row.status);
    EXPECT_EQ(real_fixture, row.function) << "the slot must stay untouched";
    EXPECT_EQ(bytes_at(row.function), original);
  }
  EXPECT_EQ(fixture_bti_loop_back(5), 0);
}

TEST(HookFixturesAarch64, SyscallWrapperAndStackedHooksOnASignedEntry) {
  hook_set_guard guard;
  real_fixture = fixture_bti_getpid;
  ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK) << hook_set_error_message(guard.set);
  ASSERT_EQ(hook_set_install(guard.set), HOOK_OK);
  EXPECT_EQ(fixture_bti_getpid(0), getpid() + 1000000);

  // A second set on a paciasp entry already hooked: the kept pad signs
  // twice over, and each stub takes its own signature back.
  hook_set_guard inner, outer;
  real_fixture = fixture_bti_paciasp;
  ASSERT_EQ(hook_set_prepare(inner.set, slot(), replacement()), HOOK_OK);
  ASSERT_EQ(hook_set_install(inner.set), HOOK_OK);
  static int_function real_outer;
  real_outer = fixture_bti_paciasp;
  const auto outer_replacement = [](int x) { return real_outer(x) + 1; };
  ASSERT_EQ(hook_set_prepare(outer.set, reinterpret_cast<void **>(&real_outer),
                             reinterpret_cast<void *>(+outer_replacement)),
            HOOK_OK)
      << hook_set_error_message(outer.set);
  ASSERT_EQ(hook_set_install(outer.set), HOOK_OK);
  replacement_calls = 0;
  volatile int_function indirect = fixture_bti_paciasp;
  EXPECT_EQ(indirect(1), 43 + 1000000 + 1);
  EXPECT_EQ(replacement_calls, 1);
  ASSERT_EQ(hook_set_uninstall(outer.set), HOOK_OK);
  ASSERT_EQ(hook_set_uninstall(inner.set), HOOK_OK);
  EXPECT_EQ(indirect(1), 43);
}

// Whether an indirect call to a word that is no landing pad is stopped.
bool indirect_call_off_a_pad_faults() {
  const pid_t child = fork();
  if (child == 0) {
    volatile int_function no_pad = fixture_bti_no_pad;
    no_pad(0);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGILL;
}

TEST(HookFixturesAarch64, GuardedPagesStayGuardedAndTrampolinesAreLandingPads) {
  constexpr unsigned long HWCAP2_BTI_BIT = 1ul << 17;
  if (!(getauxval(AT_HWCAP2) & HWCAP2_BTI_BIT)) GTEST_SKIP() << "the processor has no BTI";
  ASSERT_TRUE(indirect_call_off_a_pad_faults()) << "the fixtures' pages are not guarded";
  hook_set_guard guard;
  real_fixture = fixture_bti_adrp;
  ASSERT_EQ(hook_set_prepare(guard.set, slot(), replacement()), HOOK_OK);
  ASSERT_EQ(hook_set_install(guard.set), HOOK_OK);
  EXPECT_TRUE(indirect_call_off_a_pad_faults()) << "install dropped the guard";
  volatile int_function indirect = fixture_bti_adrp;
  EXPECT_EQ(indirect(1), 101 + 1000000);
  ASSERT_EQ(hook_set_uninstall(guard.set), HOOK_OK);
  EXPECT_TRUE(indirect_call_off_a_pad_faults()) << "uninstall dropped the guard";
}

}  // namespace
