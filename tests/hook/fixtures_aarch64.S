// One small function per class of AArch64 instruction that the engine must
// move from an entry, or refuse. Each takes an int in w0 and returns one in
// w0. These have no landing pad (branch protection off); the ones with
// bti c / paciasp / pacibsp are in fixtures_bti_aarch64.S.

#define FIXTURE(name) \
  .p2align 4; .globl name; .type name, %function; name:
#define END(name) .size name, . - name

  .text

// Returns x + 4096.
FIXTURE(fixture_single)
  add w0, w0, #1, lsl #12
  ret
END(fixture_single)

// adr at the entry. Returns x + 7.
FIXTURE(fixture_a64_adr)
  adr x1, fixture_a64_seven
  ldr w1, [x1]
  add w0, w0, w1
  ret
END(fixture_a64_adr)
fixture_a64_seven:
  .word 7

// adrp at the entry. Returns x + 100.
FIXTURE(fixture_a64_adrp)
  adrp x1, fixture_a64_hundred
  ldr w1, [x1, :lo12:fixture_a64_hundred]
  add w0, w0, w1
  ret
END(fixture_a64_adrp)

// ldr w literal. Returns x + 21.
FIXTURE(fixture_a64_ldr_w)
  ldr w1, 1f
  add w0, w0, w1
  ret
1: .word 21
END(fixture_a64_ldr_w)

// ldr x literal: all 64 bits. Returns x + 5 + 1.
FIXTURE(fixture_a64_ldr_x)
  ldr x1, 1f
  add w0, w0, w1
  lsr x1, x1, #32
  add w0, w0, w1
  ret
  .p2align 3
1: .quad 0x100000005
END(fixture_a64_ldr_x)

// ldrsw literal. Returns x - 3.
FIXTURE(fixture_a64_ldrsw)
  ldrsw x1, 1f
  add x0, x0, x1
  ret
1: .word -3
END(fixture_a64_ldrsw)

// ldr q literal (SIMD&FP). Returns x + 9.
FIXTURE(fixture_a64_ldr_q)
  ldr q1, 1f
  umov w1, v1.s[3]
  add w0, w0, w1
  ret
  .p2align 4
1: .word 0, 0, 0, 9
END(fixture_a64_ldr_q)

// ldr s literal, into the destination x31 would name for a general load.
// Returns x + 12.
FIXTURE(fixture_a64_ldr_s)
  ldr s31, 1f
  fmov w1, s31
  add w0, w0, w1
  ret
1: .word 12
END(fixture_a64_ldr_s)

// prfm literal. Returns x + 3.
FIXTURE(fixture_a64_prfm)
  prfm pldl1keep, 1f
  add w0, w0, #3
  ret
1: .word 0
END(fixture_a64_prfm)

// The entry is a b to elsewhere. Returns x + 11.
FIXTURE(fixture_a64_b)
  b fixture_a64_add_eleven
END(fixture_a64_b)

FIXTURE(fixture_a64_add_eleven)
  add w0, w0, #11
  ret
END(fixture_a64_add_eleven)

// cbz. Returns 2 for x == 0, else 1.
FIXTURE(fixture_a64_cbz)
  cbz w0, 1f
  mov w0, #1
  ret
1:
  mov w0, #2
  ret
END(fixture_a64_cbz)

// tbnz. Returns 2 when bit 3 of x is set, else 1.
FIXTURE(fixture_a64_tbnz)
  tbnz w0, #3, 1f
  mov w0, #1
  ret
1:
  mov w0, #2
  ret
END(fixture_a64_tbnz)

// The next two return through x9 (bl overwrites the return address; b.eq
// tests the flags of the caller): call them with fixture_a64_call_via_x9.
// bl. Returns x + 21.
FIXTURE(fixture_a64_bl)
  bl 1f
  add w0, w0, #1
  br x9
1:
  add w0, w0, #20
  ret
END(fixture_a64_bl)

// b.eq on the flags the caller set (x == 0). Returns 2 for x == 0, else 1.
FIXTURE(fixture_a64_bcond)
  b.eq 1f
  mov w0, #1
  br x9
1:
  mov w0, #2
  br x9
END(fixture_a64_bcond)

// int fixture_a64_call_via_x9(int (*function)(int), int x): compares x with
// 0, then runs the function with x9 holding the way back.
FIXTURE(fixture_a64_call_via_x9)
  bti c
  stp x29, x30, [sp, #-16]!
  mov x16, x0
  mov w0, w1
  adr x9, 1f
  cmp w0, #0
  blr x16
1:
  bti j
  ldp x29, x30, [sp], #16
  ret
END(fixture_a64_call_via_x9)

// Refused -----------------------------------------------------------------

// adr of the entry's own word.
FIXTURE(fixture_a64_adr_self)
  adr x1, .
  mov w0, w1
  ret
END(fixture_a64_adr_self)

// A literal load of the entry's own word.
FIXTURE(fixture_a64_ldr_self)
  ldr w1, .
  mov w0, w1
  ret
END(fixture_a64_ldr_self)

// An unallocated literal load (opc 11 of SIMD&FP).
FIXTURE(fixture_a64_undefined)
  .word 0xdc000041
  ret
END(fixture_a64_undefined)

  .data
  .p2align 12
fixture_a64_hundred:
  .word 100

  .section .note.GNU-stack, "", %progbits
