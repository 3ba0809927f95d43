// The in-place rule as a table: (program, command line, first process
// re-executed in place) -> judged as create_child_process or not.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/core.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

std::string canonical(const char *path) {
  char *resolved = realpath(path, nullptr);
  std::string text = resolved ? resolved : path;
  free(resolved);
  return text;
}

struct start_row {
  std::string program;  // as the event names it: canonical
  const char *argv;     // JSON array
  bool in_place;
  bool judged;
};

void PrintTo(const start_row &row, std::ostream *os) {
  *os << row.program << " " << row.argv << (row.in_place ? " in place" : " started");
}

class RuntimeStart : public ::testing::TestWithParam<start_row> {};

TEST_P(RuntimeStart, JudgedOrNot) {
  const start_row &row = GetParam();
  alert_log_pipe log;
  scoped_state state(PROVIDER_AWS);
  state.record.create_child_process = MODE_BLOCK;
  const bool saved = in_place_first_process;
  in_place_first_process = row.in_place;
  const std::string event = R"({"name":"process_execution","timestamp":"t","args":{"argv":)" + std::string(row.argv) +
                            R"(,"path":")" + row.program + "\"}}";
  const int verdict = policy_callback(event.c_str());
  in_place_first_process = saved;
  EXPECT_EQ(verdict, row.judged ? 222 : 0);
  EXPECT_EQ(log.drain().empty(), !row.judged);
}

const std::string ENV = canonical("/usr/bin/env");
const std::string BASH = canonical("/bin/bash");

INSTANTIATE_TEST_SUITE_P(
    Programs, RuntimeStart,
    ::testing::Values(
        // The interpreters, wherever they are and whatever their version.
        start_row{"/var/lang/bin/node", R"(["/var/lang/bin/node","index.mjs"])", true, false},
        start_row{"/var/lang/bin/node", R"(["/var/lang/bin/node","index.mjs"])", false, true},
        start_row{"/usr/bin/nodejs", R"(["nodejs"])", true, false},
        start_row{"/var/lang/bin/python3.12", R"(["python3.12","/var/runtime/bootstrap.py"])", true, false},
        start_row{canonical("/usr/bin/python3"), R"(["python3","main.py"])", true, false},
        start_row{"/usr/bin/python", "[]", true, false},
        start_row{"/usr/bin/ruby3.1", "[]", true, false},
        start_row{"/var/lang/bin/ruby", "[]", true, false},
        start_row{"/usr/lib/jvm/java-21/bin/java", R"(["java","-jar","f.jar"])", true, false},
        start_row{"/var/runtime/bootstrap", R"(["/var/runtime/bootstrap"])", true, false},
        start_row{"/var/runtime/bootstrap", R"(["/var/runtime/bootstrap"])", false, true},
        // A bootstrap that is a script runs as its shell.
        start_row{BASH, R"(["/bin/bash","/var/runtime/bootstrap"])", true, false},
        start_row{BASH, R"(["/bin/bash","/tmp/run.sh"])", true, true},
        start_row{BASH, R"(["/bin/bash","-c","/var/runtime/bootstrap"])", true, true},
        // Names that only look like one.
        start_row{"/usr/bin/python3-config", "[]", true, true},
        start_row{"/usr/bin/python3.x", "[]", true, true},
        start_row{"/tmp/node_modules/.bin/nodemon", "[]", true, true},
        start_row{"/usr/bin/ruby-lint", "[]", true, true},
        start_row{"/usr/bin/curl", R"(["curl","http://example.com"])", true, true},
        // env naming an interpreter: launchers' "#!/usr/bin/env node" and the like.
        start_row{ENV, R"(["/usr/bin/env","node","/workspace/node_modules/.bin/functions-framework"])", true, false},
        start_row{ENV, R"(["/usr/bin/env","node","launcher"])", false, true},
        start_row{"/bin/env", R"(["env","python3","main.py"])", true, false},
        start_row{ENV, R"(["/usr/bin/env","-S node --enable-source-maps","launcher"])", true, false},
        start_row{ENV, R"(["env","-S","python3 -u","main.py"])", true, false},
        start_row{ENV, R"(["env","-i","PATH=/usr/bin","HOME=/","/var/lang/bin/python3.13","x.py"])", true, false},
        start_row{ENV, R"(["env","-u","PYTHONPATH","--chdir=/srv","--","ruby","app.rb"])", true, false},
        start_row{ENV, R"(["env","-C","/srv","java","-jar","f.jar"])", true, false},
        start_row{ENV, R"(["env","/var/runtime/bootstrap"])", true, false},
        // env naming anything else, or nothing.
        start_row{ENV, R"(["env","curl","node"])", true, true},
        start_row{ENV, R"(["env","-u","node","sh"])", true, true},
        start_row{ENV, R"(["env","-C","python3","id"])", true, true},
        start_row{ENV, R"(["env","NODE=node"])", true, true},
        start_row{ENV, R"(["env"])", true, true},
        start_row{ENV, R"(["env",7,"node"])", true, true},
        start_row{ENV, R"(["env","bootstrap"])", true, true}));

}  // namespace
