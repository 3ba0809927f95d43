// Entries that fuzzing of the hooking engine's relocator turned up, kept as
// cases: each is placed at the start of an executable page of its own.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "hook/hook.hpp"

namespace {

int replacement() { return 0; }

int prepare_on_page(const std::vector<uint8_t> &code, void **slot_out) {
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(page, MAP_FAILED);
  memset(page, 0xcc, 4096);
  memcpy(page, code.data(), code.size());
  mprotect(page, 4096, PROT_READ | PROT_EXEC);
  hook_set *set = hook_set_create();
  void *slot = page;
  int status = hook_set_prepare(set, &slot, reinterpret_cast<void *>(&replacement));
  *slot_out = slot;
  hook_set_destroy(set);
  munmap(page, 4096);
  return status;
}

TEST(RelocatorInputs, VexEncodedMaskBranchIsRefusedNotTurnedIntoJz) {
  // c4 e1 74 84 rel32: Knights Corner's jkzd k1, rel32. Its opcode byte is
  // that of jz rel32; rewriting it as one would change what it tests.
  void *slot = nullptr;
  EXPECT_EQ(prepare_on_page({0xc4, 0xe1, 0x74, 0x84, 0x10, 0x00, 0x00, 0x00}, &slot), HOOK_ERROR_UNRELOCATABLE);
  // The plain jz rel32 with the same target is still moved.
  EXPECT_EQ(prepare_on_page({0x0f, 0x84, 0x10, 0x00, 0x00, 0x00, 0x90}, &slot), HOOK_OK);
}

}  // namespace
