// Where a target's code lies: the executable segment that bounds every read
// the engine makes, and the extent of the function scanned for branches into
// the bytes a patch displaces. Both come from the dynamic loader's own tables,
// so nothing here opens a file.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include "hook/hook_internal.hpp"

namespace {

struct segment_search {
  uintptr_t address;
  code_range found;
};

int find_segment(dl_phdr_info *info, size_t, void *data) {
  auto *search = static_cast<segment_search *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD || !(header.p_flags & PF_X)) continue;
    uintptr_t begin = info->dlpi_addr + header.p_vaddr;
    uintptr_t end = begin + header.p_memsz;
    if (search->address >= begin && search->address < end) {
      search->found = code_range{begin, end};
      return 1;
    }
  }
  return 0;
}

}  // namespace

code_range mapped_code_around(uintptr_t address) {
  segment_search search{address, code_range{0, 0}};
  if (dl_iterate_phdr(find_segment, &search) != 0) return search.found;
  // Code outside any loaded object: only its own page is known to be there.
  uintptr_t page = address & ~uintptr_t{NEAR_PAGE_SIZE - 1};
  return code_range{address, page + NEAR_PAGE_SIZE};
}

code_range function_extent(uintptr_t address, code_range mapped, bool *sized) {
  Dl_info info{};
  void *symbol_entry = nullptr;
  bool found = dladdr1(reinterpret_cast<void *>(address), &info, &symbol_entry, RTLD_DL_SYMENT) != 0;
  const auto *symbol = static_cast<const ElfW(Sym) *>(symbol_entry);
  if (found &&
      symbol != nullptr && info.dli_saddr != nullptr && symbol->st_size != 0 &&
      ELF64_ST_TYPE(symbol->st_info) == STT_FUNC) {
    uintptr_t begin = reinterpret_cast<uintptr_t>(info.dli_saddr);
    uintptr_t end = begin + symbol->st_size;
    // dladdr reports the nearest symbol below; it only counts if it covers us.
    if (address >= begin && address < end && begin >= mapped.begin && end <= mapped.end) {
      *sized = true;
      return code_range{begin, end};
    }
  }
  *sized = false;
  uintptr_t end = address + FUNCTION_SCAN_LIMIT;
  return code_range{address, end < mapped.end ? end : mapped.end};
}
