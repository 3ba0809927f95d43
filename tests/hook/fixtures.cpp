// What the engine's tests share about the assembly fixtures.
#include "fixtures.hpp"

#include <cstdio>
#include <fstream>

std::string mapping_permissions(const void *address) {
  auto wanted = reinterpret_cast<uintptr_t>(address);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long begin = 0, end = 0;
    char permissions[5] = {};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, permissions) == 3 && wanted >= begin && wanted < end)
      return permissions;
  }
  return "unmapped";
}
