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

// Pages mapped at once where the kernel chooses: a set of more than 32
// hooks (the interceptor's) fills two, and one mapping, sealed by one
// mprotect, costs half the system calls of two.
constexpr size_t PAGES_PER_MAPPING = 2;

// The first of *pages new pages (1 or PAGES_PER_MAPPING), all in reach.
uintptr_t map_page_between(uintptr_t low, uintptr_t high, size_t *pages) {
  if (low < LOWEST_USER_ADDRESS) low = LOWEST_USER_ADDRESS;
  if (high > HIGHEST_USER_ADDRESS) high = HIGHEST_USER_ADDRESS;
  if (high <= low || high - low < NEAR_PAGE_SIZE) return 0;
  // The kernel's own choice lies just below the libraries, almost always in
  // reach; the middle of the window, where the search below starts, is the
  // target's own library and always taken.
  constexpr size_t length = PAGES_PER_MAPPING * NEAR_PAGE_SIZE;
  void *anywhere = mmap(nullptr, length, PROT_PATCHING | guard_bits(true), MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (anywhere != MAP_FAILED) {
    const auto base = reinterpret_cast<uintptr_t>(anywhere);
    if (page_within(base, low, high) && page_within(base + length - NEAR_PAGE_SIZE, low, high)) {
      *pages = PAGES_PER_MAPPING;
      return base;
    }
    munmap(anywhere, length);
  }
  *pages = 1;
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
  size_t pages = 1;
  uintptr_t base = map_page_between(low, high, &pages);
  if (base == 0) return 0;
  for (size_t i = 0; i < pages; ++i) {
    const uintptr_t page = base + i * NEAR_PAGE_SIZE;
    if (pool->count < MAX_NEAR_PAGES) pool->pages[pool->count++] = near_page{page, i == 0 ? 1u : 0u, true};
    else munmap(reinterpret_cast<void *>(page), NEAR_PAGE_SIZE);  // no room to keep it
  }
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
  for (size_t p = 0; p < pool->count;) {
    if (!pool->pages[p].writable) {
      ++p;
      continue;
    }
    // A run of writable pages that follow each other in memory: one mprotect.
    size_t end = p + 1;
    while (end < pool->count && pool->pages[end].writable &&
           pool->pages[end].base == pool->pages[end - 1].base + NEAR_PAGE_SIZE)
      ++end;
    if (!set_protection(pool->pages[p].base, (end - p) * NEAR_PAGE_SIZE, PROT_CODE | guard_bits(true))) return false;
    for (; p < end; ++p) pool->pages[p].writable = false;
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
