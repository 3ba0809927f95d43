// The seven C-library functions the interception layer hooks, hooked here by
// counting replacements that forward to their trampolines: the replacement
// must run, and the real function must still do its work.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "fixtures.hpp"
#include "hook/hook.hpp"
#include "loopback.hpp"
#include "scratch_directory.hpp"

namespace {

// ---- counting replacements ----------------------------------------------

int (*real_open)(const char *, int, ...);
FILE *(*real_fopen)(const char *, const char *);
int (*real_creat)(const char *, mode_t);
int (*real_connect)(int, const sockaddr *, socklen_t);
int (*real_getaddrinfo)(const char *, const char *, const addrinfo *, addrinfo **);
int (*real_execve)(const char *, char *const[], char *const[]);
int (*real_close)(int);

int open_calls, fopen_calls, creat_calls, connect_calls, getaddrinfo_calls, execve_calls, close_calls;
int execve_report_fd = -1;  // the execve replacement writes one byte here, if set

int counting_open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  ++open_calls;
  return real_open(path, flags, mode);
}
FILE *counting_fopen(const char *path, const char *mode) {
  ++fopen_calls;
  return real_fopen(path, mode);
}
int counting_creat(const char *path, mode_t mode) {
  ++creat_calls;
  return real_creat(path, mode);
}
int counting_connect(int fd, const sockaddr *address, socklen_t length) {
  ++connect_calls;
  return real_connect(fd, address, length);
}
int counting_getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **result) {
  ++getaddrinfo_calls;
  return real_getaddrinfo(node, service, hints, result);
}
int counting_execve(const char *path, char *const argv[], char *const envp[]) {
  ++execve_calls;
  if (execve_report_fd >= 0 && write(execve_report_fd, "x", 1) != 1) _exit(126);
  return real_execve(path, argv, envp);
}
int counting_close(int fd) {
  ++close_calls;
  return real_close(fd);
}

// ---- one call each, checking the real effect ----------------------------

bool call_open() {
  int fd = open("/dev/null", O_RDONLY);
  if (fd < 0) return false;
  return ::syscall(SYS_close, fd) == 0;
}

bool call_fopen() {
  FILE *file = fopen("/dev/null", "r");
  if (!file) return false;
  bool empty = fgetc(file) == EOF;
  fclose(file);
  return empty;
}

bool call_creat() {
  scratch_directory dir;
  if (dir.path.empty()) return false;
  std::string path = dir.file("created");
  int fd = creat(path.c_str(), 0600);
  struct stat info {};
  bool created = fd >= 0 && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  if (fd >= 0) ::syscall(SYS_close, fd);
  unlink(path.c_str());
  return created;
}

bool call_connect() {
  int port = 0;
  int listener = loopback_listener(1, &port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = listener >= 0;
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ok = ok && client >= 0 && connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  if (client >= 0) ::syscall(SYS_close, client);
  if (listener >= 0) ::syscall(SYS_close, listener);
  return ok;
}

bool call_getaddrinfo() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *result = nullptr;
  if (getaddrinfo("localhost", nullptr, &hints, &result) != 0 || !result) return false;
  auto *address = reinterpret_cast<sockaddr_in *>(result->ai_addr);
  bool loopback = (ntohl(address->sin_addr.s_addr) >> 24) == 127;
  freeaddrinfo(result);
  return loopback;
}

bool call_execve() {
  char name[] = "missing";
  char *argv[] = {name, nullptr};
  char *envp[] = {nullptr};
  errno = 0;
  return execve("/nonexistent/tesselguard-hook-test", argv, envp) == -1 && errno == ENOENT;
}

