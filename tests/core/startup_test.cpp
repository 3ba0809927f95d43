// Start-up outcomes in real processes: the state file of a first process,
// inheritance by a child, refused inherited files, unsupported platforms,
// and the configuration call made through the exported symbol.
#include <fcntl.h>
#include <sys/stat.h>

#include <regex>

#include "core_test_support.hpp"
#include "scratch_directory.hpp"
#include "startup/startup.hpp"

namespace {

std::vector<std::string> with(std::vector<std::string> env, const std::vector<std::string> &more) {
  env.insert(env.end(), more.begin(), more.end());
  return env;
}

void expect_initial_record(const values &v, int provider) {
  EXPECT_EQ(v.at("provider"), std::to_string(provider));
  for (const char *key : {"read_write_tmp", "create_child_process", "outbound_connectivity", "read_handler",
                          "disable_analytics", "cookie", "failed_cookie_count", "handler_touched", "handler_opens"})
    EXPECT_EQ(v.at(key), "0") << key;
  EXPECT_EQ(v.at("start_phase"), "1");
  for (const char *key : {"runtime", "runtime_version", "handler_path"}) EXPECT_EQ(v.at(key), "") << key;
}

TEST(StartUp, UnsupportedEnvironmentEndsWithStatusOneAndCreatesNoStateFile) {
  TG_SKIP_IF_SANITIZED();
  const std::vector<std::string> environments[] = {
      {"PATH=/usr/bin:/bin"},
      {"PATH=/usr/bin:/bin", "AWS_LAMBDA_FUNCTION_NAME=fn", "X_GOOGLE_CODE_LOCATION=/srv", "_HANDLER=a.b"},
      {"PATH=/usr/bin:/bin", "aws_execution_env=x", "X_GOOGLE_FUNCTION_NAMES=fn"},
  };
  for (const auto &env : environments) {
    auto [r, created] = run_counting_state_files(0, [&] { return run_state_probe(env, {"say", "reached-main"}); });
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "Unsupported execution environment\n");
    EXPECT_TRUE(created.empty());
  }
}

TEST(StartUp, FirstProcessCreatesOneStateFileAndAwaitsConfiguration) {
  TG_SKIP_IF_SANITIZED();
  // The platform facts as the first process's environment gives them; a
  // supervisor's host too long for its field is left out whole.
  const std::string supervisor = "X_GOOGLE_SUPERVISOR_HOSTNAME=";
  const std::vector<std::string> current = {"PATH=/usr/bin:/bin", "K_SERVICE=fn", "FUNCTION_TARGET=entry"};
  struct row {
    std::vector<std::string> env;
    int provider;
    std::string generation = "0", host = "";
  } const rows[] = {
      {aws_env(), PROVIDER_AWS},
      {aws_env(""), PROVIDER_AWS},
      {with(aws_env(), {"X_GOOGLE_FUNCTION_NAME=fn"}), PROVIDER_AWS},
      {google_env(), PROVIDER_GOOGLE},
      {google_env(""), PROVIDER_GOOGLE},
      {with(google_env(), {supervisor + "supervisor.test"}), PROVIDER_GOOGLE, "0", "supervisor.test"},
      {with(google_env(), {supervisor + std::string(256, 'h')}), PROVIDER_GOOGLE},
      {current, PROVIDER_GOOGLE, "1"},
      {with(current, {"X_GOOGLE_FUNCTION_NAME=fn"}), PROVIDER_GOOGLE},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.env));
    auto [r, created] = run_counting_state_files(1, [&] { return run_state_probe(row.env, {"show", "fds"}); });
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_EQ(created.size(), 1u);
    const std::string &file = created[0];
    EXPECT_TRUE(std::regex_match(file, std::regex("/tmp/tesselguard_state_[A-Za-z0-9]{6}"))) << file;

    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4500);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    values v = probe_values(r.out);
    EXPECT_EQ(v.at("state_path"), file);
    EXPECT_EQ(v.at("mapping"), "r--s");
    expect_initial_record(v, row.provider);
    EXPECT_EQ(v.at("google_generation"), row.generation);
    EXPECT_EQ(v.at("supervisor_host"), row.host);
    // No descriptor on the file stays open: the mapping is all there is.
    EXPECT_EQ(r.out.find("state_fd="), std::string::npos) << r.out;

    auto stored = read_state_file(file);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->provider, row.provider);
    EXPECT_EQ(stored->cookie, 0);
  }
}

