// Runs a piece of the test in a forked child and reads what it printed.
#pragma once

#include <functional>
#include <string>

struct child_result {
  std::string out;  // everything the child wrote to its standard output
  int status = 0;   // as waitpid reports it
};

// The child's standard output is a pipe, unbuffered; the child ends with
// status 0 when `body` returns.
child_result run_in_child(const std::function<void()> &body);
