// A floor under the hooks, laid by the kernel: once any rule is at block,
// io_uring_setup fails with EPERM in every process of the function. A ring
// makes the kernel open, write and connect on its behalf, past every hooked
// entry point; without one, runtimes (libuv) fall back to their thread pools,
// whose calls the hooks see.
//
// The filter judges the system call's number only. Filters that judge the
// caller's address were measured and rejected: they kill every dynamically
// linked program started after them, and Go.
//
// It is laid once per function: by the configuration call that first puts a
// rule at block, in the function's first process (threads included, through
// TSYNC); a filter is inherited by fork and execve, so a program started
// later has it already, and lays it itself only when it was started before
// the policy reached block.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "startup/startup.hpp"

namespace {

constexpr unsigned IO_URING_SETUP = 425;  // the same number on every Linux architecture

#if defined(__x86_64__)
constexpr unsigned NATIVE_ARCH = AUDIT_ARCH_X86_64;
constexpr unsigned X32_BIT = 0x40000000;
#elif defined(__aarch64__)
constexpr unsigned NATIVE_ARCH = AUDIT_ARCH_AARCH64;
#endif

bool any_rule_at_block() {
  const state_record *record = state_map;
  return record && (record->read_write_tmp == MODE_BLOCK || record->create_child_process == MODE_BLOCK ||
                    record->outbound_connectivity == MODE_BLOCK || record->read_handler == MODE_BLOCK);
}

// 0 when laid, else the kernel's error.
int lay_io_uring_floor() {
  constexpr sock_filter REFUSE = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
  constexpr sock_filter ALLOW = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
#if defined(__x86_64__)
      // 32-bit system calls (int 0x80) use the same number.
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 1, 0),
#endif
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#if defined(__x86_64__)
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~X32_BIT),
#else
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~0u),
#endif
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IO_URING_SETUP, 1, 0),
      ALLOW,
      REFUSE,
  };
  const sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) != 0) return errno;
  return 0;
}

// Tried once per process, laid or not.
bool tried_here = false;

}  // namespace

void keep_kernel_floor(bool at_configuration) {
  if (tried_here || !any_rule_at_block()) return;
  // At a start: a filter inherited is the function's, laid before this
  // program started. None means this program was started before the policy
  // reached block, or the first process could not lay it (and has said so).
  if (!at_configuration && prctl(PR_GET_SECCOMP, 0, 0, 0, 0) == 2) return;
  tried_here = true;
  // ENOSYS: no seccomp at all here (an emulator, say), nothing refused.
  if (const int error = lay_io_uring_floor(); error && error != ENOSYS && at_configuration)
    print_message(message_stream::error, "io_uring stays open: the kernel refused its filter: %s", strerror(error));
}
