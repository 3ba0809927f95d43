// Absolute paths: the textual route and the file system's answer.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "interceptor/interceptor.hpp"
#include "interceptor_test_support.hpp"

namespace {

std::string take(char *text) {
  std::string result = text ? text : "<null>";
  free(text);
  return result;
}

TEST(LexicalAbsolutePath, JoinsAndNormalisesTextually) {
  struct row {
    const char *base;
    const char *path;
    const char *expected;
  } const rows[] = {
      {"/home/user", "a/b", "/home/user/a/b"},
      {"/home/user", "../x", "/home/x"},
      {"/home/user", "./a/./b/.", "/home/user/a/b"},
      {"/home/user", "a/../../../../b", "/b"},  // ".." at the root stays there
      {"/", "..", "/"},
      {"/", "../../etc", "/etc"},
      {"/any", "/abs/../olute", "/olute"},  // an absolute path ignores the base
      {"/any", "/b//c///d", "/b/c/d"},
      {"/a//b/", "c", "/a/b/c"},
      {"/a", "b/", "/a/b"},  // trailing separator dropped
      {"/a", "b/..", "/a"},
      {"/a", "", "/a"},
      {"/", "", "/"},
      {"/", "//", "/"},
      {"/a", "...", "/a/..."},  // three dots is a name
      {"/a", "..b/.c", "/a/..b/.c"},
      {"/tmp", "a/../b", "/tmp/b"},
      {nullptr, "/tmp/x/../y", "/tmp/y"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(take(lexical_absolute_path(r.base, r.path)), r.expected)
        << (r.base ? r.base : "<null>") << " + " << r.path;
    // The allocation-free form, for absolute paths, agrees.
    char out[PATH_MAX] = "";
    if (r.path[0] != '/') continue;
    EXPECT_TRUE(lexical_absolute_path_into(r.path, out)) << r.path;
    EXPECT_STREQ(out, r.expected) << r.path;
  }
}

TEST(LexicalAbsolutePath, RelativePathWithoutBaseOrNullPathHasNoAnswer) {
  EXPECT_EQ(lexical_absolute_path(nullptr, "a/b"), nullptr);
  EXPECT_EQ(lexical_absolute_path("/a", nullptr), nullptr);
}

class AbsolutePath : public ::testing::Test {
 protected:
  void SetUp() override { saved_cwd_ = getcwd(nullptr, 0); }
  void TearDown() override {
    if (saved_cwd_) {
      EXPECT_EQ(chdir(saved_cwd_), 0);
    }
    free(saved_cwd_);
  }
  char *saved_cwd_ = nullptr;
  scratch_directory scratch_;
};

TEST_F(AbsolutePath, ExistingFileResolvesLinksDotsAndDotDots) {
  std::string real_dir = take(realpath(scratch_.path.c_str(), nullptr));
  ASSERT_EQ(mkdir(scratch_.file("dir").c_str(), 0700), 0);
  ASSERT_EQ(close(creat(scratch_.file("dir/target").c_str(), 0600)), 0);
  ASSERT_EQ(symlink((real_dir + "/dir/target").c_str(), scratch_.file("link").c_str()), 0);
  EXPECT_EQ(take(absolute_path(scratch_.file("link").c_str())), real_dir + "/dir/target");
  EXPECT_EQ(take(absolute_path(scratch_.file("dir/./../dir//target").c_str())), real_dir + "/dir/target");
}

TEST_F(AbsolutePath, MissingFileTakesTheTextualRoute) {
  ASSERT_EQ(chdir(scratch_.path.c_str()), 0);
  std::string cwd = take(getcwd(nullptr, 0));
  EXPECT_EQ(take(absolute_path("out.txt")), cwd + "/out.txt");
  EXPECT_EQ(take(absolute_path("/tmp/tg_no_such_dir/../b")), "/tmp/b");
  // Links are not followed for a file that does not exist.
  ASSERT_EQ(symlink("/etc", scratch_.file("etc_link").c_str()), 0);
  EXPECT_EQ(take(absolute_path("etc_link/missing")), cwd + "/etc_link/missing");
}

TEST_F(AbsolutePath, RemovedCurrentDirectoryLeavesOnlyAbsolutePaths) {
  ASSERT_EQ(mkdir(scratch_.file("gone").c_str(), 0700), 0);
  ASSERT_EQ(chdir(scratch_.file("gone").c_str()), 0);
  ASSERT_EQ(rmdir(scratch_.file("gone").c_str()), 0);
  EXPECT_EQ(absolute_path("missing.txt"), nullptr);
  EXPECT_EQ(take(absolute_path("/tmp/tg_missing/./x")), "/tmp/tg_missing/x");
}

TEST_F(AbsolutePath, NullPathHasNoAnswer) { EXPECT_EQ(absolute_path(nullptr), nullptr); }

}  // namespace
