// The page the relocator fuzz targets place an input's code on: one page
// with an inaccessible page behind it, so that no read of an entry may run
// past the page.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzz {

constexpr size_t CODE_PAGE = 4096;

inline uint8_t *map_code_page() {
  void *pages = mmap(nullptr, 2 * CODE_PAGE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) abort();
  return static_cast<uint8_t *>(pages);
}

// `size` bytes of code (at most CODE_PAGE) at the start of the page, the
// rest `filler`, then the page made `protection`.
inline void load_code_page(uint8_t *page, const uint8_t *code, size_t size, uint8_t filler, int protection) {
  if (mprotect(page, CODE_PAGE, PROT_READ | PROT_WRITE) != 0) abort();
  memset(page, filler, CODE_PAGE);
  memcpy(page, code, size);
  if (mprotect(page, CODE_PAGE, protection) != 0) abort();
}

}  // namespace fuzz
