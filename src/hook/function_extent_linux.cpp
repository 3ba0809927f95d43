// Where a target's code lies: the executable segment that bounds every read
// the engine makes, and the extent of the function scanned for branches into
// the bytes a patch displaces. Both come from the dynamic loader's own tables
// and the object's symbol and unwind tables, so nothing here opens a file.
// A hook whose function was found by name (hook_find_functions) takes its
// symbol's size: one hash look-up, in pages the loader reads anyway, where
// the unwind table's binary search costs several times the instructions and
// pages that no other start-up work reads. The symbol walk is the fallback
// for code that neither covers.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include "hook/hook_internal.hpp"

namespace {

struct place_search {
  uintptr_t address;
  bool found;
  code_place place;
};

// The loader rewrites these addresses in place when it maps an object,
// except in a read-only dynamic section (the vDSO's), where they stay offsets.
uintptr_t dynamic_address(uintptr_t value, uintptr_t base) { return value < base ? value + base : value; }

symbol_table symbol_table_of(const dl_phdr_info &info) {
  symbol_table table;
  const ElfW(Dyn) *dynamic = nullptr;
  for (int i = 0; i < info.dlpi_phnum; ++i)
    if (info.dlpi_phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn) *>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
  for (const ElfW(Dyn) *entry = dynamic; entry && entry->d_tag != DT_NULL; ++entry) {
    const uintptr_t value = dynamic_address(entry->d_un.d_ptr, info.dlpi_addr);
    if (entry->d_tag == DT_SYMTAB) table.symbols = reinterpret_cast<const ElfW(Sym) *>(value);
    else if (entry->d_tag == DT_GNU_HASH) table.gnu_hash = reinterpret_cast<const uint32_t *>(value);
    else if (entry->d_tag == DT_STRTAB) table.names = reinterpret_cast<const char *>(value);
    else if (entry->d_tag == DT_STRSZ) table.names_size = entry->d_un.d_val;
    else if (entry->d_tag == DT_VERSYM) table.versions = reinterpret_cast<const uint16_t *>(value);
  }
  if (!table.gnu_hash || !table.names || table.gnu_hash[0] == 0) table.symbols = nullptr;
  table.base = info.dlpi_addr;
  return table;
}

// The buckets of a GNU hash table: after its header and its Bloom filter.
const uint32_t *hash_buckets(const symbol_table &table) {
  return reinterpret_cast<const uint32_t *>(reinterpret_cast<const ElfW(Addr) *>(table.gnu_hash + 4) +
                                            table.gnu_hash[2]);
}

int find_place(dl_phdr_info *info, size_t, void *data) {
  auto *search = static_cast<place_search *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD || !(header.p_flags & PF_X)) continue;
    uintptr_t begin = info->dlpi_addr + header.p_vaddr;
    uintptr_t end = begin + header.p_memsz;
    if (search->address >= begin && search->address < end) {
      search->found = true;
      search->place = code_place{code_range{begin, end}, unwind_table_of(*info), symbol_table_of(*info),
                                 object_guards_branch_targets(*info)};
      return 1;
    }
  }
  return 0;
}

// ---- the nearest dynamic symbol, as dladdr1 finds it -----------------------
// dladdr1 tests every symbol of the object against several conditions; for
// the C library that is some 90,000 instructions a call, and start-up asks
// once per hook. The same walk, with the cheap address test first, gives the
// same symbol for a fraction of that. Objects without a GNU hash table (it
// fixes the order of the walk) are left to dladdr1.

struct object_search {
  uintptr_t address;
  bool found;
  symbol_table table;
};

int find_object(dl_phdr_info *info, size_t, void *data) {
  auto *search = static_cast<object_search *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && search->address - info->dlpi_addr - header.p_vaddr < header.p_memsz) {
      search->found = true;
      search->table = symbol_table_of(*info);
      return 1;
    }
  }
  return 0;
}

// What dladdr1 counts as a match: the symbol covers the address, or is
// empty (or undefined) and sits exactly on it (`offset`: the address less
// the object's base).
inline bool covers(const ElfW(Sym) &symbol, uintptr_t offset) {
  const uintptr_t into = offset - symbol.st_value;  // huge when below the symbol
  if (into < symbol.st_size) return offset >= symbol.st_value;
  return into == 0 && (symbol.st_shndx == SHN_UNDEF || symbol.st_size == 0);
}

}  // namespace