TEST(StartUp, EveryProcessWithoutAnInheritedPathMakesItsOwnFile) {
  TG_SKIP_IF_SANITIZED();
  RunResult first, second;
  auto run_twice = [&] {
    first = run_state_probe(aws_env(), {"show"});
    second = run_state_probe(aws_env(), {"show"});
    return second;
  };
  std::vector<std::string> created = run_counting_state_files(2, run_twice).created;
  ASSERT_EQ(first.exit_code, 0);
  ASSERT_EQ(second.exit_code, 0);
  std::string first_path = probe_values(first.out).at("state_path");
  std::string second_path = probe_values(second.out).at("state_path");
  EXPECT_NE(first_path, second_path);
  EXPECT_EQ(created.size(), 2u);
  EXPECT_NE(std::find(created.begin(), created.end(), first_path), created.end());
  EXPECT_NE(std::find(created.begin(), created.end(), second_path), created.end());
}

// The child maps the parent's file read-only, sees a configuration made after
// it started, and cannot change the record itself.
TEST(StartUp, ChildInheritsTheStateFileReadOnlyAndSeesLaterChanges) {
  TG_SKIP_IF_SANITIZED();
  auto [r, created] = run_counting_state_files(1, [] {
    return run_state_probe(
        with(aws_env(), {"_HANDLER=index.handler", "LAMBDA_TASK_ROOT=/var/task"}),
        {"spawn", "8", "show", "fds", "say", "ready", "wait-input", "show", "configure",
         R"({"policy":{"read_write_tmp":"alert"}})",
         "relay-until", "ready",
         "configure", R"({"policy":{"read_write_tmp":"block","outbound_connectivity":"alert"},"runtime":"Node.js"})",
         "release", "reap", "show"});
  });
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(created.size(), 1u);

  std::string parent_out, child_before, child_after;
  bool ready = false;
  for (const auto &line : split_lines(r.out)) {
    if (line.rfind("child: ", 0) == 0) {
      std::string text = line.substr(7);
      if (text == "ready") ready = true;
      (ready ? child_after : child_before) += text + "\n";
    } else {
      parent_out += line + "\n";
    }
  }
  values parent = probe_values(parent_out);
  values child_first = probe_values(child_before);
  values child_second = probe_values(child_after);

  const std::string cookie = parent.at("cookie");
  EXPECT_NE(cookie, "0");
  EXPECT_EQ(probe_values(parent_out, true).at("result"), cookie);

  EXPECT_TRUE(has_values(child_first, {{"state_path", parent.at("state_path")}, {"mapping", "r--s"}, {"cookie", "0"},
                                       {"read_write_tmp", "0"}}));
  // No descriptor on the file, neither its own nor one of the parent.
  EXPECT_EQ(child_before.find("state_fd="), std::string::npos) << child_before;

  EXPECT_TRUE(has_values(child_second, {{"cookie", cookie}, {"read_write_tmp", "2"}, {"outbound_connectivity", "1"},
                                        {"runtime", "Node.js"}, {"handler_path", "/var/task/index.js"}}));
  EXPECT_TRUE(contains_line(child_after, "TesselGuard can only be configured in the function's first process"));
  EXPECT_EQ(child_second.at("result"), "0");

  EXPECT_TRUE(has_values(parent, {{"child_exit", "0"}, {"mapping", "r--s"}, {"read_write_tmp", "2"}, {"cookie", cookie},
                                  {"failed_cookie_count", "0"}}));
}

