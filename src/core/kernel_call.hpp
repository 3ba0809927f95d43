// A system call made by the library's own instruction, not the C library's
// syscall(): that one is patched, and hands the numbers of watched calls to
// their judgement, which the library's own work must not meet.
#pragma once

#include <cerrno>

inline long kernel_call(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
  long result;
#if defined(__x86_64__)
  register long r10 asm("r10") = d;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
               : "rcx", "r11", "memory");
#elif defined(__aarch64__)
  register long x8 asm("x8") = number;
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  result = x0;
#else
#error "kernel_call: no system call instruction for this processor"
#endif
  // As the C library's syscall(): -1 and errno on failure.
  if (result < 0 && result > -4096) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return result;
}
