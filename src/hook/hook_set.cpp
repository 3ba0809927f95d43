// The hooking engine: patches functions in memory so that calls to them
// reach a replacement, which can still reach the original.
//
// How it works. Preparing a hook reads the target's entry and displaces as
// few instructions as the patch needs (x86-64: decoded until five bytes are
// covered, room for one `jmp rel32`; AArch64: one word, the second when the
// first is a landing pad, which stays), so there is the least code to move
// and the smallest chance that a thread or a branch is caught in the middle
// of it. The displaced instructions are rewritten into a trampoline
// (relative operands re-targeted: short x86 branches widened to rel32,
// AArch64 addresses and literals loaded from a pool behind the code) that
// ends with a jump back behind them. The patch's reach is short (+-2 GiB,
// +-128 MiB), so the trampoline and a stub that jumps on to the replacement
// through a stored 64-bit address (AArch64: through x16, after taking back a
// kept paciasp's signature) live in a chunk mapped near the target and near
// everything the displaced instructions refer to. The slot then holds the
// trampoline's address: calling through it runs the original function (on
// AArch64 it begins with a landing pad, and near pages are BTI-guarded where
// the processor has BTI). Near pages stay writable while the set is
// prepared, and are made read-execute, once each, when it is installed.
// Installing writes the jump to the stub over the target's entry;
// uninstalling writes the saved bytes back. A hooked call therefore costs
// two jumps and the replacement's own work: target -> stub -> replacement ->
// trampoline -> rest of the target, with no allocation and no lookup.
//
// Refused at prepare, with nothing changed: instructions the decoder does not
// know; code that ends before the patch is covered; x86 rcx branches with no
// rel32 form (loop, jrcxz) and xbegin; and any relative reference from
// elsewhere in the function into the displaced instructions. The function's
// extent comes from its symbol's size when the caller found it by name, else
// its unwind entry, else its nearest dynamic symbol; without any, a bounded
// span after the target is scanned.
//
// Threads. The patch goes in with one atomic store: AArch64's one aligned
// word always; x86-64's five bytes when they lie in one aligned 8-byte word
// (cmpxchg16b for one aligned 16-byte block), so a thread entering the
// function sees either the old entry or the jump. Not guaranteed on x86-64:
// a patch that straddles a 16-byte block is written plainly; a thread that
// was stopped between two displaced instructions when the patch lands
// resumes inside the jump. On both, branches into the displaced
// instructions from outside the scanned extent (cold parts, other
// functions, jump tables) are not seen. Destroy unmaps trampolines and
// stubs, so no thread may still be inside one (a forked child, which has one
// thread, is the intended case). The set itself is not locked: one thread
// drives it. docs/architecture.md has the details of each processor.
//
// The engine calls none of the functions it is meant to hook: it uses mmap,
// mprotect, the dynamic loader's tables and malloc (and dlopen, for the full
// decoder, when an entry needs it), has no global objects, and so works from
// a library constructor and in a child after fork.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hook/hook_internal.hpp"

struct hook_entry {
  void **slot;
  uintptr_t target;
  uintptr_t chunk;  // stub at the chunk, trampoline right after it
  uint8_t length;   // bytes displaced
  bool patched;
  code_range mapped;  // the loaded segment that holds the target
  uintptr_t patch_at;  // where the patch goes: the entry, or behind a landing pad kept there
  bool guarded;        // the target's pages are branch-target guarded
  uint8_t original[PATCH_SIZE];
  uint8_t patch[PATCH_SIZE];
};

struct hook_set {
  size_t count;
  bool installed;
  near_pool pool;
  char message[192];
  // Where the last target's code lay: a set's targets are prepared one after
  // the other and mostly lie in one object, whose place is then found once
  // (a walk of the loaded objects costs about 1,000 instructions a target).
  code_place last_place;
  // One bit per 16-byte block of code (by its address modulo 16 KiB) that
  // the displaced bytes of a prepared target touch: a new target whose
  // blocks are all clear overlaps none, and the entries need no walk.
  uint64_t touched_blocks[16];
  // Last: only the first `count` are ever read, so a new set leaves them
  // as they come (zeroing them cost more than the rest of a set's creation).
  hook_entry entries[HOOK_SET_CAPACITY];
};

