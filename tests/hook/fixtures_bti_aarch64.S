// Entries built with branch protection, as the C libraries of the Arm
// platforms begin: bti c or paciasp/pacibsp first. They are linked into a
// library marked for BTI, whose code pages the loader guards where the
// processor has BTI: every indirect call must land on a landing pad there.

#define FIXTURE(name) \
  .p2align 4; .globl name; .type name, %function; name:
#define END(name) .size name, . - name

  .text

// paciasp, then the frame: the stub takes the signature back. Returns x + 42.
FIXTURE(fixture_bti_paciasp)
  paciasp
  stp x29, x30, [sp, #-16]!
  mov x29, sp
  add w0, w0, #42
  ldp x29, x30, [sp], #16
  autiasp
  ret
END(fixture_bti_paciasp)

// pacibsp, the B key. Returns x + 43.
FIXTURE(fixture_bti_pacibsp)
  pacibsp
  stp x29, x30, [sp, #-16]!
  add w0, w0, #43
  ldp x29, x30, [sp], #16
  autibsp
  ret
END(fixture_bti_pacibsp)

// bti c, then adrp. Returns x + 100.
FIXTURE(fixture_bti_adrp)
  bti c
  adrp x1, bti_hundred
  ldr w1, [x1, :lo12:bti_hundred]
  add w0, w0, w1
  ret
END(fixture_bti_adrp)

// bti c, then a literal load. Returns x + 21.
FIXTURE(fixture_bti_ldr_w)
  bti c
  ldr w1, 1f
  add w0, w0, w1
  ret
1: .word 21
END(fixture_bti_ldr_w)

// bti c, then cbz. Returns 2 for x == 0, else 1.
FIXTURE(fixture_bti_cbz)
  bti c
  cbz w0, 1f
  mov w0, #1
  ret
1:
  mov w0, #2
  ret
END(fixture_bti_cbz)

// bti c, then a tail call: a b to elsewhere. Returns x + 11.
FIXTURE(fixture_bti_b)
  bti c
  b bti_add_eleven
END(fixture_bti_b)

bti_add_eleven:
  add w0, w0, #11
  ret

// A syscall wrapper: the second word is all the engine moves. Returns the
// process id (x is ignored).
FIXTURE(fixture_bti_getpid)
  bti c
  mov x8, #172
  svc #0
  ret
END(fixture_bti_getpid)

// Refused: a loop whose back-branch lands on the word behind the pad.
// Returns 0.
FIXTURE(fixture_bti_loop_back)
  bti c
1:
  subs w0, w0, #1
  b.hi 1b
  mov w0, #0
  ret
END(fixture_bti_loop_back)

// Not a landing pad: an indirect call here must fault on a guarded page.
FIXTURE(fixture_bti_no_pad)
  mov w0, #1
  ret
END(fixture_bti_no_pad)

  .data
  .p2align 12
bti_hundred:
  .word 100

#include "../support/bti_note_aarch64.h"