TEST(StartUp, InheritedRecordIsTakenAsFoundAndLeftUnchanged) {
  TG_SKIP_IF_SANITIZED();
  state_record record{};
  record.provider = PROVIDER_GOOGLE;
  record.read_write_tmp = MODE_BLOCK;
  record.read_handler = MODE_ALERT;
  strcpy(record.runtime, "Python");
  strcpy(record.runtime_version, "3.7");
  strcpy(record.handler_path, "/srv/main.py");
  record.cookie = 4242;
  record.failed_cookie_count = 3;
  // Whatever platform its environment names, or none, a process below the
  // first takes the record's.
  const std::vector<std::string> environments[] = {aws_env(), {"PATH=/usr/bin:/bin"}};
  for (long extra : {0L, 100L}) {
    TestStateFile file(record, extra);
    ASSERT_FALSE(file.path().empty());
    auto [r, created] = run_counting_state_files(0, [&] {
      return run_state_probe(with(environments[extra ? 1 : 0], {"TESSELGUARD_STATE_PATH=" + file.path()}), {"show"});
    });
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(created.empty());
    values v = probe_values(r.out);
    EXPECT_TRUE(has_values(v, {{"state_path", file.path()}, {"mapping", "r--s"}, {"provider", "1"},
                               {"read_write_tmp", "2"}, {"read_handler", "1"}, {"runtime", "Python"},
                               {"handler_path", "/srv/main.py"}, {"cookie", "4242"}, {"failed_cookie_count", "3"}}));
    auto stored = read_state_file(file.path());
    ASSERT_TRUE(stored);
    EXPECT_EQ(memcmp(&*stored, &record, sizeof record), 0);
  }
  // A record that names no supported platform (no first process made it).
  record.provider = PROVIDER_UNSUPPORTED;
  TestStateFile unsupported(record);
  RunResult r = run_state_probe(with(aws_env(), {"TESSELGUARD_STATE_PATH=" + unsupported.path()}), {"say", "main"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Unsupported execution environment\n");
}

TEST(StartUp, UnusableInheritedStateFileEndsWithStatusOne) {
  TG_SKIP_IF_SANITIZED();
  state_record record{};
  TestStateFile one_short(record, -1);
  TestStateFile empty(record, -static_cast<long>(sizeof record));
  // A FIFO must be refused, not wait for a writer.
  std::string fifo = one_short.path() + "_fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct row {
    std::string path;
    std::string reason;
  } const rows[] = {
      {"/nonexistent/tesselguard_state_core", "Cannot map existing state file: Bad file descriptor"},
      {one_short.path(), "Cannot map existing state file: Invalid argument"},
      {empty.path(), "Cannot map existing state file: Invalid argument"},
      {fifo, "Cannot map existing state file: Invalid argument"},
  };
  for (const auto &row : rows) {
    auto [r, created] = run_counting_state_files(0, [&] {
      return run_probe("core_state", {"say", "reached-main"}, with(google_env(), {"TESSELGUARD_STATE_PATH=" + row.path}),
                       false, "", 10000);
    });
    EXPECT_FALSE(r.timed_out) << row.path;
    EXPECT_EQ(r.exit_code, 1) << row.path;
    EXPECT_EQ(r.out, row.reason + "\ncannot init state object\n");
    EXPECT_TRUE(created.empty()) << row.path;
  }
  unlink(fifo.c_str());
}

// "<dev>:<ino>:<pid>" of a file, as the creating process would write it.
std::string state_id_of(const std::string &path, long pid) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return "unreadable";
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(pid);
}

// A program started later maps the file its parent created, or refuses to
// start: a file renamed over the path is not the function's record.
TEST(StartUp, InheritedStateFileMustBeTheOneTheParentCreated) {
  TG_SKIP_IF_SANITIZED();
  state_record record{};
  record.provider = PROVIDER_AWS;
  record.read_write_tmp = MODE_BLOCK;
  TestStateFile original(record);
  const std::string created_id = state_id_of(original.path(), 1);
  TestStateFile impostor(record);
  const std::string impostor_id = state_id_of(impostor.path(), 1);
  const std::string replaced = "TesselGuard state file was replaced: refusing to start\n";
  struct row {
    std::string label, id;
    int exit_code;
    std::string out_start;
  } const rows[] = {
      {"identity matches", created_id, 0, "state_path="},
      {"no identity: the path alone, as set by hand", "", 0, "state_path="},
      {"another file at the path", impostor_id, 222, replaced},
      {"identity not readable", "12:x:1", 222, replaced},
      {"identity out of range", "18446744073709551616:1:1", 222, replaced},
      {"identity with a trailing part", created_id + ":7", 222, replaced},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.label);
    auto env = with(aws_env(), {"TESSELGUARD_STATE_PATH=" + original.path()});
    if (!row.id.empty()) env.push_back("TESSELGUARD_STATE_ID=" + row.id);
    RunResult r = run_state_probe(env, {"show"});
    EXPECT_EQ(r.exit_code, row.exit_code) << r.out << r.err;
    EXPECT_EQ(r.out.rfind(row.out_start, 0), 0u) << r.out;
    if (row.exit_code == 0) {
      EXPECT_TRUE(has_values(probe_values(r.out), {{"mapping", "r--s"}, {"read_write_tmp", "2"}}));
    }
  }
  // A file renamed over the path after the first process started.
  ASSERT_EQ(rename(impostor.path().c_str(), original.path().c_str()), 0);
  RunResult r = run_state_probe(with(aws_env(), {"TESSELGUARD_STATE_PATH=" + original.path(),
                                                 "TESSELGUARD_STATE_ID=" + created_id}),
                                {"say", "reached-main"});
  EXPECT_EQ(r.exit_code, 222);
  EXPECT_EQ(r.out, replaced);
}

