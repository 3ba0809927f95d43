// Whether a loaded object's code pages are BTI-guarded. The loader (and the
// kernel, for the program and the loader itself) guards the code of every
// object whose GNU property note says it was built for BTI, when the
// processor has BTI. Patching must keep such pages guarded.
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstring>

#include "hook/instructions_aarch64.hpp"

namespace {

constexpr uint32_t PROPERTY_SEGMENT = 0x6474e553;       // PT_GNU_PROPERTY
constexpr uint32_t PROPERTY_NOTE = 5;                   // NT_GNU_PROPERTY_TYPE_0
constexpr uint32_t AARCH64_FEATURES = 0xc0000000;       // GNU_PROPERTY_AARCH64_FEATURE_1_AND
constexpr uint32_t FEATURE_BTI = 1;
constexpr unsigned long HWCAP2_BTI_BIT = 1ul << 17;

uint32_t u32_at(uintptr_t address) {
  uint32_t value;
  memcpy(&value, reinterpret_cast<const void *>(address), sizeof value);
  return value;
}

uintptr_t align8(uintptr_t value) { return (value + 7) & ~uintptr_t{7}; }

bool notes_mark_bti(uintptr_t begin, uintptr_t end) {
  for (uintptr_t note = begin; note + 12 <= end;) {
    const uint32_t name_size = u32_at(note), description_size = u32_at(note + 4), type = u32_at(note + 8);
    const uintptr_t description = align8(note + 12 + name_size);
    const uintptr_t next = align8(description + description_size);
    if (next > end || next <= note) return false;
    if (type == PROPERTY_NOTE && name_size == 4 && memcmp(reinterpret_cast<const void *>(note + 12), "GNU", 4) == 0) {
      for (uintptr_t property = description; property + 8 <= description + description_size;) {
        const uint32_t kind = u32_at(property), size = u32_at(property + 4);
        if (kind == AARCH64_FEATURES && size >= 4) return (u32_at(property + 8) & FEATURE_BTI) != 0;
        property = align8(property + 8 + size);
      }
    }
    note = next;
  }
  return false;
}

}  // namespace

bool a64_object_is_guarded(const dl_phdr_info &info) {
  if (!(getauxval(AT_HWCAP2) & HWCAP2_BTI_BIT)) return false;
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info.dlpi_phdr[i];
    if (header.p_type != PROPERTY_SEGMENT) continue;
    const uintptr_t begin = info.dlpi_addr + header.p_vaddr;
    return notes_mark_bti(begin, begin + header.p_memsz);
  }
  return false;
}
