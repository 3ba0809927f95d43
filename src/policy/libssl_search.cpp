// Where the loader would find a libssl candidate, answered before asking it.
//
// A `dlopen` by bare name that finds nothing still probes every folder of
// the search path with each of its hardware-capability subfolders: some 200
// failed system calls, about a quarter of what the library adds to a process
// start, paid in every process for the first candidate alone (it exists only
// on older distributions). Looking in the folders themselves takes a dozen.
// Whatever this cannot answer with certainty goes to the loader by name.
#include "policy/libssl_search.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/core.hpp"
#include "core/loaded_object.hpp"

namespace {

// Every folder a C library for this machine searches after its cache: the
// multiarch and the lib64 layouts. Looking in one it does not search only
// sends the name to the loader.
#if defined(__aarch64__)
#define TG_MULTIARCH "aarch64-linux-gnu"
#else
#define TG_MULTIARCH "x86_64-linux-gnu"
#endif
constexpr const char *SYSTEM_FOLDERS[] = {"/lib/" TG_MULTIARCH, "/usr/lib/" TG_MULTIARCH, "/lib64",
                                          "/usr/lib64", "/lib", "/usr/lib"};
constexpr const char LOADER_CACHE[] = "/etc/ld.so.cache";

enum class folder_answer { absent, present, unsure };

// A regular file of that name in the folder (the loader opens what it finds:
// anything else fails there too and the search goes on).
folder_answer look_in(std::string_view folder, const char *name, char (&path)[PATH_MAX]) {
  // Relative folders depend on the working directory, tokens on the loader.
  if (folder.empty() || folder.front() != '/' || folder.find('$') != std::string_view::npos)
    return folder_answer::unsure;
  const size_t name_size = strlen(name);
  if (folder.size() + 1 + name_size >= sizeof path) return folder_answer::unsure;
  memcpy(path, folder.data(), folder.size());
  path[folder.size()] = '/';
  memcpy(path + folder.size() + 1, name, name_size + 1);
  struct stat status;
  if (stat(path, &status) != 0) return errno == ENOENT || errno == ENOTDIR ? folder_answer::absent : folder_answer::unsure;
  return S_ISREG(status.st_mode) ? folder_answer::present : folder_answer::absent;
}

// The folders of a list in the loader's syntax (':' or ';' between them),
// in order; the first that holds the name wins.
folder_answer look_in_list(std::string_view list, std::string_view origin, const char *name,
                           char (&path)[PATH_MAX]) {
  while (true) {
    const size_t end = list.find_first_of(":;");
    std::string_view folder = list.substr(0, end);
    char expanded[PATH_MAX];
    for (std::string_view token : {std::string_view("$ORIGIN"), std::string_view("${ORIGIN}")}) {
      if (folder.substr(0, token.size()) != token || origin.empty()) continue;
      const std::string_view rest = folder.substr(token.size());
      if (origin.size() + rest.size() >= sizeof expanded) return folder_answer::unsure;
      memcpy(expanded, origin.data(), origin.size());
      memcpy(expanded + origin.size(), rest.data(), rest.size());
      folder = std::string_view(expanded, origin.size() + rest.size());
      break;
    }
    const folder_answer answer = look_in(folder, name, path);
    if (answer != folder_answer::absent) return answer;
    if (end == std::string_view::npos) return folder_answer::absent;
    list = list.substr(end + 1);
  }
}

}  // namespace

// Whether the loader's cache lists the name as a key. Its own layout: a
// 48-byte header that starts "glibc-ld.so.cache1.1" and holds the entry
// count at byte 20, then 24-byte entries whose second word is the offset of
// the key in the file. Any other layout counts as listing everything.
bool cache_lists(std::string_view cache, std::string_view name) {
  constexpr std::string_view MAGIC = "glibc-ld.so.cache1.1";
  constexpr size_t HEADER_SIZE = 48, ENTRY_SIZE = 24, COUNT_AT = 20, KEY_AT = 4;
  if (cache.size() < HEADER_SIZE || cache.substr(0, MAGIC.size()) != MAGIC) return true;
  uint32_t count;
  memcpy(&count, cache.data() + COUNT_AT, sizeof count);
  if (count > (cache.size() - HEADER_SIZE) / ENTRY_SIZE) return true;
  // Nearly every key starts "lib": names of eight bytes or more are
  // compared one word first.
  const char *const bytes = cache.data();
  uint64_t head = 0;
  const bool by_word = name.size() >= sizeof head;
  if (by_word) memcpy(&head, name.data(), sizeof head);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t key;
    memcpy(&key, bytes + HEADER_SIZE + i * ENTRY_SIZE + KEY_AT, sizeof key);
    if (key >= cache.size()) return true;
    if (cache.size() - key <= name.size()) continue;  // no room for the name and its NUL
    if (by_word) {
      uint64_t word;
      memcpy(&word, bytes + key, sizeof word);
      if (word != head) continue;
    }
    if (memcmp(bytes + key, name.data(), name.size()) == 0 && bytes[key + name.size()] == '\0') return true;
  }
  return false;
}

