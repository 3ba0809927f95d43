// Memory for stubs and trampolines close to their targets, and the page
// protection changes that patching code needs.
//
// A branch reaches only so far (rel32: +-2 GiB; AArch64's b: +-128 MiB), so
// the page holding a hook's stub and trampoline must lie within that
// distance of the target and of every address its displaced instructions
// branch to. The kernel's own choice is tried first;
// otherwise, since it takes an mmap address only as a hint, candidates are
// tried outward from the middle of the allowed window, and a mapping that
// landed elsewhere is given back.
#include <sys/auxv.h>
#include <sys/mman.h>

#include <cstring>

#include "hook/hook_internal.hpp"

namespace {

constexpr uintptr_t LOWEST_USER_ADDRESS = 0x10000;
#if defined(__aarch64__)
constexpr uintptr_t HIGHEST_USER_ADDRESS = 0xfffffffff000;  // 48-bit addresses
#else
constexpr uintptr_t HIGHEST_USER_ADDRESS = 0x7ffffffff000;
#endif
constexpr uintptr_t HINT_STEP = 1u << 20;
constexpr int PROT_CODE = PROT_READ | PROT_EXEC;
constexpr int PROT_PATCHING = PROT_READ | PROT_WRITE | PROT_EXEC;

uintptr_t page_down(uintptr_t address) { return address & ~uintptr_t{NEAR_PAGE_SIZE - 1}; }

bool page_within(uintptr_t base, uintptr_t low, uintptr_t high) {
  return base >= low && base + NEAR_PAGE_SIZE <= high;
}

// On AArch64 with BTI, guarded code pages stay guarded through patching, and
// the near pages are guarded too: the trampolines begin with landing pads,
// and nothing else there may be the target of an indirect branch.
int guard_bits(bool guarded) {
#if defined(__aarch64__) && defined(PROT_BTI)
  constexpr unsigned long HWCAP2_BTI_BIT = 1ul << 17;
  if (guarded && (getauxval(AT_HWCAP2) & HWCAP2_BTI_BIT)) return PROT_BTI;
#endif
  (void)guarded;
  return 0;
}

// Maps one page at `hint` and keeps it only when it landed inside the window.
uintptr_t try_map_at(uintptr_t hint, uintptr_t low, uintptr_t high) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_FIXED_NOREPLACE
  flags |= MAP_FIXED_NOREPLACE;  // fails fast on a taken address; old kernels treat it as a hint
#endif
  // Writable from the start: its first chunk is written right away.
  void *page = mmap(reinterpret_cast<void *>(hint), NEAR_PAGE_SIZE, PROT_PATCHING | guard_bits(true), flags, -1, 0);
  if (page == MAP_FAILED) return 0;
  uintptr_t base = reinterpret_cast<uintptr_t>(page);
  if (page_within(base, low, high)) return base;
  munmap(page, NEAR_PAGE_SIZE);
  return 0;
}

uintptr_t map_page_between(uintptr_t low, uintptr_t high) {
  if (low < LOWEST_USER_ADDRESS) low = LOWEST_USER_ADDRESS;
  if (high > HIGHEST_USER_ADDRESS) high = HIGHEST_USER_ADDRESS;
  if (high <= low || high - low < NEAR_PAGE_SIZE) return 0;
  // The kernel's own choice lies just below the libraries, almost always in
  // reach; the middle of the window, where the search below starts, is the
  // target's own library and always taken.
  void *anywhere = mmap(nullptr, NEAR_PAGE_SIZE, PROT_PATCHING | guard_bits(true), MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (anywhere != MAP_FAILED) {
    if (page_within(reinterpret_cast<uintptr_t>(anywhere), low, high)) return reinterpret_cast<uintptr_t>(anywhere);
    munmap(anywhere, NEAR_PAGE_SIZE);
  }
  uintptr_t middle = page_down(low + (high - low) / 2);
  for (uintptr_t distance = 0;; distance += HINT_STEP) {
    bool below_in = middle >= low + distance;
    bool above_in = middle + distance + NEAR_PAGE_SIZE <= high;
    if (!below_in && !above_in) return 0;
    if (below_in) {
      if (uintptr_t base = try_map_at(middle - distance, low, high)) return base;
    }
    if (above_in && distance != 0) {
      if (uintptr_t base = try_map_at(middle + distance, low, high)) return base;
    }
  }
}

bool set_protection(uintptr_t address, size_t length, int protection) {
  uintptr_t first = page_down(address);
  uintptr_t end = page_down(address + length - 1) + NEAR_PAGE_SIZE;
  return mprotect(reinterpret_cast<void *>(first), end - first, protection) == 0;
}

}  // namespace

