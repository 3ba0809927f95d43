// The file-open replacements, called directly with a stand-in callback.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interceptor/interceptor.hpp"
#include "interceptor_test_support.hpp"

namespace {

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class FileOpen : public ::testing::Test {
 protected:
  void SetUp() override { real_dir_ = realpath(scratch_.path.c_str(), nullptr); }
  void TearDown() override { free(real_dir_); }
  std::string real_file(const char *name) const { return std::string(real_dir_) + "/" + name; }
  scratch_directory scratch_;
  char *real_dir_ = nullptr;
};

TEST_F(FileOpen, RefusalReportsTheVerdictAndLeavesTheFileAlone) {
  for (int verdict : {222, 13}) {
    recording_callback callback(verdict);
    std::string path = scratch_.file("refused");
    errno = 0;
    EXPECT_EQ(hooked_open(path.c_str(), O_RDWR | O_CREAT, 0600), -1);
    EXPECT_EQ(errno, verdict);
    errno = 0;
    EXPECT_EQ(hooked_creat(path.c_str(), 0600), -1);
    EXPECT_EQ(errno, verdict);
    errno = 0;
    EXPECT_EQ(hooked_fopen(path.c_str(), "w"), nullptr);
    EXPECT_EQ(errno, verdict);
    EXPECT_FALSE(exists(path));
    auto events = callback.events();
    ASSERT_EQ(events.size(), 3u);
    for (const auto &event : events) {
      EXPECT_EQ(event.name, "fs_open");
      EXPECT_EQ(event.path, real_file("refused"));
    }
  }
}

TEST_F(FileOpen, AllowedCallsGetTheCallersArgumentsUnchanged) {
  recording_callback callback(0);
  mode_t old_mask = umask(0);
  std::string path = scratch_.file("allowed");
  int fd = hooked_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
  ASSERT_GE(fd, 0);
  struct stat info {};
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
  close(fd);
  // O_EXCL on an existing file: the real function's own error.
  errno = 0;
  EXPECT_EQ(hooked_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640), -1);
  EXPECT_EQ(errno, EEXIST);
  fd = hooked_creat(scratch_.file("made").c_str(), 0604);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0604u);
  close(fd);
  // O_TMPFILE carries a mode too; it is read from the variable arguments.
  fd = hooked_open(scratch_.path.c_str(), O_WRONLY | O_TMPFILE, 0620);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0620u);
  close(fd);
  umask(old_mask);
  FILE *file = hooked_fopen(path.c_str(), "r");
  ASSERT_NE(file, nullptr);
  fclose(file);
  EXPECT_EQ(callback.events().size(), 5u);
}

TEST_F(FileOpen, EventPathIsAbsolute) {
  recording_callback callback(0);
  char *saved_cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(scratch_.path.c_str()), 0);
  int fd = hooked_creat("out.txt", 0600);
  EXPECT_GE(fd, 0);
  close(fd);
  hooked_open("missing/../other.txt", O_RDONLY, 0);
  ASSERT_EQ(chdir(saved_cwd), 0);
  free(saved_cwd);
  auto events = callback.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].path, real_file("out.txt"));
  EXPECT_EQ(events[1].path, real_file("other.txt"));
}

TEST_F(FileOpen, TimeZoneFilesAreExemptOnlyForFopenAndOnlyWhenSpelledExactly) {
  recording_callback callback(222);
  if (FILE *file = hooked_fopen("/etc/localtime", "r")) fclose(file);
  EXPECT_TRUE(callback.events().empty());
  if (FILE *file = hooked_fopen("/usr/share/zoneinfo/UTC", "r")) fclose(file);
  EXPECT_TRUE(callback.events().empty());
  errno = 0;
  EXPECT_EQ(hooked_fopen("/etc/../etc/localtime", "r"), nullptr);
  EXPECT_EQ(errno, 222);
  EXPECT_EQ(hooked_open("/etc/localtime", O_RDONLY, 0), -1);
  EXPECT_EQ(callback.events().size(), 2u);
}

TEST_F(FileOpen, ProcessMemoryIsJudgedReadOrWritten) {
  recording_callback callback(0);
  const std::string memory = "/proc/" + std::to_string(getpid()) + "/mem";
  struct row {
    const char *path;
    int flags;
  } const rows[] = {
      {"/proc/self/mem", O_RDONLY},
      {"/proc/self/mem", O_RDWR},
      {memory.c_str(), O_WRONLY},
      {"/proc/self/../self/mem", O_RDONLY},
  };
  for (const auto &r : rows) {
    const size_t before = callback.events().size();
    int fd = hooked_open(r.path, r.flags);
    if (fd >= 0) close(fd);
    auto events = callback.events();
    ASSERT_EQ(events.size(), before + 1) << r.path << " " << r.flags;
    EXPECT_EQ(events.back().path, memory);
  }
  for (const char *mode : {"r", "r+"}) {
    if (FILE *file = hooked_fopen("/proc/self/mem", mode)) fclose(file);
    EXPECT_EQ(callback.events().back().path, memory) << mode;
  }
  EXPECT_EQ(callback.events().size(), 6u);
}

TEST_F(FileOpen, NullPathGoesToTheRealFunctionUnjudged) {
  recording_callback callback(222);
  errno = 0;
  EXPECT_EQ(hooked_open(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, EFAULT);
  errno = 0;
  EXPECT_EQ(hooked_creat(nullptr, 0600), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(hooked_fopen(nullptr, "r"), nullptr);
  EXPECT_TRUE(callback.events().empty());
}

}  // namespace