namespace {

[[gnu::format(printf, 3, 4)]] int fail(hook_set *set, int status, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(set->message, sizeof set->message, format, args);
  va_end(args);
  return status;
}

const char *refusal_text(int status) {
  switch (status) {
    case HOOK_ERROR_DECODE: return "cannot decode the instruction";
    case HOOK_ERROR_TOO_SHORT: return "the function ends before the patch fits";
    case HOOK_ERROR_UNRELOCATABLE: return "cannot move the instruction";
    case HOOK_ERROR_BRANCH_INTO_PATCH: return "a branch lands inside the displaced bytes";
    default: return "cannot hook";
  }
}

uintptr_t trampoline_of(const hook_entry &entry) { return entry.chunk + STUB_SIZE; }

// Replaces `from` by `to` at the entry of a target, leaving the page read-execute.
int rewrite_entry(hook_set *set, const hook_entry &entry, const uint8_t *from, const uint8_t *to) {
  const uintptr_t at = entry.patch_at;
  // mprotect first: it also proves the code is still mapped before it is read.
  if (!code_unprotect(at, PATCH_SIZE, entry.guarded))
    return fail(set, HOOK_ERROR_MEMORY, "cannot make %#lx writable", entry.target);
  if (memcmp(reinterpret_cast<const void *>(at), from, PATCH_SIZE) != 0) {
    code_protect(at, PATCH_SIZE, entry.guarded);
    return fail(set, HOOK_ERROR_STATE, "code at %#lx changed since it was prepared", entry.target);
  }
  store_code(at, to, PATCH_SIZE);
  if (!code_protect(at, PATCH_SIZE, entry.guarded)) {
    store_code(at, from, PATCH_SIZE);
    code_protect(at, PATCH_SIZE, entry.guarded);
    return fail(set, HOOK_ERROR_MEMORY, "cannot make %#lx read-only again", entry.target);
  }
  return HOOK_OK;
}

int patch(hook_set *set, hook_entry &entry) {
  int status = rewrite_entry(set, entry, entry.original, entry.patch);
  if (status == HOOK_OK) entry.patched = true;
  return status;
}

int restore(hook_set *set, hook_entry &entry) {
  int status = rewrite_entry(set, entry, entry.patch, entry.original);
  if (status == HOOK_OK) entry.patched = false;
  return status;
}

constexpr size_t BLOCK_BITS = sizeof(hook_set::touched_blocks) * 8;

// Calls `each(word, bit)` for the bit of each block that [target, target + length) touches.
template <typename F>
void for_each_block(uintptr_t target, size_t length, F each) {
  for (uintptr_t block = target >> 4; block <= (target + length - 1) >> 4; ++block)
    each((block % BLOCK_BITS) / 64, uint64_t{1} << (block % 64));
}

bool overlaps_prepared(const hook_set *set, uintptr_t target, size_t length) {
  bool touched = false;
  for_each_block(target, length, [&](size_t word, uint64_t bit) { touched |= (set->touched_blocks[word] & bit) != 0; });
  if (!touched) return false;
  for (size_t i = 0; i < set->count; ++i) {
    const hook_entry &entry = set->entries[i];
    if (target < entry.target + entry.length && entry.target < target + length) return true;
  }
  return false;
}

// The pages a set's patches write, as few runs of whole pages as cover them:
// install makes each run writable and read-execute again once, not once per
// target. Targets in one loaded segment share one run over the pages between
// them (all read-execute alike) while the gap is small: each separate run
// splits the segment's mapping in two more places and costs an `mprotect`
// pair (some 4 us), but each `mprotect` also walks every page of its range
// that is mapped (some 0.05 us a page each way), so a gap of more than
// RUN_JOIN_GAP pages is cheaper left out.
struct page_run {
  uintptr_t begin;
  uintptr_t end;
  uintptr_t first_target;  // named when the run's protection cannot change
  code_range mapped;
  bool guarded;
};

constexpr uintptr_t RUN_JOIN_GAP = 32 * NEAR_PAGE_SIZE;

bool same_segment(const page_run &a, const page_run &b) {
  return a.mapped.begin == b.mapped.begin && a.mapped.end == b.mapped.end;
}

// Runs of guarded and unguarded pages are never joined: each keeps its own
// protection. Runs that touch are joined; runs of one segment also across a
// small gap.
bool joinable(const page_run &a, const page_run &b) {
  if (a.guarded != b.guarded) return false;
  const uintptr_t gap = same_segment(a, b) ? RUN_JOIN_GAP : 0;
  return a.begin <= b.end + gap && b.begin <= a.end + gap;
}

void extend(page_run &run, const page_run &other) {
  if (other.begin < run.begin) run.begin = other.begin;
  if (other.end > run.end) run.end = other.end;
}

size_t page_runs_of(const hook_set *set, page_run (&runs)[HOOK_SET_CAPACITY]) {
  size_t count = 0;
  for (size_t i = 0; i < set->count; ++i) {
    const hook_entry &entry = set->entries[i];
    const page_run run{entry.patch_at & ~uintptr_t{NEAR_PAGE_SIZE - 1},
                       ((entry.patch_at + PATCH_SIZE - 1) & ~uintptr_t{NEAR_PAGE_SIZE - 1}) + NEAR_PAGE_SIZE,
                       entry.target, entry.mapped, entry.guarded};
    size_t at = 0;
    while (at < count && !joinable(runs[at], run)) ++at;
    if (at == count) runs[count++] = run;
    else extend(runs[at], run);
  }
  // A grown run may now reach another: join them until none can be.
  for (bool joined = true; joined;) {
    joined = false;
    for (size_t i = 0; i < count; ++i)
      for (size_t j = i + 1; j < count; ++j) {
        if (!joinable(runs[i], runs[j])) continue;
        extend(runs[i], runs[j]);
        runs[j--] = runs[--count];
        joined = true;
      }
  }
  return count;
}

void protect_runs(const page_run *runs, size_t count) {
  for (size_t i = 0; i < count; ++i) code_protect(runs[i].begin, runs[i].end - runs[i].begin, runs[i].guarded);
}

}  // namespace

