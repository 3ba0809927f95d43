#include "scratch_directory.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "process_runner.hpp"

scratch_directory::scratch_directory(const std::string &base) {
  std::string name = base + "/tg_test_XXXXXX";
  if (mkdtemp(name.data())) path = name;
  EXPECT_FALSE(path.empty()) << "mkdtemp under " << base;
}

scratch_directory::~scratch_directory() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

std::string build_scratch_base() {
  char *resolved = realpath((compat_dir() + "/..").c_str(), nullptr);
  std::string base = resolved ? resolved : ".";
  free(resolved);
  // A build under /tmp (a clone there) is no place outside it.
  if (base == "/tmp" || base.rfind("/tmp/", 0) == 0) return "/var/tmp";
  return base;
}