nearest_symbol nearest_dynamic_symbol(uintptr_t address) {
  object_search search{address, false, symbol_table{}};
  dl_iterate_phdr(find_object, &search);
  const symbol_table &table = search.table;
  if (!search.found || !table.symbols) {
    Dl_info info{};
    void *entry = nullptr;
    nearest_symbol result;
    result.found = dladdr1(reinterpret_cast<void *>(address), &info, &entry, RTLD_DL_SYMENT) != 0;
    result.symbol = static_cast<const ElfW(Sym) *>(entry);
    result.address = reinterpret_cast<uintptr_t>(info.dli_saddr);
    return result;
  }
  // The walk of glibc's _dl_addr over the GNU hash table: bucket by bucket,
  // along each chain; a later symbol wins only at a strictly higher address.
  const uint32_t bucket_count = table.gnu_hash[0];
  const uint32_t *buckets = hash_buckets(table);
  const uint32_t *chain_zero = buckets + bucket_count - table.gnu_hash[1];
  const ElfW(Sym) *match = nullptr;
  const uintptr_t offset = address - table.base;
  for (uint32_t bucket = 0; bucket < bucket_count; ++bucket) {
    uint32_t index = buckets[bucket];
    if (index == 0) continue;
    const uint32_t *hash = &chain_zero[index];
    do {
      const ElfW(Sym) &symbol = table.symbols[index];
      if (covers(symbol, offset) && (match == nullptr || match->st_value < symbol.st_value) &&
          (symbol.st_shndx != SHN_UNDEF || symbol.st_value != 0) && symbol.st_shndx != SHN_ABS &&
          ELF64_ST_TYPE(symbol.st_info) != STT_TLS && symbol.st_name < table.names_size)
        match = &symbol;
      ++index;
    } while ((*hash++ & 1u) == 0);
  }
  nearest_symbol result;
  result.found = true;
  result.symbol = match;
  result.address = match ? table.base + match->st_value : 0;
  return result;
}

code_place code_place_around(uintptr_t address) {
  place_search search{address, false, code_place{}};
  if (dl_iterate_phdr(find_place, &search) != 0 && search.found) return search.place;
  // Code outside any loaded object: only its own page is known to be there.
  uintptr_t page = address & ~uintptr_t{NEAR_PAGE_SIZE - 1};
  return code_place{code_range{address, page + NEAR_PAGE_SIZE}, unwind_table{}};
}

namespace {

// The symbol's name is `name` (compared here: a first call of the C
// library's strcmp would cost the loader's look-up of it).
bool same_name(const symbol_table &table, const ElfW(Sym) &symbol, const char *name) {
  if (symbol.st_name >= table.names_size) return false;
  const char *own = table.names + symbol.st_name;
  const size_t room = table.names_size - symbol.st_name;
  for (size_t i = 0; i < room; ++i) {
    if (own[i] != name[i]) return false;
    if (name[i] == '\0') return true;
  }
  return false;
}

}  // namespace

const ElfW(Sym) *exported_function(const symbol_table &table, const char *name) {
  return name ? exported_function(table, name, symbol_name_hash(name)) : nullptr;
}

const ElfW(Sym) *exported_function(const symbol_table &table, const char *name, uint32_t hash) {
  if (!table.symbols || !name) return nullptr;
  const uint32_t bucket_count = table.gnu_hash[0];
  const uint32_t symbol_offset = table.gnu_hash[1];
  const uint32_t *buckets = hash_buckets(table);
  uint32_t index = buckets[hash % bucket_count];
  if (index < symbol_offset) return nullptr;  // an empty bucket
  const uint32_t *chain_zero = buckets + bucket_count - symbol_offset;
  for (;; ++index) {
    const uint32_t chained = chain_zero[index];
    const ElfW(Sym) &symbol = table.symbols[index];
    // The default version: not hidden (bit 15), and not local (0).
    const bool default_version = !table.versions || ((table.versions[index] & 0x8000u) == 0 && table.versions[index] != 0);
    if ((chained | 1u) == (hash | 1u) && ELF64_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_shndx != SHN_UNDEF &&
        symbol.st_value != 0 && default_version && same_name(table, symbol, name))
      return &symbol;
    if (chained & 1u) return nullptr;  // the chain's last symbol
  }
}

code_range function_extent(uintptr_t address, const code_place &place, size_t size, bool *sized) {
  const code_range mapped = place.mapped;
  if (size != 0 && address >= mapped.begin && address < mapped.end && size <= mapped.end - address) {
    *sized = true;
    return code_range{address, address + size};
  }
  code_range unwound;
  if (unwind_extent_in(place.unwind, address, &unwound) && unwound.begin >= mapped.begin && unwound.end <= mapped.end) {
    *sized = true;
    return unwound;
  }
  nearest_symbol nearest = nearest_dynamic_symbol(address);
  const ElfW(Sym) *symbol = nearest.symbol;
  if (nearest.found &&
      symbol != nullptr && nearest.address != 0 && symbol->st_size != 0 &&
      ELF64_ST_TYPE(symbol->st_info) == STT_FUNC) {
    uintptr_t begin = nearest.address;
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

size_t hook_find_functions(const void *anchor, const char *const names[], size_t count, void *addresses[],
                           size_t sizes[], const uint32_t hashes[]) {
  const code_place place = code_place_around(reinterpret_cast<uintptr_t>(anchor));
  size_t found = 0;
  for (size_t i = 0; i < count; ++i) {
    const ElfW(Sym) *symbol = hashes && names[i] ? exported_function(place.dynamic, names[i], hashes[i])
                                                 : exported_function(place.dynamic, names[i]);
    addresses[i] = symbol ? reinterpret_cast<void *>(place.dynamic.base + symbol->st_value) : nullptr;
    sizes[i] = symbol ? symbol->st_size : 0;
    found += symbol != nullptr;
  }
  return found;
}
