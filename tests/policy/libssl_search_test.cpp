// Where a libssl candidate is looked for before the loader is asked: the
// answer must be the loader's own, or leave the question to it; in a started
// program's search (by path only), a file's path or nowhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "policy/libssl_search.hpp"
#include "scoped.hpp"
#include "scratch_directory.hpp"

namespace {

TEST(LibsslSearch, AnswersOnlyWhatTheLoaderWouldFindTheSameWay) {
  scratch_directory scratch;
  const std::string s = scratch.path;
  for (const char *folder : {"/empty", "/first", "/origin", "/origin/sub", "/origin/libtg_folder.so.1"})
    ASSERT_EQ(mkdir((s + folder).c_str(), 0700), 0);
  for (const char *file : {"/first/libtg_probe.so.1", "/origin/sub/libtg_probe.so.1"})
    std::ofstream(s + file) << "x";
  struct row {
    const char *name;
    std::string library_path;  // "-": unset
    const char *runpath;
    candidate_place place;
    std::string path;  // the end of the path answered
    bool by_path = false;
  } const rows[] = {
      {"libtg_probe.so.1", s + "/empty:" + s + "/first", nullptr, candidate_place::at_path, s + "/first/libtg_probe.so.1"},
      {"libtg_probe.so.1", s + "/empty;" + s + "/first", "$ORIGIN/sub", candidate_place::at_path, s + "/first/libtg_probe.so.1"},
      {"libtg_probe.so.1", "-", "$ORIGIN/sub", candidate_place::at_path, s + "/origin/sub/libtg_probe.so.1"},
      {"libtg_probe.so.1", s + "/empty", "${ORIGIN}:${ORIGIN}/sub", candidate_place::at_path, s + "/origin/sub/libtg_probe.so.1"},
      // Folders whose meaning depends on more than their text.
      {"libtg_probe.so.1", s + "/empty:relative", "$ORIGIN/sub", candidate_place::ask_loader, ""},
      {"libtg_probe.so.1", s + "/empty::" + s + "/first", nullptr, candidate_place::ask_loader, ""},
      {"libtg_probe.so.1", "$ORIGIN/sub", nullptr, candidate_place::ask_loader, ""},
      {"libtg_probe.so.1", "-", "$LIB/sub", candidate_place::ask_loader, ""},
      // A folder of that name is no library; a name in no folder is nowhere.
      {"libtg_folder.so.1", "-", "$ORIGIN", candidate_place::nowhere, ""},
      {"libtg_absent.so.1", s + "/first", "$ORIGIN:$ORIGIN/sub", candidate_place::nowhere, ""},
      // Loaded already (and in the cache).
      {"libc.so.6", "-", nullptr, candidate_place::ask_loader, ""},
      // By path only: a folder that depends on more than its text is passed
      // over, and a name in a system folder is opened there.
      {"libtg_probe.so.1", s + "/empty:relative", "$ORIGIN/sub", candidate_place::at_path,
       s + "/origin/sub/libtg_probe.so.1", true},
      {"libtg_probe.so.1", "-", "$LIB/sub", candidate_place::nowhere, "", true},
      {"libutil.so.1", "-", nullptr, candidate_place::at_path, "/libutil.so.1", true},
      {"libc.so.6", "-", nullptr, candidate_place::ask_loader, "", true},
  };
  for (const row &r : rows) {
    loader_folders folders = own_loader_folders(r.by_path);
    ASSERT_TRUE(folders.known);
    folders.library_path = r.library_path == "-" ? nullptr : r.library_path.c_str();
    folders.runpath = r.runpath;
    const std::string origin = s + "/origin";
    folders.origin = origin;
    char path[PATH_MAX] = "";
    EXPECT_EQ(find_libssl_candidate(r.name, folders, path), r.place) << r.name << " in " << r.library_path;
    if (r.place == candidate_place::at_path) {
      EXPECT_TRUE(std::string(path).ends_with(r.path)) << path;
    }
  }
  loader_folders unknown;
  unknown.known = false;
  char path[PATH_MAX];
  EXPECT_EQ(find_libssl_candidate("libtg_absent.so.1", unknown, path), candidate_place::ask_loader);
  unknown.by_path_only = true;
  EXPECT_EQ(find_libssl_candidate("libtg_absent.so.1", unknown, path), candidate_place::nowhere);
  // A started program's search leaves LD_LIBRARY_PATH out.
  scoped_env library_path("LD_LIBRARY_PATH", s.c_str());
  EXPECT_EQ(own_loader_folders(false).library_path, s);
  EXPECT_EQ(own_loader_folders(true).library_path, nullptr);
}

// Every key `ldconfig -p` reads from the cache is found; made-up names and
// damaged caches behave as the comment says.
TEST(LibsslSearch, CacheReadingAgreesWithLdconfig) {
  std::ifstream file("/etc/ld.so.cache", std::ios::binary);
  if (!file) GTEST_SKIP() << "no loader cache";
  const std::string cache((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  FILE *listing = popen("ldconfig -p 2>/dev/null", "r");
  ASSERT_NE(listing, nullptr);
  char line[4096];
  int names = 0;
  while (fgets(line, sizeof line, listing)) {
    if (line[0] != '\t') continue;
    std::string name(line + 1);
    name = name.substr(0, name.find(' '));
    EXPECT_TRUE(cache_lists(cache, name)) << name;
    ++names;
  }
  pclose(listing);
  if (names == 0) GTEST_SKIP() << "ldconfig lists nothing";
  EXPECT_FALSE(cache_lists(cache, "libtg_absent.so.1"));
  EXPECT_FALSE(cache_lists(cache, "libc.so"));  // a prefix of a key is not the key
  EXPECT_TRUE(cache_lists("not a cache at all, but long enough for a header....", "libtg_absent.so.1"));
  std::string truncated = cache.substr(0, 64);
  EXPECT_TRUE(cache_lists(truncated, "libtg_absent.so.1"));
}

}  // namespace
