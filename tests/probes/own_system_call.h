/* A system call as native code makes it, past every C-library function
 * (the C library's syscall() is watched): -1 and errno on failure, as
 * syscall() returns. Up to four arguments. */
#ifndef TESSELGUARD_PROBE_OWN_SYSTEM_CALL_H
#define TESSELGUARD_PROBE_OWN_SYSTEM_CALL_H

#include <errno.h>

static inline long own_system_call(long number, long a, long b, long c, long d) {
  long result;
#if defined(__x86_64__)
  register long r10 __asm__("r10") = d;
  __asm__ volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  result = x0;
#else
#error "no system call instruction for this processor"
#endif
  if (result < 0 && result > -4096) {
    errno = (int)-result;
    return -1;
  }
  return result;
}

#endif
