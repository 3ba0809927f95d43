// The runtime's start: the in-place rule as a table of names, (program,
// command line, first process re-executed in place) -> judged as
// create_child_process or not; the start phase as a table of (runtime,
// sequence of opens and connections) -> (phase open or ended, verdict of
// each handler read); and which programs are beyond the function's reach.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/core.hpp"
#include "policy/exempt_programs.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"
#include "scratch_directory.hpp"

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
  const std::string event = R"({"name":"process_execution","timestamp":"t","args":{"argv":)" + std::string(row.argv) +
                            R"(,"path":")" + row.program + "\"}}";
  event_reading reading;
  ASSERT_TRUE(read_event(event.c_str(), &reading));
  EXPECT_EQ(!(row.in_place && is_runtime_start(reading.view)), row.judged);
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

namespace {

// One step the function's processes take, as the policy sees it:
//   "read" / "READ"  the first process opens the handler: passes unjudged /
//                    is refused with its record (read_handler at block)
//   "OTHER"          another process (a fork, a started program) opens it: refused
//   "code:<path>"    the first process opens another file
//   "api" / "net"    a connection to the Runtime API / elsewhere
//   "accept"         a server accepts a connection
//   "found"          the function's code configures the runtime, which finds
//                    the handler (rows with it start with no handler known)
struct phase_row {
  const char *name;
  const char *runtime;
  const char *handler;
  std::vector<std::string> steps;
  bool open_after;
};

void PrintTo(const phase_row &row, std::ostream *os) { *os << row.name; }

class StartPhase : public ::testing::TestWithParam<phase_row> {};

std::string fs_open(const std::string &path) {
  return R"({"name":"fs_open","timestamp":"t","args":{"path":")" + path + "\"}}";
}

TEST_P(StartPhase, EndsAndJudgesHandlerReads) {
  const phase_row &row = GetParam();
  alert_log_pipe log;
  scoped_state state(PROVIDER_AWS);
  scoped_state_identity identity("/tmp/tesselguard_state_test");
  scoped_env api("AWS_LAMBDA_RUNTIME_API", "127.0.0.1:9001");
  state_identity.creator_pid = getpid();
  state.record.read_handler = MODE_BLOCK;
  state.record.start_phase = START_PHASE_OPEN;
  set_text(state.record.runtime, row.runtime);
  const bool found_late = std::find(row.steps.begin(), row.steps.end(), "found") != row.steps.end();
  set_text(state.record.handler_path, found_late ? "" : row.handler);
  int index = 0;
  for (const std::string &step : row.steps) {
    SCOPED_TRACE("step " + std::to_string(index++) + " " + step);
    const bool read = step == "read" || step == "READ" || step == "OTHER";
    if (step == "OTHER") state_identity.creator_pid = getpid() + 1;
    std::string event = fs_open(read ? row.handler : step.substr(step.find(':') + 1));
    if (step == "api" || step == "net")
      event = R"({"name":"connect","timestamp":"t","args":{"ip":")" + std::string(step == "api" ? "127.0.0.1" : "127.0.0.2") +
              "\"}}";
    if (step == "accept") event = R"({"name":"accept","timestamp":"t","args":{}})";
    if (step == "found") {
      set_text(state.record.handler_path, row.handler);
      start_phase_handler_found();
      continue;
    }
    const int verdict = policy_callback(event.c_str());
    state_identity.creator_pid = getpid();
    const std::string record = log.drain();
    if (!read) continue;
    const bool refused = step != "read";
    EXPECT_EQ(verdict, refused ? 222 : 0);
    EXPECT_EQ(record.find(R"("policy":"read_handler","mode":"block")") != std::string::npos, refused) << record;
  }
  EXPECT_EQ(start_phase_open(), row.open_after);
}

