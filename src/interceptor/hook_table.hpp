// The hooked C-library functions, each declared once, in the order of
// preparation. From this list come the real_<name> slots (config.cpp), the
// hooked_<name> prototypes (interceptor.hpp) and the set-up rows (setup.cpp);
// a replacement whose signature differs from its row does not link.
//
// X(name, result, parameters, status when preparing fails)
//
// A forked child keeps every hook: the patched code and the trampolines are
// part of the memory it copies.
#pragma once

#include <fcntl.h>
#include <netdb.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/shm.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

// Status codes of interceptor_init (0: all hooks active).
enum interceptor_status : int {
  STATUS_CONFIG_NOT_JSON = 1,   // also: no memory for the configuration record
  STATUS_INSTALL = 2,
  STATUS_ATFORK = 3,
  STATUS_PREPARE_OPEN = 4,
  STATUS_PREPARE_FOPEN = 5,
  STATUS_PREPARE_CONNECT = 6,
  STATUS_PREPARE_GETADDRINFO = 7,
  STATUS_PREPARE_EXECVE = 8,
  STATUS_CONFIG_ENVS = 9,       // a "propagate_envs" element is not a string (or no memory for it)
  STATUS_CONFIG_FDS = 10,       // a "propagate_fds" element is not a number
  STATUS_PREPARE_CREAT = 11,
  STATUS_NO_MEMORY_FOR_HOOKS = 13,  // the hook set itself cannot be created
};
// A hook whose failed preparation is not looked at.
constexpr int PREPARE_FAILURE_IGNORED = 0;

