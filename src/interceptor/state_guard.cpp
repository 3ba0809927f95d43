// What would reach the shared record, or another process's memory, without
// opening a file: cutting the state file short (truncate, ftruncate), making
// the mapped record writable or putting something else in its place
// (mprotect, pkey_mprotect, munmap, mremap, mmap and shmat over it,
// remap_file_pages), and reading or writing the memory of another process of
// the function (process_vm_readv, process_vm_writev, ptrace).
//
// Each is refused always, whatever the rules, with the one record that
// opening the same thing gives: an "fs_open" of the state file's path, or of
// /proc/<pid>/mem for the other process, which the policy refuses by name.
// The library's own write of the record makes it writable with a system
// call of its own, not through these.
//
// The C library's syscall() with the numbers of these calls is judged as
// they are: one call through an FFI would otherwise reach them unwatched.
//
// truncate(path) is also an open for writing of that path, and is judged as
// one by the file it reaches: opened first with O_PATH (which changes
// nothing and follows links as truncate does), judged by the kernel's path
// of it, and then cut through that very descriptor.
#include "interceptor/interceptor.hpp"

#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include "core/core.hpp"

namespace {

constexpr int TRUNCATING = O_WRONLY | O_TRUNC;

// The refusal of an attempt on the record: its record, then the verdict
// (222 even when no event could be made: the record is never given up).
int refuse_record_access() {
  char scratch[PATH_MAX];
  const int verdict = judge_canonical_path(state_file_canonical_path(scratch), O_RDWR);
  return verdict ? verdict : VERDICT_REFUSE;
}

int refuse_memory_access(pid_t pid) {
  char path[48];
  snprintf(path, sizeof path, "/proc/%d/mem", static_cast<int>(pid));
  const int verdict = judge_canonical_path(path, O_RDWR);
  return verdict ? verdict : VERDICT_REFUSE;
}

// Another process: its memory is the function's too. The caller's own is
// not watched (it can read and write that directly).
bool is_other_process(pid_t pid) { return pid > 0 && pid != getpid(); }

// Requests that attach to a process or read or change its memory or
// registers. Without an attach no other process is a tracee, except a child
// that asked for it (PTRACE_TRACEME), whose memory the rest still guards.
bool reaches_into(int request) {
  switch (request) {
    case PTRACE_ATTACH:
    case PTRACE_SEIZE:
    case PTRACE_PEEKTEXT:
    case PTRACE_PEEKDATA:
    case PTRACE_PEEKUSER:
    case PTRACE_POKETEXT:
    case PTRACE_POKEDATA:
    case PTRACE_POKEUSER:
    case PTRACE_SETREGSET:
    case PTRACE_SETSIGINFO:
#ifdef PTRACE_SETREGS
    case PTRACE_SETREGS:
    case PTRACE_SETFPREGS:
#endif
      return true;
    default:
      return false;
  }
}

template <typename T>
T refused(int verdict, T failure) {
  errno = verdict;
  return failure;
}

}  // namespace

int hooked_truncate(const char *path, off_t length) {
  if (!path || !path[0] || !registered_callback) return real_truncate(path, length);
  const int fd = real_openat(AT_FDCWD, path, O_PATH | O_CLOEXEC);
  char kernel_path[PATH_MAX];
  if (fd < 0 || !descriptor_path(fd, kernel_path)) {
    // Nothing there (or no /proc): judged by the text, then the kernel's
    // own answer.
    const int error = errno;
    if (fd >= 0) real_close(fd);
    if (const int verdict = judge_path_text(AT_FDCWD, path, TRUNCATING)) return refused(verdict, -1);
    errno = error;
    return real_truncate(path, length);
  }
  if (const int verdict = judge_opened_file(kernel_path, TRUNCATING, fd)) {
    real_close(fd);
    return refused(verdict, -1);
  }
  char through[40];
  snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
  const int result = real_truncate(through, length);
  const int error = errno;
  real_close(fd);
  errno = error;
  return result;
}

int hooked_ftruncate(int fd, off_t length) {
  // The descriptor's open was judged; only the state file is refused again.
  // No process keeps one open, so this needs one that came round the hooks.
  struct stat info;
  const int saved = errno;
  if (registered_callback && state_identity.path[0] && fstat(fd, &info) == 0 &&
      info.st_dev == state_identity.device && info.st_ino == state_identity.inode)
    return refused(refuse_record_access(), -1);
  errno = saved;
  return real_ftruncate(fd, length);
}

int hooked_mprotect(void *address, size_t length, int protection) {
  if (touches_state_mapping(address, length)) return refused(refuse_record_access(), -1);
  return real_mprotect(address, length, protection);
}

int hooked_pkey_mprotect(void *address, size_t length, int protection, int key) {
  if (touches_state_mapping(address, length)) return refused(refuse_record_access(), -1);
  return real_pkey_mprotect(address, length, protection, key);
}

int hooked_munmap(void *address, size_t length) {
  if (touches_state_mapping(address, length)) return refused(refuse_record_access(), -1);
  return real_munmap(address, length);
}

void *hooked_mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
  // MAP_FIXED_NOREPLACE leaves a mapping in place.
  const bool replaces = (flags & MAP_FIXED) != 0 && (flags & MAP_FIXED_NOREPLACE) != MAP_FIXED_NOREPLACE;
  if (replaces && touches_state_mapping(address, length)) return refused(refuse_record_access(), MAP_FAILED);
  return real_mmap(address, length, protection, flags, fd, offset);
}