uintptr_t near_chunk_take(near_pool *pool, uintptr_t low, uintptr_t high) {
  for (size_t p = 0; p < pool->count; ++p) {
    near_page &page = pool->pages[p];
    if (page.used == ~uint32_t{0}) continue;
    if (page_within(page.base, low, high)) {
      // The whole page is in reach (nearly always): its first free chunk.
      const auto c = static_cast<size_t>(__builtin_ctz(~page.used));
      page.used |= 1u << c;
      return page.base + c * CHUNK_SIZE;
    }
    for (size_t c = 0; c < CHUNKS_PER_PAGE; ++c) {
      uintptr_t chunk = page.base + c * CHUNK_SIZE;
      if ((page.used & (1u << c)) || chunk < low || chunk + CHUNK_SIZE > high) continue;
      page.used |= 1u << c;
      return chunk;
    }
  }
  if (pool->count == MAX_NEAR_PAGES) return 0;
  uintptr_t base = map_page_between(low, high);
  if (base == 0) return 0;
  pool->pages[pool->count++] = near_page{base, 1u, true};
  return base;
}

void near_chunk_give_back(near_pool *pool, uintptr_t chunk) {
  for (size_t p = 0; p < pool->count; ++p) {
    near_page &page = pool->pages[p];
    if (chunk >= page.base && chunk < page.base + NEAR_PAGE_SIZE) {
      page.used &= ~(1u << ((chunk - page.base) / CHUNK_SIZE));
      return;
    }
  }
}

bool near_chunk_fill(near_pool *pool, uintptr_t chunk, const uint8_t *bytes, size_t length) {
  near_page *page = nullptr;
  for (size_t p = 0; p < pool->count; ++p)
    if (chunk >= pool->pages[p].base && chunk < pool->pages[p].base + NEAR_PAGE_SIZE) page = &pool->pages[p];
  if (page == nullptr) return false;
  // Other chunks of the page may be running on other threads: keep it executable.
  if (!page->writable) {
    if (!set_protection(page->base, NEAR_PAGE_SIZE, PROT_PATCHING | guard_bits(true))) return false;
    page->writable = true;
  }
  memcpy(reinterpret_cast<void *>(chunk), bytes, length);
  flush_code(chunk, chunk + length);
  return true;
}

bool near_pool_seal(near_pool *pool) {
  for (size_t p = 0; p < pool->count; ++p) {
    near_page &page = pool->pages[p];
    if (!page.writable) continue;
    if (!set_protection(page.base, NEAR_PAGE_SIZE, PROT_CODE | guard_bits(true))) return false;
    page.writable = false;
  }
  return true;
}

void near_pool_release(near_pool *pool) {
  for (size_t p = 0; p < pool->count; ++p) munmap(reinterpret_cast<void *>(pool->pages[p].base), NEAR_PAGE_SIZE);
  pool->count = 0;
}

bool code_unprotect(uintptr_t address, size_t length, bool guarded) {
  return set_protection(address, length, PROT_PATCHING | guard_bits(guarded));
}

bool code_protect(uintptr_t address, size_t length, bool guarded) {
  return set_protection(address, length, PROT_CODE | guard_bits(guarded));
}