hook_set *hook_set_create() {
  auto *set = static_cast<hook_set *>(malloc(sizeof(hook_set)));
  if (!set) return nullptr;
  memset(static_cast<void *>(set), 0, offsetof(hook_set, entries));
  memcpy(set->message, "no error", sizeof "no error");
  return set;
}

int hook_set_prepare(hook_set *set, void **slot, void *replacement) {
  return hook_set_prepare_sized(set, slot, replacement, 0);
}

int hook_set_prepare_sized(hook_set *set, void **slot, void *replacement, size_t size) {
  if (!set) return HOOK_ERROR_ARGUMENT;
  if (!slot || !*slot || !replacement) return fail(set, HOOK_ERROR_ARGUMENT, "null slot, target or replacement");
  if (set->installed) return fail(set, HOOK_ERROR_STATE, "the set is installed");
  if (set->count == HOOK_SET_CAPACITY) return fail(set, HOOK_ERROR_MEMORY, "the set is full");
  auto target = reinterpret_cast<uintptr_t>(*slot);
  // Another name of a function already prepared is refused before any decoding.
  if (overlaps_prepared(set, target, 1))
    return fail(set, HOOK_ERROR_STATE, "%#lx overlaps a function already prepared", target);

  if (!(target >= set->last_place.mapped.begin && target < set->last_place.mapped.end))
    set->last_place = code_place_around(target);
  const code_place place = set->last_place;
  const code_range mapped = place.mapped;
  displaced_code code;
  uintptr_t detail = target;
  int status = analyze_entry(target, mapped.end, &code, &detail);
  if (status != HOOK_OK) return fail(set, status, "%s at %#lx (hooking %#lx)", refusal_text(status), detail, target);
  if (overlaps_prepared(set, target, code.length))
    return fail(set, HOOK_ERROR_STATE, "%#lx overlaps a function already prepared", target);
  bool sized = false;
  code_range function = function_extent(target, place, size, &sized);
  status = scan_for_branches_into(function, sized, target, code.length, &detail);
  if (status != HOOK_OK) return fail(set, status, "%s from %#lx (hooking %#lx)", refusal_text(status), detail, target);

  // Everything the trampoline branches to, and the target's jump to the
  // stub, must be within branch reach of the chunk.
  uintptr_t low = code.highest > BRANCH_REACH ? code.highest - BRANCH_REACH : 0;
  uintptr_t high = code.lowest + BRANCH_REACH;
  uintptr_t chunk = near_chunk_take(&set->pool, low, high);
  if (chunk == 0) return fail(set, HOOK_ERROR_MEMORY, "no memory within reach of %#lx", target);

  uint8_t bytes[CHUNK_SIZE];
  memset(bytes, CODE_FILLER, sizeof bytes);
  emit_stub(bytes, code, reinterpret_cast<uintptr_t>(replacement));
  if (relocate_entry(&code, target, chunk + STUB_SIZE, bytes + STUB_SIZE, TRAMPOLINE_CAPACITY) == 0) {
    near_chunk_give_back(&set->pool, chunk);
    return fail(set, HOOK_ERROR_UNRELOCATABLE, "cannot relocate the entry of %#lx", target);
  }
  if (!near_chunk_fill(&set->pool, chunk, bytes, sizeof bytes)) {
    near_chunk_give_back(&set->pool, chunk);
    return fail(set, HOOK_ERROR_MEMORY, "cannot write the trampoline of %#lx", target);
  }

  for_each_block(target, code.length, [&](size_t word, uint64_t bit) { set->touched_blocks[word] |= bit; });
  hook_entry &entry = set->entries[set->count++];
  const uintptr_t patch_at = target + patch_offset_of(code);
  entry = hook_entry{slot, target, chunk, code.length, false, mapped, patch_at, place.guarded, {}, {}};
  memcpy(entry.original, code.bytes + patch_offset_of(code), PATCH_SIZE);
  emit_patch(entry.patch, patch_at, chunk);
  *slot = reinterpret_cast<void *>(trampoline_of(entry));
  return HOOK_OK;
}