#define TESSELGUARD_HOOKS(X)                                                                       \
  X(open, int, (const char *path, int flags, ...), STATUS_PREPARE_OPEN)                            \
  X(fopen, FILE *, (const char *path, const char *mode), STATUS_PREPARE_FOPEN)                     \
  X(creat, int, (const char *path, mode_t mode), STATUS_PREPARE_CREAT)                             \
  X(connect, int, (int sockfd, const struct sockaddr *addr, socklen_t addrlen), STATUS_PREPARE_CONNECT) \
  X(getaddrinfo, int,                                                                              \
    (const char *node, const char *service, const struct addrinfo *hints, struct addrinfo **res), \
    STATUS_PREPARE_GETADDRINFO)                                                                    \
  X(execve, int, (const char *path, char *const argv[], char *const envp[]), STATUS_PREPARE_EXECVE) \
  X(close, int, (int fd), PREPARE_FAILURE_IGNORED)                                                 \
  X(sendto, ssize_t,                                                                               \
    (int sockfd, const void *buf, size_t len, int flags, const struct sockaddr *dest_addr,         \
     socklen_t addrlen),                                                                           \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(sendmsg, ssize_t, (int sockfd, const struct msghdr *msg, int flags), PREPARE_FAILURE_IGNORED)  \
  X(sendmmsg, int, (int sockfd, struct mmsghdr *msgvec, unsigned int vlen, int flags),             \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(dup2, int, (int oldfd, int newfd), PREPARE_FAILURE_IGNORED)                                    \
  X(dup3, int, (int oldfd, int newfd, int flags), PREPARE_FAILURE_IGNORED)                         \
  X(close_range, int, (unsigned int first, unsigned int last, int flags), PREPARE_FAILURE_IGNORED) \
  X(openat, int, (int dirfd, const char *path, int flags, ...), PREPARE_FAILURE_IGNORED)           \
  X(execveat, int, (int dirfd, const char *path, char *const argv[], char *const envp[], int flags), \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(fexecve, int, (int fd, char *const argv[], char *const envp[]), PREPARE_FAILURE_IGNORED)      \
  /* The state record and the memory of other processes (state_guard.cpp). */                     \
  X(truncate, int, (const char *path, off_t length), PREPARE_FAILURE_IGNORED)                      \
  X(ftruncate, int, (int fd, off_t length), PREPARE_FAILURE_IGNORED)                               \
  X(mprotect, int, (void *address, size_t length, int protection), PREPARE_FAILURE_IGNORED)        \
  X(pkey_mprotect, int, (void *address, size_t length, int protection, int key),                   \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(munmap, int, (void *address, size_t length), PREPARE_FAILURE_IGNORED)                          \
  X(mmap, void *, (void *address, size_t length, int protection, int flags, int fd, off_t offset), \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(mremap, void *, (void *old_address, size_t old_length, size_t new_length, int flags, ...),     \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(remap_file_pages, int, (void *address, size_t length, int protection, size_t page_offset, int flags), \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(shmat, void *, (int id, const void *address, int flags), PREPARE_FAILURE_IGNORED)              \
  X(process_vm_readv, ssize_t,                                                                     \
    (pid_t pid, const struct iovec *local, unsigned long local_count, const struct iovec *remote,  \
     unsigned long remote_count, unsigned long flags),                                             \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(process_vm_writev, ssize_t,                                                                    \
    (pid_t pid, const struct iovec *local, unsigned long local_count, const struct iovec *remote,  \
     unsigned long remote_count, unsigned long flags),                                             \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(ptrace, long, (enum __ptrace_request request, ...), PREPARE_FAILURE_IGNORED)                   \
  X(syscall, long, (long number, ...), PREPARE_FAILURE_IGNORED)                                     \
  /* name lookups: what is written to a name server, its answers, copies of its socket */        \
  X(send, ssize_t, (int sockfd, const void *buf, size_t len, int flags), PREPARE_FAILURE_IGNORED)  \
  X(write, ssize_t, (int fd, const void *buf, size_t count), PREPARE_FAILURE_IGNORED)              \
  X(writev, ssize_t, (int fd, const struct iovec *iov, int iovcnt), PREPARE_FAILURE_IGNORED)       \
  X(recvfrom, ssize_t,                                                                             \
    (int sockfd, void *buf, size_t len, int flags, struct sockaddr *src_addr, socklen_t *addrlen), \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(dup, int, (int oldfd), PREPARE_FAILURE_IGNORED)                                                 \
  /* Names made under /tmp without an open (name_creation.cpp). */                                 \
  X(mkdir, int, (const char *path, mode_t mode), PREPARE_FAILURE_IGNORED)                          \
  X(mkdirat, int, (int dirfd, const char *path, mode_t mode), PREPARE_FAILURE_IGNORED)             \
  X(symlink, int, (const char *target, const char *path), PREPARE_FAILURE_IGNORED)                 \
  X(symlinkat, int, (const char *target, int dirfd, const char *path), PREPARE_FAILURE_IGNORED)    \
  X(link, int, (const char *old_path, const char *path), PREPARE_FAILURE_IGNORED)                  \
  X(linkat, int, (int old_dirfd, const char *old_path, int dirfd, const char *path, int flags),     \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(mknod, int, (const char *path, mode_t mode, dev_t device), PREPARE_FAILURE_IGNORED)            \
  X(mknodat, int, (int dirfd, const char *path, mode_t mode, dev_t device), PREPARE_FAILURE_IGNORED) \
  X(rename, int, (const char *old_path, const char *path), PREPARE_FAILURE_IGNORED)                \
  X(renameat, int, (int old_dirfd, const char *old_path, int dirfd, const char *path),              \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(renameat2, int, (int old_dirfd, const char *old_path, int dirfd, const char *path, unsigned flags), \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(bind, int, (int sockfd, const struct sockaddr *addr, socklen_t addrlen), PREPARE_FAILURE_IGNORED)   \
  /* the start phase: a server's accepted connection ends it */                                  \
  X(accept, int, (int sockfd, struct sockaddr *addr, socklen_t *addrlen), PREPARE_FAILURE_IGNORED) \
  X(accept4, int, (int sockfd, struct sockaddr *addr, socklen_t *addrlen, int flags),             \
    PREPARE_FAILURE_IGNORED)                                                                       \
  /* Descriptor 999 and program starts (descriptor_protection.cpp, exec_environment.cpp). */          \
  X(fcntl, int, (int fd, int cmd, ...), PREPARE_FAILURE_IGNORED)                                   \
  X(ioctl, int, (int fd, unsigned long request, ...), PREPARE_FAILURE_IGNORED)                     \
  X(closefrom, void, (int first), PREPARE_FAILURE_IGNORED)                                         \
  X(posix_spawn, int,                                                                              \
    (pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,                     \
     const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]),                 \
    PREPARE_FAILURE_IGNORED)                                                                       \
  X(posix_spawnp, int,                                                                             \
    (pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,                     \
     const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]),                 \
    PREPARE_FAILURE_IGNORED)                                                                        \
  /* Python's scratch files kept out of /tmp: the unlink of a name never made */                 \
  X(unlink, int, (const char *path), PREPARE_FAILURE_IGNORED)

// The C library's own entry points (GLIBC_PRIVATE), which its internal
// callers use in place of the public ones: posix_spawn's file actions, the
// utmp functions, streams opened with "c", closefrom's fallback. Looked up
// by name with the other rows, and not hooked when absent or another name of
// a row before. __open64_nocancel is
// another name of __open_nocancel on 64-bit systems, and __openat64_nocancel
// is not exported.
#define TESSELGUARD_PRIVATE_HOOKS(X)                                                               \
  X(__open_nocancel, int, (const char *path, int flags, ...), PREPARE_FAILURE_IGNORED)             \
  /* Descriptor 999 (descriptor_protection.cpp). */                                                \
  X(__close_nocancel, int, (int fd), PREPARE_FAILURE_IGNORED)

#define TESSELGUARD_DECLARE_SLOT(name, result, parameters, status) \
  extern result(*real_##name) parameters;
#define TESSELGUARD_DECLARE_REPLACEMENT(name, result, parameters, status) \
  result hooked_##name parameters;
TESSELGUARD_HOOKS(TESSELGUARD_DECLARE_SLOT)
TESSELGUARD_HOOKS(TESSELGUARD_DECLARE_REPLACEMENT)
TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_DECLARE_SLOT)
TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_DECLARE_REPLACEMENT)
#undef TESSELGUARD_DECLARE_SLOT
#undef TESSELGUARD_DECLARE_REPLACEMENT

struct hook_set;

// One row of the set-up: where the trampoline goes, what is patched, by what.
struct hook_row {
  const char *name;
  void **slot;
  void *function;
  void *replacement;
  int status;  // returned when preparing fails; PREPARE_FAILURE_IGNORED: not looked at
  size_t size;  // the function's length in bytes, by its symbol; 0 when not known
};

constexpr int HOOK_COUNT = 0
#define TESSELGUARD_COUNT_HOOK(...) +1
    TESSELGUARD_HOOKS(TESSELGUARD_COUNT_HOOK) TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_COUNT_HOOK);
#undef TESSELGUARD_COUNT_HOOK

// The C library's function of each row, in table order, and its length:
// found when the library is loaded (config.cpp), in the C library's own
// symbol table. Null for a private entry point that is absent.
extern void *c_library_functions[HOOK_COUNT];
extern size_t c_library_function_sizes[HOOK_COUNT];

// Rows of every hook, in table order, for the real C-library functions; a
// private entry point that is absent, or another name of a function before,
// has a null function and is not hooked.
void fill_hook_rows(hook_row (&rows)[HOOK_COUNT]);

// Puts each row's function into its slot and prepares it in a new set,
// then installs the set. On success the set goes to *installed and 0 is
// returned. On a failure the engine's message is printed, the set is freed
// (slots get their functions back) and the row's status, STATUS_INSTALL or
// STATUS_NO_MEMORY_FOR_HOOKS is returned.
int install_hook_rows(const hook_row *rows, int count, hook_set **installed);