bool call_close() {
  int fd = open("/dev/null", O_RDONLY);
  if (fd < 0) return false;
  if (close(fd) != 0) return false;
  return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// ---- the table ------------------------------------------------------------

struct libc_hook {
  const char *name;
  void **slot;
  void *replacement;
  int *calls;
  bool (*call)();
};

template <typename F>
void **slot_of(F *slot) {
  return reinterpret_cast<void **>(slot);
}

// In the interception layer's order of preparation.
const libc_hook HOOKS[] = {
    {"open", slot_of(&real_open), reinterpret_cast<void *>(counting_open), &open_calls, call_open},
    {"fopen", slot_of(&real_fopen), reinterpret_cast<void *>(counting_fopen), &fopen_calls, call_fopen},
    {"creat", slot_of(&real_creat), reinterpret_cast<void *>(counting_creat), &creat_calls, call_creat},
    {"connect", slot_of(&real_connect), reinterpret_cast<void *>(counting_connect), &connect_calls, call_connect},
    {"getaddrinfo", slot_of(&real_getaddrinfo), reinterpret_cast<void *>(counting_getaddrinfo), &getaddrinfo_calls,
     call_getaddrinfo},
    {"execve", slot_of(&real_execve), reinterpret_cast<void *>(counting_execve), &execve_calls, call_execve},
    {"close", slot_of(&real_close), reinterpret_cast<void *>(counting_close), &close_calls, call_close},
};
constexpr int EXECVE = 5;
constexpr int CLOSE = 6;

// The C library's own function, not a sanitizer's interceptor of the same name.
void *libc_function(const char *name) {
  void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  void *function = libc ? dlsym(libc, name) : nullptr;
  if (libc) dlclose(libc);
  return function;
}

TEST(HookLibc, EachFunctionHooksCallsUninstallsAndCallsAgain) {
  for (const libc_hook &hook : HOOKS) {
    SCOPED_TRACE(hook.name);
    void *function = libc_function(hook.name);
    ASSERT_NE(function, nullptr);
    code_bytes original;
    memcpy(original.bytes, function, sizeof original.bytes);
    *hook.slot = function;
    hook_set *set = hook_set_create();
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(hook_set_prepare(set, hook.slot, hook.replacement), HOOK_OK) << hook_set_error_message(set);
    ASSERT_NE(*hook.slot, function);
    ASSERT_EQ(hook_set_install(set), HOOK_OK) << hook_set_error_message(set);
    *hook.calls = 0;
    EXPECT_TRUE(hook.call());
    EXPECT_EQ(*hook.calls, 1);
    ASSERT_EQ(hook_set_uninstall(set), HOOK_OK);
    EXPECT_TRUE(hook.call());
    EXPECT_EQ(*hook.calls, 1);
    EXPECT_EQ(memcmp(function, original.bytes, sizeof original.bytes), 0);
    EXPECT_EQ(hook_set_destroy(set), HOOK_OK);
    EXPECT_EQ(*hook.slot, function) << "destroy hands the slot its function back";
  }
}

TEST(HookLibc, ExecveThroughTheHookStartsTheProgram) {
  execve_calls = 0;
  real_execve = reinterpret_cast<decltype(real_execve)>(libc_function("execve"));
  hook_set *set = hook_set_create();
  ASSERT_EQ(hook_set_prepare(set, HOOKS[EXECVE].slot, HOOKS[EXECVE].replacement), HOOK_OK);
  ASSERT_EQ(hook_set_install(set), HOOK_OK);
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  pid_t child = fork();
  if (child == 0) {
    execve_report_fd = report[1];
    char sh[] = "sh", flag[] = "-c", script[] = "exit 3";
    char *argv[] = {sh, flag, script, nullptr};
    char *envp[] = {nullptr};
    execve("/bin/sh", argv, envp);
    _exit(127);
  }
  ::syscall(SYS_close, report[1]);
  char byte = 0;
  EXPECT_EQ(read(report[0], &byte, 1), 1) << "the replacement did not run in the child";
  ::syscall(SYS_close, report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3) << "the program did not run";
  EXPECT_EQ(hook_set_destroy(set), HOOK_OK);
}

// What the fork handler of the interception layer does in a child: drop the
// whole set, then hook execve and close again in a new one.
int child_after_fork(hook_set *set) {
  if (hook_set_uninstall(set) != HOOK_OK || hook_set_destroy(set) != HOOK_OK) return 10;
  for (const libc_hook &hook : HOOKS)
    if (*hook.slot != libc_function(hook.name)) return 11;
  hook_set *child_set = hook_set_create();
  if (!child_set) return 12;
  if (hook_set_prepare(child_set, HOOKS[EXECVE].slot, HOOKS[EXECVE].replacement) != HOOK_OK) return 13;
  if (hook_set_prepare(child_set, HOOKS[CLOSE].slot, HOOKS[CLOSE].replacement) != HOOK_OK) return 14;
  if (hook_set_install(child_set) != HOOK_OK) return 15;
  open_calls = close_calls = execve_calls = 0;
  if (!call_close() || close_calls != 1) return 16;
  if (open_calls != 0) return 17;
  if (!call_execve() || execve_calls != 1) return 18;
  return hook_set_destroy(child_set) == HOOK_OK ? 0 : 19;
}

TEST(HookLibc, AllSevenInOneSetAndTheForkedChildSequence) {
  hook_set *set = hook_set_create();
  ASSERT_NE(set, nullptr);
  for (const libc_hook &hook : HOOKS) {
    *hook.slot = libc_function(hook.name);
    ASSERT_EQ(hook_set_prepare(set, hook.slot, hook.replacement), HOOK_OK)
        << hook.name << ": " << hook_set_error_message(set);
  }
  ASSERT_EQ(hook_set_install(set), HOOK_OK) << hook_set_error_message(set);
  // The patched pages, and those between them (made writable with them or
  // not), are read-execute again.
  uintptr_t lowest = UINTPTR_MAX, highest = 0;
  for (const libc_hook &hook : HOOKS) {
    const auto at = reinterpret_cast<uintptr_t>(libc_function(hook.name));
    lowest = std::min(lowest, at);
    highest = std::max(highest, at);
  }
  for (uintptr_t at = lowest; at <= highest; at += 4096)
    ASSERT_EQ(mapping_permissions(reinterpret_cast<void *>(at)), "r-xp") << std::hex << at;
  for (const libc_hook &hook : HOOKS) {
    SCOPED_TRACE(hook.name);
    int before = *hook.calls;
    EXPECT_TRUE(hook.call());
    EXPECT_GE(*hook.calls, before + 1);  // the library may call some of them itself
  }

  pid_t child = fork();
  if (child == 0) _exit(child_after_fork(set));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's step that failed";

  // The parent kept its hooks.
  int before = open_calls;
  EXPECT_TRUE(call_open());
  EXPECT_EQ(open_calls, before + 1);
  EXPECT_EQ(hook_set_destroy(set), HOOK_OK);
  before = open_calls;
  EXPECT_TRUE(call_open());
  EXPECT_EQ(open_calls, before);
}

}  // namespace
