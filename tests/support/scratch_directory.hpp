// A fresh directory, removed with everything in it when the object goes.
#pragma once

#include <string>

struct scratch_directory {
  std::string path;
  explicit scratch_directory(const std::string &base = "/tmp");
  ~scratch_directory();
  scratch_directory(const scratch_directory &) = delete;
  scratch_directory &operator=(const scratch_directory &) = delete;
  std::string file(const std::string &name) const { return path + "/" + name; }
};

// A base outside /tmp: the build directory, or /var/tmp when the build lies
// under /tmp.
std::string build_scratch_base();
