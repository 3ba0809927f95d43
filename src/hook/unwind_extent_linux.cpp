// A function's extent from the unwind table that its object already carries.
//
// Every object built by a current toolchain has `.eh_frame_hdr`
// (PT_GNU_EH_FRAME): a table of (start address, frame description) pairs
// sorted by address, for the unwinder's binary search. The frame description
// found there gives the function's start and length. That is O(log n) where
// the walk of the dynamic symbols is O(n) over some 3000 symbols of the C
// library. Only the encodings that linkers emit for the table are read;
// anything else, or a read that would leave the segment holding the table,
// answers "unknown" and the caller falls back to the symbols.
#include <elf.h>
#include <link.h>

#include <cstring>

#include "hook/hook_internal.hpp"

namespace {

// DWARF pointer encodings (the low nibble is the format, the high the base).
constexpr uint8_t PE_OMIT = 0xff;
constexpr uint8_t PE_ABSPTR = 0x00, PE_UDATA2 = 0x02, PE_UDATA4 = 0x03, PE_UDATA8 = 0x04;
constexpr uint8_t PE_SDATA2 = 0x0a, PE_SDATA4 = 0x0b, PE_SDATA8 = 0x0c;
constexpr uint8_t PE_PCREL = 0x10, PE_DATAREL = 0x30;
// What the table of .eh_frame_hdr is written in: 4-byte offsets from the header.
constexpr uint8_t TABLE_ENCODING = PE_DATAREL | PE_SDATA4;

// A bounded reader over the readable segment that holds the table.
struct reader {
  uintptr_t position;
  uintptr_t end;
  bool ok = true;

  template <typename T>
  T take() {
    T value{};
    if (!ok || end - position < sizeof value || position > end) {
      ok = false;
      return value;
    }
    memcpy(&value, reinterpret_cast<const void *>(position), sizeof value);
    position += sizeof value;
    return value;
  }
  uint64_t uleb() {
    uint64_t value = 0;
    for (unsigned shift = 0; ok; shift += 7) {
      uint8_t byte = take<uint8_t>();
      if (shift < 64) value |= uint64_t{byte & 0x7fu} << shift;
      if (!(byte & 0x80)) break;
    }
    return value;
  }
  // A pointer in `encoding`; `relative_to_pc` false reads the bare value (a
  // frame description's length). Encodings other than absolute and
  // pc-relative fail the reader.
  uintptr_t pointer(uint8_t encoding, bool relative_to_pc = true) {
    const uintptr_t here = position;
    uint64_t value = 0;
    switch (encoding & 0x0f) {
      case PE_ABSPTR: case PE_UDATA8: case PE_SDATA8: value = take<uint64_t>(); break;
      case PE_UDATA4: value = take<uint32_t>(); break;
      case PE_SDATA4: value = static_cast<uint64_t>(static_cast<int64_t>(take<int32_t>())); break;
      case PE_UDATA2: value = take<uint16_t>(); break;
      case PE_SDATA2: value = static_cast<uint64_t>(static_cast<int64_t>(take<int16_t>())); break;
      default: ok = false; return 0;
    }
    if (!relative_to_pc) return value;
    switch (encoding & 0x70) {
      case 0: return value;
      case PE_PCREL: return here + value;
      default: ok = false; return 0;
    }
  }
};

struct table_search {
  uintptr_t address;
  unwind_table found;
};

int find_table(dl_phdr_info *info, size_t, void *data) {
  auto *search = static_cast<table_search *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && search->address - info->dlpi_addr - header.p_vaddr < header.p_memsz) {
      search->found = unwind_table_of(*info);
      return 1;
    }
  }
  return 0;
}

