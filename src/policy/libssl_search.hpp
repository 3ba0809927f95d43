// Where the loader would find a libssl candidate (libssl_search.cpp).
#pragma once

#include <climits>
#include <string_view>

// The folders a `dlopen` by name from this library searches before the
// system's: LD_LIBRARY_PATH and the library's own RUNPATH (whose $ORIGIN is
// `origin`). `known` is false when they cannot be told for certain.
//
// `by_path_only`: LD_LIBRARY_PATH is left out, and every answer is a file's
// path or nowhere, never "ask the loader" (which would look in
// LD_LIBRARY_PATH first), except for a candidate already in the process:
// the library's RUNPATH, then the system folders. The folders that only the
// loader's cache knows are left out with it.
struct loader_folders {
  bool known = true;
  bool by_path_only = false;
  const char *library_path = nullptr;
  const char *runpath = nullptr;
  std::string_view origin;
  const struct link_map *self = nullptr;  // the library's own entry in the loader's list
};
loader_folders own_loader_folders(bool by_path_only = false);

enum class candidate_place {
  at_path,     // the first file of that name on the search path: `path`
  ask_loader,  // somewhere the loader finds by itself (or not sure): open by name
  nowhere,     // in no folder searched, nor listed in the loader's cache
};
candidate_place find_libssl_candidate(const char *name, const loader_folders &folders, char (&path)[PATH_MAX]);

// Whether the bytes of the loader's cache list `name` as a key; true for
// anything that is not a cache this library can read.
bool cache_lists(std::string_view cache, std::string_view name);
