// One small function per awkward entry the engine must handle or refuse.
// Every function takes an int in %edi and returns an int in %eax.

#define FIXTURE(name) \
  .p2align 4; .globl name; .type name, @function; name:
#define END(name) .size name, . - name

  .text

// Hookable ---------------------------------------------------------------

// endbr64 then a lea: both displaced. Returns x + 1.
FIXTURE(fixture_endbr64)
  endbr64
  lea 0x1(%rdi), %eax
  ret
END(fixture_endbr64)

// A rip-relative compare fills the first seven bytes, as at the entry of
// close. Returns 2 while fixture_flag is 0, else 1.
FIXTURE(fixture_rip_compare)
  cmpb $0x0, fixture_flag(%rip)
  je 1f
  mov $1, %eax
  ret
1:
  mov $2, %eax
  ret
END(fixture_rip_compare)

// A jcc rel8 among the displaced bytes, landing after them.
// Returns 2 for x == 0, else 1.
FIXTURE(fixture_jcc_short)
  test %edi, %edi
  je 1f
  mov $1, %eax
  ret
1:
  mov $2, %eax
  ret
END(fixture_jcc_short)

// A call rel32 is the whole displaced code. Returns 42.
FIXTURE(fixture_call)
  call fixture_helper
  add $1, %eax
  ret
END(fixture_call)

FIXTURE(fixture_helper)
  mov $41, %eax
  ret
END(fixture_helper)

// A jcc that lands on the next displaced instruction: in the trampoline it
// must land on the copy, not on the patched original. Returns x + 7.
FIXTURE(fixture_internal_branch)
  test %edi, %edi
  jne 1f
1:
  lea 0x7(%rdi), %eax
  ret
END(fixture_internal_branch)

// One six-byte instruction covers the patch: a thread is never between two
// displaced instructions. Returns x + 4096. The next two are the same code
// placed so that the patch straddles an 8-byte word, then a 16-byte block.
FIXTURE(fixture_single)
  lea 0x1000(%rdi), %eax
  ret
END(fixture_single)

  .p2align 4
  .skip 6, 0x90
  .globl fixture_straddle_8; .type fixture_straddle_8, @function
fixture_straddle_8:
  lea 0x1000(%rdi), %eax
  ret
END(fixture_straddle_8)

  .p2align 4
  .skip 13, 0x90
  .globl fixture_straddle_16; .type fixture_straddle_16, @function
fixture_straddle_16:
  lea 0x1000(%rdi), %eax
  ret
END(fixture_straddle_16)

// Refused -----------------------------------------------------------------

// Three bytes long: a patch would spill into whatever follows.
FIXTURE(fixture_too_short)
  mov %edi, %eax
  ret
END(fixture_too_short)

// An unconditional short jump before five bytes are covered.
FIXTURE(fixture_jmp_short)
  jmp 1f
  int3
1:
  mov %edi, %eax
  ret
END(fixture_jmp_short)

// ud2 at the entry.
FIXTURE(fixture_ud2)
  ud2
  nop
  nop
  nop
  nop
END(fixture_ud2)

// jrcxz has no rel32 form. Returns 0 for rcx == 0, else 1.
FIXTURE(fixture_jrcxz)
  jrcxz 1f
  mov $1, %eax
  ret
1:
  xor %eax, %eax
  ret
END(fixture_jrcxz)

// loop has no rel32 form either.
FIXTURE(fixture_loop_entry)
  mov %edi, %ecx
  loop 1f
1:
  mov %ecx, %eax
  ret
END(fixture_loop_entry)

// A loop whose back-branch lands at offset 4, inside the displaced bytes.
// Returns 3 * x for x > 0.
FIXTURE(fixture_loop_back)
  mov %edi, %ecx
  xor %eax, %eax
1:
  add $3, %eax
  dec %ecx
  jnz 1b
  ret
END(fixture_loop_back)

// A byte that is no instruction in 64-bit mode (push %es).
FIXTURE(fixture_undecodable)
  .byte 0x06
  nop
  nop
  nop
  nop
  ret
END(fixture_undecodable)

  .data
  .globl fixture_flag
fixture_flag:
  .byte 0

  .section .note.GNU-stack, "", @progbits