int hook_set_install(hook_set *set) {
  if (!set) return HOOK_ERROR_ARGUMENT;
  if (set->installed) return fail(set, HOOK_ERROR_STATE, "the set is already installed");
  // Trampolines are written while preparing; from here on they only run.
  if (!near_pool_seal(&set->pool)) return fail(set, HOOK_ERROR_MEMORY, "cannot make the trampolines read-only");
  page_run runs[HOOK_SET_CAPACITY];
  const size_t run_count = page_runs_of(set, runs);
  // mprotect first: it also proves the code is still mapped before it is read.
  for (size_t i = 0; i < run_count; ++i) {
    if (!code_unprotect(runs[i].begin, runs[i].end - runs[i].begin, runs[i].guarded)) {
      protect_runs(runs, i);
      return fail(set, HOOK_ERROR_MEMORY, "cannot make %#lx writable", runs[i].first_target);
    }
  }
  for (size_t i = 0; i < set->count; ++i) {
    const hook_entry &entry = set->entries[i];
    if (memcmp(reinterpret_cast<const void *>(entry.patch_at), entry.original, PATCH_SIZE) != 0) {
      protect_runs(runs, run_count);
      return fail(set, HOOK_ERROR_STATE, "code at %#lx changed since it was prepared", entry.target);
    }
  }
  for (size_t i = 0; i < set->count; ++i) store_code(set->entries[i].patch_at, set->entries[i].patch, PATCH_SIZE);
  for (size_t i = 0; i < run_count; ++i) {
    if (!code_protect(runs[i].begin, runs[i].end - runs[i].begin, runs[i].guarded)) {
      // All or nothing: every target gets its own bytes back (the runs
      // already sealed are opened again for that).
      for (size_t j = 0; j <= i; ++j) code_unprotect(runs[j].begin, runs[j].end - runs[j].begin, runs[j].guarded);
      for (size_t j = 0; j < set->count; ++j) store_code(set->entries[j].patch_at, set->entries[j].original, PATCH_SIZE);
      protect_runs(runs, run_count);
      return fail(set, HOOK_ERROR_MEMORY, "cannot make %#lx read-only again", runs[i].first_target);
    }
  }
  for (size_t i = 0; i < set->count; ++i) set->entries[i].patched = true;
  set->installed = true;
  return HOOK_OK;
}

int hook_set_uninstall(hook_set *set) {
  if (!set) return HOOK_ERROR_ARGUMENT;
  if (!set->installed) return fail(set, HOOK_ERROR_STATE, "the set is not installed");
  for (size_t i = set->count; i-- > 0;) {
    int status = restore(set, set->entries[i]);
    if (status != HOOK_OK) {
      // Stay wholly installed rather than half: patch back what was restored.
      for (size_t j = i + 1; j < set->count; ++j) patch(set, set->entries[j]);
      return status;
    }
  }
  set->installed = false;
  return HOOK_OK;
}

int hook_set_destroy(hook_set *set) {
  if (!set) return HOOK_ERROR_ARGUMENT;
  if (set->installed) {
    // Patched code still jumps into the near pages: they must stay.
    if (int status = hook_set_uninstall(set)) return status;
  }
  for (size_t i = 0; i < set->count; ++i) {
    hook_entry &entry = set->entries[i];
    // A slot left pointing at a freed trampoline would crash its next caller.
    if (*entry.slot == reinterpret_cast<void *>(trampoline_of(entry)))
      *entry.slot = reinterpret_cast<void *>(entry.target);
  }
  near_pool_release(&set->pool);
  free(set);
  return HOOK_OK;
}

const char *hook_set_error_message(const hook_set *set) {
  return set ? set->message : "no hook set";
}
