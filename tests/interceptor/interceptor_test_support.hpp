// Helpers shared by the interception unit tests.
#pragma once

#include <string>
#include <vector>

// Frees the record that load_interceptor_config made and clears the pointer.
void release_interceptor_config();

// A fresh directory under /tmp, removed with everything in it when the
// object goes away.
struct scratch_directory {
  std::string path;
  scratch_directory();
  ~scratch_directory();
  std::string file(const std::string &name) const { return path + "/" + name; }
};

// Stands in for the policy: records every event text and answers `verdict`.
struct recorded_event {
  std::string name;
  std::string path;  // "path" of the args, when present
  std::string text;
};
struct recording_callback {
  recording_callback(int verdict);
  ~recording_callback();
  std::vector<recorded_event> events() const;
};