TEST(StartUp, ConfigurationCallThroughTheExportedSymbol) {
  TG_SKIP_IF_SANITIZED();
  RunResult r = run_state_probe(
      with(aws_env(), {"_HANDLER=index.handler", "LAMBDA_TASK_ROOT=/var/task"}),
      {"configure-null", "configure", R"({"disable_analytics":true,"runtime":"Node.js"})", "show",
       "configure", R"({"cookie":@COOKIE@,"disable_analytics":false})", "configure-stdin", "show"},
      R"({"cookie":@COOKIE@,"policy":{"create_child_process":"alert"},"runtime_version":"10.x"})");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::vector<std::string> results;
  for (const auto &line : split_lines(r.out))
    if (line.rfind("result=", 0) == 0) results.push_back(line.substr(7));
  ASSERT_EQ(results.size(), 4u);
  values first_show = probe_values(r.out, true);
  values last_show = probe_values(r.out);
  const std::string cookie = results.at(1);
  EXPECT_EQ(first_show.at("cookie"), cookie);
  EXPECT_EQ(results, (std::vector<std::string>{"0", cookie, cookie, cookie}));
  EXPECT_EQ(first_show.at("disable_analytics"), "1");
  EXPECT_EQ(first_show.at("handler_path"), "/var/task/index.js");
  EXPECT_TRUE(has_values(last_show, {{"disable_analytics", "0"}, {"create_child_process", "1"},
                                     {"runtime_version", "10.x"}, {"failed_cookie_count", "0"}}));
  EXPECT_EQ(r.out.find("Please provide"), std::string::npos);
}

TEST(Library, ExportsOnlyTheConfigurationCall) {
  RunOptions options;
  options.argv = {"/usr/bin/nm", "-D", "--defined-only", library_path()};
  options.env = {"PATH=/usr/bin:/bin"};
  options.preload = false;
  RunResult r = run_process(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> names;
  for (const auto &line : split_lines(r.out)) {
    std::string name = line.substr(line.rfind(' ') + 1);
    // Version-script nodes and toolchain symbols, not ours.
    if (name.empty() || name[0] == '_' || name.find('@') != std::string::npos) continue;
    names.push_back(name);
  }
  EXPECT_EQ(names, std::vector<std::string>{"tesselguard_configure"}) << r.out;
}

// The state file's canonical path is made at its first need, from the path
// start-up found: through a linked folder, and also when the file has gone
// from there (renamed away), since only its folder is resolved then.
TEST(StateFileName, CanonicalPathIsMadeWhenFirstNeeded) {
  scratch_directory scratch;
  const std::string real = scratch.file("real");
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), scratch.file("linked").c_str()), 0);
  close(open((real + "/state").c_str(), O_CREAT | O_WRONLY, 0600));
  struct row {
    std::string found, judged;
    bool state;
  } const rows[] = {
      {scratch.file("linked") + "/state", real + "/state", true},
      {scratch.file("linked") + "/gone", real + "/gone", true},
      {scratch.file("linked") + "/state", scratch.file("linked") + "/state", false},
      {scratch.file("missing") + "/state", scratch.file("missing") + "/state", true},
  };
  for (const row &r : rows) {
    scoped_state_identity identity(r.found.c_str());
    errno = EDOM;
    EXPECT_EQ(is_state_file(r.judged.c_str()), r.state) << r.found << " judged as " << r.judged;
    EXPECT_EQ(is_state_file(r.judged.c_str()), r.state) << "made once, then read";
    EXPECT_EQ(errno, EDOM);
  }
}

}  // namespace
