// Reading a loaded object's own dynamic section.
#pragma once

#include <link.h>

#include <cstdint>

// An address the dynamic section gives: relocated in place by the loader,
// except in objects it did not map itself (the vDSO).
inline uintptr_t dynamic_address(uintptr_t value, uintptr_t base) { return value < base ? value + base : value; }

// The object's DT_SONAME, or null. `dynamic` is its dynamic section, `base`
// its load address.
inline const char *soname_in(const ElfW(Dyn) *dynamic, uintptr_t base) {
  if (!dynamic) return nullptr;
  uintptr_t strings = 0, soname = 0;
  bool has_soname = false;
  for (const ElfW(Dyn) *entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
    if (entry->d_tag == DT_STRTAB) strings = entry->d_un.d_ptr;
    if (entry->d_tag == DT_SONAME) soname = entry->d_un.d_val, has_soname = true;
  }
  if (!has_soname || strings == 0) return nullptr;
  return reinterpret_cast<const char *>(dynamic_address(strings, base) + soname);
}
