// The interceptor installed in a process of its own (a forked copy of this
// test program), with a stand-in callback: the real patched functions, also
// where the library cannot be preloaded (the sanitizer build).
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "forked_child.hpp"
#include "hook/hook.hpp"
#include "interceptor/interceptor.hpp"
#include "interceptor_test_support.hpp"

namespace {

// What the stand-in callback saw; plain storage, filled without any call
// that could itself be intercepted.
constexpr int MAX_EVENTS = 64;
char seen_events[MAX_EVENTS][512];
std::atomic<int> seen_count{0};
std::atomic<int> verdict{0};

int remember_event(const char *text) {
  int index = seen_count.fetch_add(1);
  if (index < MAX_EVENTS && text) snprintf(seen_events[index], sizeof seen_events[index], "%s", text);
  return verdict.load();
}

int events_naming(const char *needle) {
  int count = 0;
  for (int i = 0; i < seen_count.load() && i < MAX_EVENTS; ++i)
    if (strstr(seen_events[i], needle)) ++count;
  return count;
}

TEST(InterceptorSetup, InstalledHooksJudgeOpensOnceAndProtectTheDescriptor) {
  scratch_directory scratch;
  const std::string file = scratch.file("x");
  auto [out, status] = run_in_child([&] {
    int log[2];
    if (pipe(log) != 0 || dup2(log[1], 999) != 999) _exit(3);
    int result = interceptor_init(remember_event, "{\"propagate_envs\":[],\"propagate_fds\":[999]}");
    printf("init %d\n", result);
    printf("start judged %d\n", events_naming("\"process_execution\""));

    verdict = 222;
    errno = 0;
    int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    printf("open %d errno %d\n", fd, errno);
    FILE *stream = fopen(file.c_str(), "w");
    printf("fopen %s errno %d\n", stream ? "stream" : "null", errno);
    fd = creat(file.c_str(), 0600);
    printf("creat %d errno %d\n", fd, errno);

    verdict = 0;
    stream = fopen(file.c_str(), "w");
    printf("allowed fopen %s\n", stream ? "stream" : "null");
    if (stream) fclose(stream);
    printf("fs_open events %d\n", events_naming(("\"path\":\"" + file + "\"").c_str()));

    errno = 0;
    int closed = close(999);
    printf("close999 %d errno %d\n", closed, errno);
    printf("write999 %d\n", static_cast<int>(write(999, "x", 1)));

    // A forked child keeps every hook.
    pid_t child = fork();
    if (child == 0) {
      verdict = 222;
      int before = seen_count.load();
      errno = 0;
      int opened = open(file.c_str(), O_RDONLY);
      const int open_errno = errno;
      errno = 0;
      int closed = close(999);
      printf("child open %d errno %d judged %d close999 %d errno %d\n", opened, open_errno,
             seen_count.load() - before, closed, errno);
      _exit(0);
    }
    int child_status = 0;
    waitpid(child, &child_status, 0);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_TRUE(has_lines(out, {"init 0", "start judged 1", "open -1 errno 222", "fopen null errno 222",
                              "creat -1 errno 222", "allowed fopen stream"}));
  // Three refused calls and one allowed fopen: one event each.
  EXPECT_TRUE(has_lines(out, {"fs_open events 4", "close999 -1 errno 1", "write999 1",
                              "child open -1 errno 222 judged 1 close999 -1 errno 1"}));
}

TEST(InterceptorSetup, RefusedStartEndsTheProcessBeforeAnyHook) {
  auto [out, status] = run_in_child([] {
    verdict = 13;
    interceptor_init(remember_event, "{}");
    printf("still running\n");
  });
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 13);
  EXPECT_EQ(out.find("still running"), std::string::npos);
}

// A hook that cannot be prepared: its status, the engine's reason on
// standard output, and the set freed (which also gives the already prepared
// open slot its function back).
TEST(InterceptorSetup, FailedPreparationReportsTheEngineMessageAndFreesTheSet) {
  auto [out, status] = run_in_child([] {
        hook_row rows[HOOK_COUNT];
        fill_hook_rows(rows);
        rows[1].replacement = nullptr;  // fopen
        hook_set *installed = nullptr;
        int result = install_hook_rows(rows, HOOK_COUNT, &installed);
        printf("status %d installed %d open slot restored %d\n", result, installed != nullptr,
               reinterpret_cast<void *>(real_open) == rows[0].function);
  });
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_TRUE(contains_line(out, "[interceptor_init] fopen: null slot, target or replacement")) << out;
  EXPECT_TRUE(contains_line(out, "status 5 installed 0 open slot restored 1")) << out;
}

// A hook whose failure is not looked at: that route stays unwatched, says
// so on standard error, and the rest is installed.
TEST(InterceptorSetup, IgnoredPreparationFailureLeavesOnlyThatRouteUnwatched) {
  auto [out, status] = run_in_child([] {
    hook_row rows[HOOK_COUNT];
    fill_hook_rows(rows);
    hook_row *dup3_row = nullptr;
    for (hook_row &row : rows)
      if (std::string(row.name) == "dup3") dup3_row = &row;
    dup3_row->replacement = nullptr;
    dup2(1, 2);  // the message into the captured output
    hook_set *installed = nullptr;
    int result = install_hook_rows(rows, HOOK_COUNT, &installed);
    printf("status %d installed %d dup3 slot is dup3 %d\n", result, installed != nullptr,
           reinterpret_cast<void *>(real_dup3) == dup3_row->function);
    if (installed) hook_set_destroy(installed);
  });
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_TRUE(contains_line(out, "[INTERCEPTOR] dup3 is not watched: null slot, target or replacement")) << out;
  EXPECT_TRUE(contains_line(out, "status 0 installed 1 dup3 slot is dup3 1")) << out;
}

// Two rows of one function (as another name of it would give): hooked once,
// the second row's real function is the first one's trampoline, and nothing
// is reported unwatched.
TEST(InterceptorSetup, TwoNamesOfOneFunctionShareOneHook) {
  auto [out, status] = run_in_child([] {
    hook_row rows[HOOK_COUNT];
    fill_hook_rows(rows);
    hook_row *dup_row = nullptr, *dup2_row = nullptr;
    for (hook_row &row : rows) {
      if (std::string(row.name) == "dup") dup_row = &row;
      if (std::string(row.name) == "dup2") dup2_row = &row;
    }
    dup2_row->function = dup_row->function;  // dup's row comes later in the table
    dup2(1, 2);
    hook_set *installed = nullptr;
    const int result = install_hook_rows(rows, HOOK_COUNT, &installed);
    printf("status %d shared %d trampoline %d\n", result, *dup_row->slot == *dup2_row->slot,
           *dup_row->slot != dup_row->function);
    if (installed) hook_set_destroy(installed);
  });
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(out.find("not watched"), std::string::npos) << out;
  EXPECT_TRUE(contains_line(out, "status 0 shared 1 trampoline 1")) << out;
}

// Every row's function is the C library's, found in its own symbol table:
// what the loader binds the name to where nothing interposes it (the
// sanitizers' runtimes do), with a size for each, and the private entry
// point found too.
TEST(InterceptorSetup, RowsAreTheCLibrarysFunctionsWithTheirSizes) {
  hook_row rows[HOOK_COUNT];
  fill_hook_rows(rows);
  Dl_info own{};
  ASSERT_NE(dladdr(reinterpret_cast<void *>(&gnu_get_libc_version), &own), 0);
  for (const hook_row &row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NE(row.function, nullptr);
    EXPECT_GT(row.size, 0u);
    Dl_info info{};
    ASSERT_NE(dladdr(row.function, &info), 0);
    EXPECT_EQ(info.dli_fbase, own.dli_fbase) << "not the C library's";
#ifndef TG_SANITIZED_BUILD
    void *bound = dlsym(RTLD_DEFAULT, row.name);
    if (bound == nullptr) bound = dlvsym(RTLD_DEFAULT, row.name, "GLIBC_PRIVATE");
    EXPECT_EQ(row.function, bound);
#endif
  }
}

}  // namespace
