// The entry of a probe built for BTI-guarded pages. The C run-time's start
// files on this machine carry no landing pads (the loader's jump to _start
// and its calls of _init would fault on guarded pages), so the BTI probe is
// linked without them and starts here: the loader's clean-up registered,
// then exit(main(argc, argv, envp)).
  .text
  .globl _start
  .type _start, %function
_start:
  bti jc
  mov x29, #0
  mov x30, #0
  mov x19, x0
  ldr x20, [sp]
  add x21, sp, #8
  cbz x19, 1f
  mov x0, x19
  mov x1, #0
  mov x2, #0
  bl __cxa_atexit
1:
  mov w0, w20
  mov x1, x21
  add x2, x21, x20, lsl #3
  add x2, x2, #8
  bl main
  bl exit
  .size _start, . - _start

#include "../support/bti_note_aarch64.h"
