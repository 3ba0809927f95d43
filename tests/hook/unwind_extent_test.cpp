// The extent the unwind table gives a function must be the extent its symbol
// gives, for every function of the C library, at its entry and at its last
// byte. Hand-written assembly may describe one function in several frames
// (clone marks its child's part apart): there the frame holding the address
// lies within the symbol's extent.
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <string>

#include "hook/hook.hpp"
#include "hook/hook_internal.hpp"

namespace {

struct dynamic_symbols {
  uintptr_t base = 0;
  const ElfW(Sym) *symbols = nullptr;
  size_t count = 0;
};

// The C library's dynamic symbol table; its length is where the last chain
// of the GNU hash table ends.
int find_libc(dl_phdr_info *info, size_t, void *data) {
  if (strstr(info->dlpi_name, "/libc.so.6") == nullptr) return 0;
  auto *out = static_cast<dynamic_symbols *>(data);
  const uint32_t *hash = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
    for (auto *d = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
         d->d_tag != DT_NULL; ++d) {
      if (d->d_tag == DT_SYMTAB) out->symbols = reinterpret_cast<const ElfW(Sym) *>(d->d_un.d_ptr);
      if (d->d_tag == DT_GNU_HASH) hash = reinterpret_cast<const uint32_t *>(d->d_un.d_ptr);
    }
  }
  if (!hash || !out->symbols) return 1;
  const uint32_t buckets = hash[0], offset = hash[1], bloom = hash[2];
  const auto *bucket = reinterpret_cast<const uint32_t *>(reinterpret_cast<const ElfW(Addr) *>(hash + 4) + bloom);
  const uint32_t *chain = bucket + buckets;
  uint32_t last = 0;
  for (uint32_t b = 0; b < buckets; ++b) last = bucket[b] > last ? bucket[b] : last;
  if (last >= offset)
    while ((chain[last - offset] & 1u) == 0) ++last;
  out->base = info->dlpi_addr;
  out->count = last + 1;
  return 1;
}

TEST(UnwindExtent, AgreesWithTheSymbolsOverEveryFunctionOfTheCLibrary) {
  dynamic_symbols libc;
  dl_iterate_phdr(find_libc, &libc);
  ASSERT_GT(libc.count, 1000u) << "the C library's symbols were not found";
  size_t functions = 0, unwound = 0, split = 0;
  for (size_t i = 0; i < libc.count; ++i) {
    const ElfW(Sym) &symbol = libc.symbols[i];
    if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF || symbol.st_size == 0) continue;
    ++functions;
    const uintptr_t entry = libc.base + symbol.st_value;
    // At the entry, where hooks go, and at the last byte.
    for (uintptr_t address : {entry, entry + symbol.st_size - 1}) {
      SCOPED_TRACE(testing::Message() << "symbol " << i << " at " << std::hex << address);
      code_range from_unwind{};
      if (!unwind_extent(address, &from_unwind)) continue;
      ++unwound;
      const nearest_symbol nearest = nearest_dynamic_symbol(address);
      ASSERT_TRUE(nearest.found && nearest.symbol);
      const code_range from_symbol{nearest.address, nearest.address + nearest.symbol->st_size};
      EXPECT_TRUE(from_unwind.begin <= address && address < from_unwind.end);
      EXPECT_TRUE(from_symbol.begin <= from_unwind.begin && from_unwind.end <= from_symbol.end);
      split += from_unwind.begin != from_symbol.begin || from_unwind.end != from_symbol.end;
    }
  }
  EXPECT_LE(split, 8u) << "frames that are not the whole function";
  EXPECT_GT(functions, 2000u);
  // Nearly every function has its unwind entry; the rest take the symbol walk.
  EXPECT_GT(unwound, functions * 2 * 9 / 10);
}

// The engine finds a function by name in the object's own symbol table, as
// the loader would bind a new reference to it: every function of the C
// library at its default version, with its symbol's size; a hidden older
// version is never what a name finds, nor is a misspelt name anything.
TEST(FunctionsByName, FindEveryDefaultVersionOfTheCLibraryWithItsSize) {
  dynamic_symbols libc;
  dl_iterate_phdr(find_libc, &libc);
  ASSERT_GT(libc.count, 1000u);
  const void *anchor = reinterpret_cast<const void *>(libc.base + libc.symbols[libc.count - 1].st_value);
  const code_place place = code_place_around(reinterpret_cast<uintptr_t>(anchor));
  ASSERT_NE(place.dynamic.versions, nullptr);
  size_t found = 0, hidden = 0;
  for (size_t i = 0; i < libc.count; ++i) {
    const ElfW(Sym) &symbol = libc.symbols[i];
    if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0) continue;
    const char *const name = place.dynamic.names + symbol.st_name;
    SCOPED_TRACE(name);
    if (place.dynamic.versions[i] & 0x8000u) {
      ++hidden;
      EXPECT_NE(exported_function(place.dynamic, name), &symbol);
      continue;
    }
    const std::string misspelt = std::string(name) + "_";
    const char *const names[] = {name, misspelt.c_str()};
    const uint32_t hashes[] = {symbol_name_hash(names[0]), symbol_name_hash(names[1])};
    void *addresses[2];
    size_t sizes[2];
    ASSERT_EQ(hook_find_functions(anchor, names, 2, addresses, sizes, hashes), 1u);
    EXPECT_EQ(addresses[1], nullptr);
    const uintptr_t entry = libc.base + symbol.st_value;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(addresses[0]), entry);
    EXPECT_EQ(sizes[0], symbol.st_size);
    bool sized = false;
    const code_range chosen = function_extent(entry, place, sizes[0], &sized);
    EXPECT_EQ(sized, symbol.st_size != 0);
    if (sized) {
      EXPECT_TRUE(chosen.begin == entry && chosen.end == entry + symbol.st_size);
    }
    ++found;
  }
  EXPECT_GT(found, 2000u);
  EXPECT_GT(hidden, 10u) << "no older versions: the hidden case proved nothing";
}

}  // namespace