void *hooked_mremap(void *old_address, size_t old_length, size_t new_length, int flags, ...) {
  void *new_address = nullptr;
  if (flags & MREMAP_FIXED) {
    va_list rest;
    va_start(rest, flags);
    new_address = va_arg(rest, void *);
    va_end(rest);
  }
  // A length of 0 copies a shared mapping: the record's pages stay as they are.
  const bool moves_record = old_length > 0 && touches_state_mapping(old_address, old_length);
  const bool lands_on_record = (flags & MREMAP_FIXED) && touches_state_mapping(new_address, new_length);
  if (moves_record || lands_on_record) return refused(refuse_record_access(), MAP_FAILED);
  return real_mremap(old_address, old_length, new_length, flags, new_address);
}

int hooked_remap_file_pages(void *address, size_t length, int protection, size_t page_offset, int flags) {
  if (touches_state_mapping(address, length)) return refused(refuse_record_access(), -1);
  return real_remap_file_pages(address, length, protection, page_offset, flags);
}

void *hooked_shmat(int id, const void *address, int flags) {
  if ((flags & SHM_REMAP) && address && touches_state_mapping(address, 1))
    return refused(refuse_record_access(), reinterpret_cast<void *>(-1));
  return real_shmat(id, address, flags);
}

ssize_t hooked_process_vm_readv(pid_t pid, const struct iovec *local, unsigned long local_count,
                                const struct iovec *remote, unsigned long remote_count, unsigned long flags) {
  if (is_other_process(pid)) return refused(refuse_memory_access(pid), static_cast<ssize_t>(-1));
  return real_process_vm_readv(pid, local, local_count, remote, remote_count, flags);
}

ssize_t hooked_process_vm_writev(pid_t pid, const struct iovec *local, unsigned long local_count,
                                 const struct iovec *remote, unsigned long remote_count, unsigned long flags) {
  if (is_other_process(pid)) return refused(refuse_memory_access(pid), static_cast<ssize_t>(-1));
  return real_process_vm_writev(pid, local, local_count, remote, remote_count, flags);
}

long hooked_ptrace(enum __ptrace_request request, ...) {
  // The C library reads all three always; so does this.
  va_list rest;
  va_start(rest, request);
  const pid_t pid = va_arg(rest, pid_t);
  void *address = va_arg(rest, void *);
  void *data = va_arg(rest, void *);
  va_end(rest);
  if (reaches_into(request) && is_other_process(pid)) return refused(refuse_memory_access(pid), -1L);
  return real_ptrace(request, pid, address, data);
}

long hooked_syscall(long number, ...) {
  // Six words, as the C library's syscall reads them whatever the number.
  va_list rest;
  va_start(rest, number);
  long a[6];
  for (long &word : a) word = va_arg(rest, long);
  va_end(rest);
  auto pointer = [](long word) { return reinterpret_cast<void *>(word); };
  const auto size = [](long word) { return static_cast<size_t>(word); };
  switch (number) {
    case SYS_truncate:
      return hooked_truncate(static_cast<const char *>(pointer(a[0])), a[1]);
    case SYS_ftruncate:
      return hooked_ftruncate(static_cast<int>(a[0]), a[1]);
    case SYS_mprotect:
      if (record_protection_of_ours()) break;
      return hooked_mprotect(pointer(a[0]), size(a[1]), static_cast<int>(a[2]));
    case SYS_pkey_mprotect:
      if (touches_state_mapping(pointer(a[0]), size(a[1]))) return refused(refuse_record_access(), -1L);
      break;
    case SYS_munmap:
      return hooked_munmap(pointer(a[0]), size(a[1]));
    case SYS_mmap:
      return reinterpret_cast<long>(hooked_mmap(pointer(a[0]), size(a[1]), static_cast<int>(a[2]),
                                                static_cast<int>(a[3]), static_cast<int>(a[4]), a[5]));
    case SYS_mremap:
      return reinterpret_cast<long>(
          hooked_mremap(pointer(a[0]), size(a[1]), size(a[2]), static_cast<int>(a[3]), pointer(a[4])));
    case SYS_remap_file_pages:
      return hooked_remap_file_pages(pointer(a[0]), size(a[1]), static_cast<int>(a[2]), size(a[3]),
                                     static_cast<int>(a[4]));
    case SYS_shmat:
      return reinterpret_cast<long>(hooked_shmat(static_cast<int>(a[0]), pointer(a[1]), static_cast<int>(a[2])));
    case SYS_process_vm_readv:
    case SYS_process_vm_writev:
    case SYS_ptrace: {
      const bool reaches = number != SYS_ptrace || reaches_into(static_cast<int>(a[0]));
      const auto pid = static_cast<pid_t>(number == SYS_ptrace ? a[1] : a[0]);
      if (reaches && is_other_process(pid)) return refused(refuse_memory_access(pid), -1L);
      break;
    }
    // Descriptor 999 (descriptor_protection.cpp).
    case SYS_close:
      return hooked_close(static_cast<int>(a[0]));
#ifdef SYS_dup2
    case SYS_dup2:
      return hooked_dup2(static_cast<int>(a[0]), static_cast<int>(a[1]));
#endif
    case SYS_dup3:
      return hooked_dup3(static_cast<int>(a[0]), static_cast<int>(a[1]), static_cast<int>(a[2]));
    case SYS_close_range:
      return hooked_close_range(static_cast<unsigned>(a[0]), static_cast<unsigned>(a[1]), static_cast<int>(a[2]));
    case SYS_fcntl:
      return hooked_fcntl(static_cast<int>(a[0]), static_cast<int>(a[1]), pointer(a[2]));
    case SYS_ioctl:
      return hooked_ioctl(static_cast<int>(a[0]), static_cast<unsigned long>(a[1]), pointer(a[2]));
    default: {
      long result = 0;
      if (route_watched_syscall(number, a, &result)) return result;
      break;
    }
  }
  return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