INSTANTIATE_TEST_SUITE_P(
    Runtimes, StartPhase,
    ::testing::Values(
        phase_row{"node_require_js", "Node.js", "/var/task/index.js",
                  {"code:/opt/ric/index.mjs", "read", "code:/var/task/node_modules/dep/index.js", "READ"}, false},
        phase_row{"node_import_cjs_twice", "Node.js", "/var/task/index.js", {"read", "read", "READ"}, false},
        phase_row{"node_mjs_graph", "Node.js", "/var/task/index.mjs", {"read", "code:/var/task/dep.mjs", "READ"}, false},
        phase_row{"node_package_json_is_no_code", "Node.js", "/var/task/index.js",
                  {"read", "code:/var/task/package.json", "read"}, true},
        phase_row{"python_from_source", "Python", "/var/task/app/handler.py",
                  {"code:/var/task/app/__pycache__/handler.cpython-311.pyc", "read",
                   "code:/var/task/app/__pycache__/handler.cpython-311.pyc.140565897695776", "code:/var/task/app/dep.py",
                   "READ"},
                  false},
        phase_row{"python_valid_pyc", "Python", "/var/task/handler.py",
                  {"code:/var/task/__pycache__/handler.cpython-311.pyc", "code:/var/task/__pycache__/dep.cpython-311.pyc",
                   "READ"},
                  false},
        phase_row{"python_second_read", "Python", "/var/task/handler.py", {"read", "READ"}, false},
        phase_row{"python_other_module_cache", "Python", "/var/task/handler.py",
                  {"read", "code:/var/task/__pycache__/handlers.cpython-311.pyc", "READ"}, false},
        phase_row{"ruby_require", "Ruby", "/var/task/function.rb",
                  {"read", "read", "code:/var/task/lib/dep.rb", "READ"}, false},
        phase_row{"ruby_third_read", "Ruby", "/var/task/function.rb", {"read", "read", "READ", "READ"}, false},
        phase_row{"code_before_the_handler", "Python", "/var/task/handler.py",
                  {"code:/var/runtime/bootstrap.py", "code:/usr/lib/python3.11/json/__init__.py", "read"}, true},
        phase_row{"runtime_api_ends", "Node.js", "/var/task/index.js", {"read", "net", "read", "api", "READ"}, false},
        phase_row{"accept_ends", "Python", "/srv/main.py", {"accept", "READ"}, false},
        phase_row{"other_process_judged", "Python", "/var/task/handler.py", {"OTHER", "read", "OTHER"}, true},
        // Google: the function's code configures, the runtime has read the handler already.
        phase_row{"configured_after_node_load", "Node.js", "/srv/a/index.js",
                  {"code:/srv/a/index.js", "found", "READ"}, false},
        phase_row{"configured_after_valid_pyc", "Python", "/srv/b/main.py",
                  {"code:/srv/b/__pycache__/main.cpython-311.pyc", "found", "READ"}, false},
        phase_row{"configured_after_other_code", "Node.js", "/srv/c/index.js",
                  {"code:/srv/c/preload.js", "found", "read", "code:/srv/c/dep.js", "READ"}, false}));

// Root can make or change any file: nothing is beyond its reach, so under
// root an in-place exec is judged even during the start phase.
TEST(StartPhase, InPlaceExecUnderRootIsJudged) {
  alert_log_pipe log;
  scoped_state state(PROVIDER_AWS);
  state.record.create_child_process = MODE_BLOCK;
  state.record.start_phase = START_PHASE_OPEN;
  const bool saved = in_place_first_process;
  in_place_first_process = true;
  const std::string node = canonical("/usr/bin/env");
  const std::string event = R"({"name":"process_execution","timestamp":"t","args":{"argv":["env","node"],"path":")" +
                            node + "\"}}";
  const int verdict = policy_callback(event.c_str());
  in_place_first_process = saved;
  if (geteuid() == 0) {
    EXPECT_EQ(verdict, 222);
  }
  EXPECT_NE(log.drain().empty(), verdict == 222);
}

// Which files a function running as an unprivileged user could have made
// or changed.
TEST(StartPhase, BeyondReachOfTheFunctionsUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to set owners";
  constexpr uid_t FUNCTION_USER = 65534;
  scratch_directory scratch(build_scratch_base());
  chmod(scratch.path.c_str(), 0755);
  const std::string copy = scratch.file("python3");
  std::ofstream(copy) << "#!/bin/sh\n";
  chmod(copy.c_str(), 0755);
  // Where that user does not exist (a user namespace without it), no owner can be set.
  if (chown(copy.c_str(), FUNCTION_USER, FUNCTION_USER) != 0 || chown(copy.c_str(), 0, 0) != 0)
    GTEST_SKIP() << "cannot give files to user 65534 here";
  const std::string python = canonical("/usr/bin/python3");
  EXPECT_TRUE(beyond_reach_of(python.c_str(), FUNCTION_USER));
  EXPECT_FALSE(beyond_reach_of(python.c_str(), 0));  // root
  EXPECT_TRUE(beyond_reach_of(copy.c_str(), FUNCTION_USER));  // made by root, in root's folder
  chmod(copy.c_str(), 0775);
  EXPECT_FALSE(beyond_reach_of(copy.c_str(), FUNCTION_USER));  // writable by its group
  chmod(copy.c_str(), 0755);
  ASSERT_EQ(chown(copy.c_str(), FUNCTION_USER, FUNCTION_USER), 0);
  EXPECT_FALSE(beyond_reach_of(copy.c_str(), FUNCTION_USER));  // the function's own
  ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
  chmod(scratch.path.c_str(), 01777);
  EXPECT_FALSE(beyond_reach_of(copy.c_str(), FUNCTION_USER));  // in a folder anyone writes
  chmod(scratch.path.c_str(), 0755);
  ASSERT_EQ(chown(scratch.path.c_str(), FUNCTION_USER, FUNCTION_USER), 0);
  EXPECT_FALSE(beyond_reach_of(copy.c_str(), FUNCTION_USER));  // in the function's folder
  EXPECT_FALSE(beyond_reach_of(scratch.file("none").c_str(), FUNCTION_USER));
  EXPECT_FALSE(beyond_reach_of(scratch.path.c_str(), FUNCTION_USER));  // a folder is no program
}

}  // namespace
