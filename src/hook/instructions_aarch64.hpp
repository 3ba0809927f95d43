// The AArch64 instructions of the hooking engine: reading an entry, writing
// its trampoline, the stub and the patch. Apart from a64_store_code and
// a64_object_is_guarded these are pure transformations of words and
// addresses, so the fuzz target runs them on any host (hook_aarch64.hpp
// gives them to the engine on AArch64).
#pragma once

#include <link.h>

#include <cstddef>
#include <cstdint>

#include "hook/hook.hpp"

// The patch is one `b` to the stub: four bytes, one aligned word.
constexpr size_t A64_PATCH_SIZE = 4;
// A landing pad kept at the entry, and the instruction the patch replaces.
constexpr size_t A64_MAX_DISPLACED = 2;
// Reach of `b`, less room for the code within a chunk.
constexpr uint64_t A64_BRANCH_REACH = (uint64_t{1} << 27) - 2 * 4096;
// [auti*sp or nop] ldr x16, 12; br x16; udf; .quad replacement
constexpr size_t A64_STUB_SIZE = 24;

// Instruction words the engine writes or looks for.
constexpr uint32_t A64_NOP = 0xd503201f;
constexpr uint32_t A64_BTI = 0xd503241f;
constexpr uint32_t A64_BTI_C = 0xd503245f;
constexpr uint32_t A64_BTI_J = 0xd503249f;
constexpr uint32_t A64_BTI_JC = 0xd50324df;
constexpr uint32_t A64_PACIASP = 0xd503233f;
constexpr uint32_t A64_PACIBSP = 0xd503237f;
constexpr uint32_t A64_AUTIASP = 0xd50323bf;
constexpr uint32_t A64_AUTIBSP = 0xd50323ff;

enum a64_class : uint8_t {
  A64_COPY,      // position-independent: copied as is
  A64_ADR,       // adr: the address, from a literal
  A64_ADRP,      // adrp: the page, from a literal
  A64_LITERAL,   // ldr/ldrsw/prfm (literal), also of SIMD&FP registers
  A64_B,         // b
  A64_BL,        // bl
  A64_BCOND,     // b.cond, bc.cond
  A64_CB,        // cbz, cbnz
  A64_TB,        // tbz, tbnz
  A64_UNDEFINED, // an unallocated literal load
};

struct a64_instruction {
  uint32_t word;
  a64_class kind;
  uint64_t absolute;  // the address a relative operand refers to
};

// The words a hook displaces from an entry.
struct a64_entry {
  a64_instruction insns[A64_MAX_DISPLACED];
  uint8_t count;
  uint8_t length;        // bytes displaced from the entry: 4, or 8 behind a landing pad
  uint8_t patch_offset;  // 4 when a landing pad stays at the entry
  uint32_t kept_pad;     // that pad (bti c, paciasp, ...), 0 when there is none
  bool falls_through;    // false when the last one ends the flow: no jump back
  uint64_t lowest;       // lowest and highest address the trampoline branches to
  uint64_t highest;
  uint8_t bytes[4 * A64_MAX_DISPLACED];
};

// What the word at `pc` is, and for a relative one the address it refers to.
a64_class a64_classify(uint32_t word, uint64_t pc, uint64_t *absolute);
// True after a word whose next one need not be code of this function (b,
// br, ret, udf, brk, ...): the trampoline then has no jump back.
bool a64_ends_flow(uint32_t word);
// Landing pads that stay at an entry: every indirect call still arrives there.
bool a64_is_entry_pad(uint32_t word);

// Reads the words that the patch displaces at `target`, whose mapped code
// ends at `readable_end`: a landing pad at the entry stays there (it is
// copied, and the patch goes behind it). HOOK_OK or the reason for refusal,
// with `detail` naming the offending address.
int a64_analyze_entry(uintptr_t target, uintptr_t readable_end, a64_entry *out, uintptr_t *detail);
// Scans [begin, end) for a relative reference that lands inside the
// displaced bytes other than at their first word.
int a64_scan_for_branches_into(uintptr_t begin, uintptr_t end, uintptr_t target, size_t length,
                               uintptr_t *detail);
// Writes the trampoline for `code` as it will run at `at` (8-byte aligned)
// into `out`. Returns its size, 0 when a branch cannot reach from there or
// it does not fit.
size_t a64_relocate_entry(const a64_entry *code, uintptr_t target, uintptr_t at, uint8_t *out, size_t capacity);
// The stub that the patch branches to: it takes back the signature a kept
// paciasp/pacibsp put on the return address, then jumps through x16.
size_t a64_emit_stub(uint8_t *out, const a64_entry &code, uintptr_t replacement);
// `b destination` as it runs at `at`; 0 when out of reach.
size_t a64_emit_branch(uint8_t *out, uintptr_t at, uintptr_t destination);
bool a64_fits_branch(uintptr_t at, uintptr_t destination);
// Whether the program headers mark the object as built for BTI (and this
// processor enforces it): its code pages are then guarded.
bool a64_object_is_guarded(const dl_phdr_info &info);
// Writes aligned words of code, each with a single store, then makes the
// instruction fetch see them.
void a64_store_code(uintptr_t address, const uint8_t *bytes, size_t length);
// Makes the instruction fetch see code written to [begin, end).
void a64_flush_code(uintptr_t begin, uintptr_t end);

