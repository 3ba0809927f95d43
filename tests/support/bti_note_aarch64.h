// Included at the end of the tests' AArch64 assembly files: the object is
// built for BTI and PAC (GNU_PROPERTY_AARCH64_FEATURE_1_AND, BTI | PAC), so
// that a program or library linked from it is marked and its pages guarded;
// and its stack is not executable.
  .section .note.gnu.property, "a"
  .p2align 3
  .word 4, 16, 5
  .asciz "GNU"
  .word 0xc0000000, 4, 3, 0

  .section .note.GNU-stack, "", %progbits