// The encoding of the addresses in the frame descriptions that use the
// common information entry at `cie`: its 'R' augmentation, absolute when absent.
bool address_encoding(uintptr_t cie, uintptr_t limit, uint8_t *encoding) {
  reader in{cie, limit};
  uint32_t length = in.take<uint32_t>();
  if (length == 0xffffffffu || in.take<uint32_t>() != 0) return false;  // 64-bit or not a CIE
  uint8_t version = in.take<uint8_t>();
  char augmentation[8];
  size_t n = 0;
  for (char c; (c = static_cast<char>(in.take<uint8_t>())) != '\0' && in.ok;) {
    if (n == sizeof augmentation - 1) return false;
    augmentation[n++] = c;
  }
  augmentation[n] = '\0';
  *encoding = PE_ABSPTR;
  if (n == 0) return in.ok;
  if (augmentation[0] != 'z') return false;
  in.uleb();                                                  // code alignment
  in.uleb();                                                  // data alignment (sleb: only skipped)
  if (version == 1) in.take<uint8_t>(); else in.uleb();       // return address register
  in.uleb();                                                  // augmentation data length
  for (size_t i = 1; i < n && in.ok; ++i) {
    switch (augmentation[i]) {
      case 'R': *encoding = in.take<uint8_t>(); return in.ok;
      case 'L': in.take<uint8_t>(); break;
      case 'P': in.pointer(in.take<uint8_t>(), false); break;
      case 'S': case 'B': break;
      default: return false;
    }
  }
  return in.ok;
}

}  // namespace

unwind_table unwind_table_of(const dl_phdr_info &info) {
  const ElfW(Phdr) *eh_frame = nullptr;
  for (int i = 0; i < info.dlpi_phnum; ++i)
    if (info.dlpi_phdr[i].p_type == PT_GNU_EH_FRAME) eh_frame = &info.dlpi_phdr[i];
  unwind_table table;
  if (eh_frame == nullptr) return table;
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info.dlpi_phdr[i];
    if (header.p_type != PT_LOAD || eh_frame->p_vaddr - header.p_vaddr >= header.p_filesz) continue;
    table.header = info.dlpi_addr + eh_frame->p_vaddr;
    table.segment = code_range{info.dlpi_addr + header.p_vaddr, info.dlpi_addr + header.p_vaddr + header.p_filesz};
  }
  return table;
}

bool unwind_extent(uintptr_t address, code_range *out) {
  table_search search{address, unwind_table{}};
  dl_iterate_phdr(find_table, &search);
  return unwind_extent_in(search.found, address, out);
}

bool unwind_extent_in(const unwind_table &table, uintptr_t address, code_range *out) {
  if (table.header == 0) return false;
  reader in{table.header, table.segment.end};
  if (table.header < table.segment.begin) return false;
  const uint8_t version = in.take<uint8_t>();
  const uint8_t frame_encoding = in.take<uint8_t>();
  const uint8_t count_encoding = in.take<uint8_t>();
  const uint8_t table_encoding = in.take<uint8_t>();
  if (!in.ok || version != 1 || table_encoding != TABLE_ENCODING || count_encoding == PE_OMIT) return false;
  if (frame_encoding != PE_OMIT) in.pointer(frame_encoding);
  const uint64_t count = in.pointer(count_encoding);
  const uintptr_t entries = in.position;
  if (!in.ok || count == 0 || (table.segment.end - entries) / 8 < count) return false;

  // The last entry that starts at or below the address.
  const auto entry_start = [&](uint64_t i) {
    int32_t offset;
    memcpy(&offset, reinterpret_cast<const void *>(entries + i * 8), sizeof offset);
    return table.header + static_cast<uintptr_t>(static_cast<intptr_t>(offset));
  };
  if (entry_start(0) > address) return false;
  uint64_t low = 0, high = count;  // entry_start(low) <= address < entry_start(high)
  while (high - low > 1) {
    const uint64_t middle = low + (high - low) / 2;
    if (entry_start(middle) <= address) low = middle; else high = middle;
  }
  int32_t description_offset;
  memcpy(&description_offset, reinterpret_cast<const void *>(entries + low * 8 + 4), sizeof description_offset);
  const uintptr_t description = table.header + static_cast<uintptr_t>(static_cast<intptr_t>(description_offset));
  if (description < table.segment.begin || description >= table.segment.end) return false;

  reader fde{description, table.segment.end};
  const uint32_t length = fde.take<uint32_t>();
  const uintptr_t cie_field = fde.position;
  const uint32_t cie_offset = fde.take<uint32_t>();
  if (!fde.ok || length == 0xffffffffu || cie_offset == 0 || cie_offset > cie_field - table.segment.begin) return false;
  uint8_t encoding;
  if (!address_encoding(cie_field - cie_offset, table.segment.end, &encoding)) return false;
  const uintptr_t begin = fde.pointer(encoding);
  const uintptr_t size = fde.pointer(encoding, false);
  if (!fde.ok || fde.position > description + 4 + length) return false;
  if (address - begin >= size) return false;  // the nearest description ends before the address
  *out = code_range{begin, begin + size};
  return true;
}
