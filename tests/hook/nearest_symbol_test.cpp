// The engine's own walk for a function's symbol must name exactly the symbol
// dladdr1 names, for any address in any loaded object.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <string>
#include <vector>

#include "hook/hook_internal.hpp"

namespace {

struct object_text {
  std::string name;
  uintptr_t begin;
  uintptr_t end;
};

int collect_text(dl_phdr_info *info, size_t, void *data) {
  auto *objects = static_cast<std::vector<object_text> *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD) {
      const uintptr_t begin = info->dlpi_addr + header.p_vaddr;
      objects->push_back({info->dlpi_name[0] ? info->dlpi_name : "(main program)", begin, begin + header.p_memsz});
    }
  }
  return 0;
}

std::string describe(bool found, const void *symbol, uintptr_t address) {
  char text[96];
  snprintf(text, sizeof text, "found %d symbol %p at %#lx", found, symbol, static_cast<unsigned long>(address));
  return text;
}

TEST(NearestSymbol, NamesWhatDladdr1NamesEverywhere) {
  std::vector<object_text> objects;
  dl_iterate_phdr(collect_text, &objects);
  ASSERT_FALSE(objects.empty());
  int compared = 0, with_symbol = 0;
  for (const object_text &object : objects) {
    SCOPED_TRACE(object.name);
    // Every 193rd byte of every loaded segment, its first and last byte, and
    // one byte past it.
    std::vector<uintptr_t> addresses = {object.begin, object.end - 1, object.end};
    for (uintptr_t a = object.begin; a < object.end; a += 193) addresses.push_back(a);
    for (uintptr_t address : addresses) {
      Dl_info info{};
      void *entry = nullptr;
      const bool found = dladdr1(reinterpret_cast<void *>(address), &info, &entry, RTLD_DL_SYMENT) != 0;
      const nearest_symbol ours = nearest_dynamic_symbol(address);
      const std::string expected = describe(found, found ? entry : nullptr, found ? reinterpret_cast<uintptr_t>(info.dli_saddr) : 0);
      const std::string actual = describe(ours.found, ours.found ? ours.symbol : nullptr, ours.found ? ours.address : 0);
      ASSERT_EQ(actual, expected) << "at " << std::hex << address;
      ++compared;
      with_symbol += entry != nullptr;
    }
  }
  EXPECT_GT(compared, 3000);
  EXPECT_GT(with_symbol, 300);
}

}  // namespace
