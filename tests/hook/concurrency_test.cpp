// Installing and uninstalling while other threads keep calling the target.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fixtures.hpp"
#include "hook/hook.hpp"

namespace {

int_function real_single = nullptr;
std::atomic<long> hooked_calls{0};

int forwarding_replacement(int x) {
  hooked_calls.fetch_add(1, std::memory_order_relaxed);
  return real_single(x);
}

// Called through a volatile pointer so that every call really enters the code.
int_function volatile target = fixture_single;

TEST(HookConcurrency, ThreadsKeepCallingWhileTheHookComesAndGoes) {
  hook_set *set = hook_set_create();
  ASSERT_NE(set, nullptr);
  real_single = fixture_single;
  ASSERT_EQ(hook_set_prepare(set, reinterpret_cast<void **>(&real_single),
                             reinterpret_cast<void *>(forwarding_replacement)),
            HOOK_OK);

  std::atomic<bool> stop{false};
  std::atomic<long> wrong{0}, calls{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&, t] {
      for (int x = t; !stop.load(std::memory_order_relaxed); x = (x + 7) & 0xffff) {
        if (target(x) != x + 4096) wrong.fetch_add(1);
        calls.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  long own_hooked = 0;
  for (int round = 0; round < 3000; ++round) {
    ASSERT_EQ(hook_set_install(set), HOOK_OK);
    long before = hooked_calls.load();
    if (target(round) != round + 4096) wrong.fetch_add(1);
    own_hooked += hooked_calls.load() > before;
    ASSERT_EQ(hook_set_uninstall(set), HOOK_OK);
  }
  stop = true;
  for (std::thread &caller : callers) caller.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(own_hooked, 3000) << "the installing thread's own calls must reach the replacement";
  EXPECT_GT(calls.load(), 0);
  EXPECT_EQ(hook_set_destroy(set), HOOK_OK);
}

}  // namespace