namespace {

bool cache_may_list(const char *name) {
  const int fd = open(LOADER_CACHE, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  struct stat status;
  bool listed = true;
  if (fstat(fd, &status) == 0 && status.st_size > 0) {
    const auto size = static_cast<size_t>(status.st_size);
    void *bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (bytes != MAP_FAILED) {
      listed = cache_lists(std::string_view(static_cast<const char *>(bytes), size), name);
      munmap(bytes, size);
    }
  }
  close(fd);
  return listed;
}

// The loader matches a bare name against the names objects were opened
// under and their sonames; a file name that ends in it is counted too.
bool already_loaded(const link_map *self, const char *name) {
  const link_map *object = self;
  while (object->l_prev) object = object->l_prev;
  const std::string_view wanted(name);
  for (; object; object = object->l_next) {
    const char *soname = soname_in(object->l_ld, object->l_addr);
    if (soname && wanted == soname) return true;
    const std::string_view file(object->l_name ? object->l_name : "");
    const size_t slash = file.rfind('/');
    if ((slash == std::string_view::npos ? file : file.substr(slash + 1)) == wanted) return true;
  }
  return false;
}

}  // namespace

loader_folders own_loader_folders(bool by_path_only) {
  loader_folders folders;
  folders.by_path_only = by_path_only;
  // The loader ignores LD_LIBRARY_PATH in a privileged program.
  if (getauxval(AT_SECURE) == 0 && !by_path_only) folders.library_path = env_lookup("LD_LIBRARY_PATH");
  Dl_info info;
  link_map *self = nullptr;
  if (dladdr1(reinterpret_cast<void *>(&own_loader_folders), &info, reinterpret_cast<void **>(&self),
              RTLD_DL_LINKMAP) == 0 ||
      !self || !info.dli_fname) {
    folders.known = false;
    return folders;
  }
  // $ORIGIN is the folder of the name the library was loaded under.
  const std::string_view file(info.dli_fname);
  const size_t slash = file.rfind('/');
  if (slash != std::string_view::npos && file.front() == '/') folders.origin = file.substr(0, slash);
  uintptr_t strings = 0, runpath = 0;
  bool has_runpath = false;
  for (const ElfW(Dyn) *entry = self->l_ld; entry->d_tag != DT_NULL; ++entry) {
    if (entry->d_tag == DT_STRTAB) strings = entry->d_un.d_ptr;
    if (entry->d_tag == DT_RUNPATH) runpath = entry->d_un.d_val, has_runpath = true;
    // An old-style RPATH is searched by other rules: leave it to the loader.
    if (entry->d_tag == DT_RPATH) folders.known = false;
  }
  folders.self = self;
  if (has_runpath && strings != 0) {
    strings = dynamic_address(strings, self->l_addr);
    folders.runpath = reinterpret_cast<const char *>(strings + runpath);
  }
  return folders;
}

candidate_place find_libssl_candidate(const char *name, const loader_folders &folders, char (&path)[PATH_MAX]) {
  const bool by_path = folders.by_path_only;
  // Already in the process (preloaded, say): the loader answers from its
  // list. (RTLD_NOLOAD would not do to ask: it searches the folders too.)
  if (folders.self && already_loaded(folders.self, name)) return candidate_place::ask_loader;
  if (!folders.known && !by_path) return candidate_place::ask_loader;
  // The loader's order: LD_LIBRARY_PATH, the library's RUNPATH, the cache,
  // the system folders.
  // $ORIGIN in LD_LIBRARY_PATH names the program's folder, not ours: such
  // an entry is left to the loader.
  const struct {
    const char *list;
    std::string_view origin;
  } lists[] = {{folders.library_path, {}}, {folders.runpath, folders.origin}};
  for (const auto &[list, origin] : lists) {
    if (!list || !folders.known) continue;
    const folder_answer answer = look_in_list(list, origin, name, path);
    if (answer == folder_answer::present) return candidate_place::at_path;
    if (answer == folder_answer::unsure && !by_path) return candidate_place::ask_loader;
  }
  if (!by_path && cache_may_list(name)) return candidate_place::ask_loader;
  for (const char *folder : SYSTEM_FOLDERS) {
    const folder_answer answer = look_in(folder, name, path);
    if (answer == folder_answer::present && by_path) return candidate_place::at_path;
    if (answer != folder_answer::absent && !by_path) return candidate_place::ask_loader;
  }
  return candidate_place::nowhere;
}
