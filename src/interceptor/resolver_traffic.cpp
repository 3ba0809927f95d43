// Name resolution's own traffic, which the outbound rule never judges: under
// an outbound block it would otherwise refuse every lookup.
//
// Two tests, both on facts the function's code cannot rewrite:
// - who calls: code inside the C library's own getaddrinfo (its source-address
//   probes) or inside libresolv. The objects are recognised by the DT_SONAME
//   of their own dynamic section ("libc.so.6", "libresolv.so.2"), never by a
//   file name (dladdr names the main program after argv[0], which a program
//   may rewrite), and the main program is never one of them. Their code
//   ranges are noted at the first judged connection; a caller outside every
//   known object (one loaded later) makes one new scan, so the usual call
//   costs a table walk and no loader lock.
// - where to: port 53 of a name server listed in /etc/resolv.conf (read once,
//   at the first connection to a port 53), whatever library sends the query.
//
// Both facts are made at first need rather than at start-up: most programs
// never connect, and making them cost some 110,000 instructions a start. A
// thread that finds them being made by another (or by a thread that did not
// come along at fork) makes its own copy for its call instead of waiting.
#include "interceptor/interceptor.hpp"
#include "core/core.hpp"
#include "core/loaded_object.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string_view>

namespace {

struct code_range {
  uintptr_t start;
  uintptr_t end;  // one past the last byte
  bool resolver;
};

// Append-only: an entry is written before the count that publishes it.
constexpr int MAX_OBJECTS = 1024;
// Kept apart from the variables every start touches (see core.hpp).
TESSELGUARD_RARELY_USED code_range known_objects[MAX_OBJECTS];
std::atomic<int> known_object_count{0};
// Only one scan at a time; taken with trylock, so a fork that copied it
// locked (or a scan already running) means "answer without scanning".
pthread_mutex_t scan_lock = PTHREAD_MUTEX_INITIALIZER;

uintptr_t getaddrinfo_start = 0, getaddrinfo_end = 0;

constexpr const char *RESOLV_CONF = "/etc/resolv.conf";
constexpr int MAX_NAME_SERVERS = 8;
in6_addr name_servers[MAX_NAME_SERVERS];  // IPv4 ones as ::ffff:a.b.c.d
int name_server_count = 0;

// Each fact: not made yet, being made by one thread, ready.
constexpr int FACT_UNMADE = 0, FACT_MAKING = 1, FACT_READY = 2;
std::atomic<int> objects_fact{FACT_UNMADE};
std::atomic<int> servers_fact{FACT_UNMADE};

bool claim(std::atomic<int> &fact) {
  int expected = FACT_UNMADE;
  return fact.compare_exchange_strong(expected, FACT_MAKING, std::memory_order_acq_rel);
}

// Callers found outside every object (generated code, say) on this thread:
// not scanned for again.
constexpr unsigned UNKNOWN_CALLERS = 8;
thread_local uintptr_t unknown_callers[UNKNOWN_CALLERS];
thread_local unsigned next_unknown_caller = 0;

const char *object_soname(const dl_phdr_info *info) {
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
      return soname_in(reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr),
                       info->dlpi_addr);
  return nullptr;
}

bool is_known(uintptr_t start) {
  const int count = known_object_count.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    if (known_objects[i].start == start) return true;
  return false;
}

int note_object(dl_phdr_info *info, size_t, void *data) {
  bool &first = *static_cast<bool *>(data);
  const bool main_program = first;
  first = false;
  uintptr_t start = UINTPTR_MAX, end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
    const uintptr_t from = info->dlpi_addr + segment.p_vaddr;
    if (from < start) start = from;
    if (from + segment.p_memsz > end) end = from + segment.p_memsz;
  }
  if (end == 0 || is_known(start)) return 0;
  const int count = known_object_count.load(std::memory_order_relaxed);
  if (count == MAX_OBJECTS) return 1;
  const char *soname = main_program ? nullptr : object_soname(info);
  known_objects[count] = {start, end, soname != nullptr && std::string_view(soname) == "libresolv.so.2"};
  known_object_count.store(count + 1, std::memory_order_release);
  return 0;
}

void scan_objects() {
  if (pthread_mutex_trylock(&scan_lock) != 0) return;
  bool first = true;
  {
    loader_scope loader;
    dl_iterate_phdr(note_object, &first);
  }
  pthread_mutex_unlock(&scan_lock);
}


// The symbol `name` of a loaded object, from its GNU hash table: a few
// compares where dladdr1 walks all the C library's symbols (~90,000
// instructions). Null when the object has no such table or no such name.
const ElfW(Sym) *hashed_symbol(const link_map *object, const char *name) {
  const ElfW(Word) *table = nullptr;
  const ElfW(Sym) *symbols = nullptr;
  const char *strings = nullptr;
  for (const ElfW(Dyn) *entry = object->l_ld; entry->d_tag != DT_NULL; ++entry) {
    const uintptr_t address = dynamic_address(entry->d_un.d_ptr, object->l_addr);
    if (entry->d_tag == DT_GNU_HASH) table = reinterpret_cast<const ElfW(Word) *>(address);
    if (entry->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const ElfW(Sym) *>(address);
    if (entry->d_tag == DT_STRTAB) strings = reinterpret_cast<const char *>(address);
  }
  if (!table || !symbols || !strings) return nullptr;
  const ElfW(Word) bucket_count = table[0], first_hashed = table[1], bloom_words = table[2];
  if (bucket_count == 0) return nullptr;
  const auto *buckets = reinterpret_cast<const ElfW(Word) *>(reinterpret_cast<const ElfW(Addr) *>(table + 4) + bloom_words);
  const ElfW(Word) *chains = buckets + bucket_count;
  uint32_t hash = 5381;
  for (const char *c = name; *c; ++c) hash = hash * 33 + static_cast<unsigned char>(*c);
  ElfW(Word) index = buckets[hash % bucket_count];
  if (index < first_hashed) return nullptr;
  for (;; ++index) {
    const ElfW(Word) chained = chains[index - first_hashed];
    if ((chained | 1u) == (hash | 1u) && strcmp(strings + symbols[index].st_name, name) == 0) return &symbols[index];
    if (chained & 1u) return nullptr;
  }
}

// The range of the C library's own getaddrinfo, from its symbol's size.
void note_getaddrinfo(uintptr_t *start, uintptr_t *end) {
  loader_scope loader;
  void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  if (!libc) return;
  void *function = dlsym(libc, "getaddrinfo");
  const ElfW(Sym) *symbol = nullptr;
  link_map *object = nullptr;
  if (function && dlinfo(libc, RTLD_DI_LINKMAP, &object) == 0 && object) {
    symbol = hashed_symbol(object, "getaddrinfo");
    // Only the very definition dlsym found counts.
    if (symbol && object->l_addr + symbol->st_value != reinterpret_cast<uintptr_t>(function)) symbol = nullptr;
  }
  Dl_info info;
  void *entry = nullptr;
  if (function && !symbol && dladdr1(function, &info, &entry, RTLD_DL_SYMENT) != 0)
    symbol = static_cast<const ElfW(Sym) *>(entry);
  if (symbol && symbol->st_size > 0) {
    *start = reinterpret_cast<uintptr_t>(function);
    *end = *start + symbol->st_size;
  }
  dlclose(libc);
}

void add_name_server(const char *text, in6_addr *servers, int *count) {
  if (*count == MAX_NAME_SERVERS) return;
  char address[INET6_ADDRSTRLEN + 1];
  size_t length = strcspn(text, "%");  // a scope ("fe80::1%eth0") is not compared
  if (length >= sizeof address) return;
  memcpy(address, text, length);
  address[length] = '\0';
  in_addr ipv4;
  in6_addr &server = servers[*count];
  if (inet_pton(AF_INET, address, &ipv4) == 1) {
    server = in6_addr{};
    server.s6_addr[10] = server.s6_addr[11] = 0xff;
    memcpy(&server.s6_addr[12], &ipv4, 4);
  } else if (inet_pton(AF_INET6, address, &server) != 1) {
    return;
  }
  ++*count;
}

// Read with the real functions: the hooks may be installed by now, and
// this read is ours, not the program's.
int load_name_servers(const char *resolv_conf, in6_addr *servers) {
  int count = 0;
  int fd = real_open(resolv_conf, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[16384];
  size_t used = 0;
  ssize_t got;
  while (used < sizeof text - 1 && (got = read(fd, text + used, sizeof text - 1 - used)) > 0) used += got;
  real_close(fd);
  text[used] = '\0';
  char *save = nullptr;
  for (char *line = strtok_r(text, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
    char *word_save = nullptr;
    const char *keyword = strtok_r(line, " \t\r", &word_save);
    if (!keyword || strcmp(keyword, "nameserver") != 0) continue;
    if (const char *address = strtok_r(nullptr, " \t\r", &word_save)) add_name_server(address, servers, &count);
  }
  return count;
}

bool listed(const in6_addr *servers, int count, const destination &to) {
  for (int i = 0; i < count; ++i)
    if (memcmp(&servers[i], &to.address, sizeof to.address) == 0) return true;
  return false;
}

}  // namespace

void read_name_servers(const char *resolv_conf) {
  name_server_count = load_name_servers(resolv_conf, name_servers);
  servers_fact.store(FACT_READY, std::memory_order_release);
}

void find_resolver_objects() {
  note_getaddrinfo(&getaddrinfo_start, &getaddrinfo_end);
  scan_objects();
  objects_fact.store(FACT_READY, std::memory_order_release);
}

void reset_resolver_facts_after_fork() {
  // The child's only thread: a fact another thread was making stays unmade,
  // and the scan lock it may have held is free again.
  int making = FACT_MAKING;
  objects_fact.compare_exchange_strong(making, FACT_UNMADE);
  making = FACT_MAKING;
  servers_fact.compare_exchange_strong(making, FACT_UNMADE);
  const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  scan_lock = fresh;
}

bool caller_is_resolver(const void *return_address) {
  const auto caller = reinterpret_cast<uintptr_t>(return_address);
  bool ready = objects_fact.load(std::memory_order_acquire) == FACT_READY;
  if (!ready) {
    if (claim(objects_fact)) {
      find_resolver_objects();
      ready = true;
    } else {
      // Another thread is making the facts: its range is not to be read
      // until it has published them; find the range for this call alone.
      uintptr_t start = 0, end = 0;
      note_getaddrinfo(&start, &end);
      if (caller >= start && caller < end) return true;
    }
  }
  if (ready && caller >= getaddrinfo_start && caller < getaddrinfo_end) return true;
  for (int pass = 0; pass < 2; ++pass) {
    const int count = known_object_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i)
      if (caller >= known_objects[i].start && caller < known_objects[i].end) return known_objects[i].resolver;
    if (pass == 1) break;
    for (uintptr_t unknown : unknown_callers)
      if (unknown == caller) return false;
    scan_objects();
  }
  unknown_callers[next_unknown_caller++ % UNKNOWN_CALLERS] = caller;
  return false;
}

bool is_name_server_query(const destination &to) {
  if (to.port != 53) return false;
  if (servers_fact.load(std::memory_order_acquire) != FACT_READY) {
    if (claim(servers_fact)) {
      read_name_servers(RESOLV_CONF);
    } else {
      in6_addr servers[MAX_NAME_SERVERS];
      return listed(servers, load_name_servers(RESOLV_CONF, servers), to);
    }
  }
  return listed(name_servers, name_server_count, to);
}
