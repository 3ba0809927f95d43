// Self-configuration of the first process preloaded from the layer path.
// These tests need the library at exactly /opt/lib/libtesselguard.so: they
// install it there (root only, on a private /opt where the test program has
// one) and remove it, and /opt/lib if they made it.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "core_test_support.hpp"
#include "dockerfile.hpp"
#include "private_tmp.hpp"
#include "scratch_directory.hpp"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

class LayerPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_reason_.clear();
#ifdef TG_SANITIZED_BUILD
    skip_reason_ = "preloading is not supported in the sanitizer build";
    return;
#endif
    if (geteuid() != 0) {
      skip_reason_ = "installing into /opt/lib needs root";
      return;
    }
    // Test programs that run side by side each install their own library.
    private_opt_ = mount_private_folder("/opt").empty();
    std::string library = read_file(library_path());
    if (library.empty()) {
      skip_reason_ = "built library not readable";
      return;
    }
    struct stat info {};
    if (stat(LAYER_PATH, &info) == 0) {
      if (read_file(LAYER_PATH) != library) skip_reason_ = "another library is installed at the layer path";
      return;  // the same library is already there: use it, leave it
    }
    if (stat("/opt/lib", &info) != 0) {
      if (stat("/opt", &info) != 0) {
        if (mkdir("/opt", 0755) != 0) {
          skip_reason_ = "cannot create /opt";
          return;
        }
        made_opt_ = true;
      }
      if (mkdir("/opt/lib", 0755) != 0) {
        skip_reason_ = "cannot create /opt/lib";
        return;
      }
      made_lib_dir_ = true;
    }
    std::string staging = std::string(LAYER_PATH) + ".core-test";
    std::ofstream out(staging, std::ios::binary);
    out << library;
    out.close();
    if (!out || chmod(staging.c_str(), 0755) != 0 || rename(staging.c_str(), LAYER_PATH) != 0) {
      unlink(staging.c_str());
      skip_reason_ = "cannot install the library at the layer path";
      return;
    }
    installed_ = true;
  }

  static void TearDownTestSuite() {
    if (installed_) unlink(LAYER_PATH);
    if (made_lib_dir_) rmdir("/opt/lib");
    if (made_opt_) rmdir("/opt");
    if (private_opt_) umount("/opt");
    installed_ = made_lib_dir_ = made_opt_ = private_opt_ = false;
  }

  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
  }

  static RunResult run_layer(std::vector<std::string> env, std::vector<std::string> commands,
                             const std::string &preload = LAYER_PATH) {
    env.push_back("LD_PRELOAD=" + preload);
    return run_state_probe(std::move(env), std::move(commands));
  }

  static inline std::string skip_reason_;
  static inline bool installed_ = false;
  static inline bool made_lib_dir_ = false;
  static inline bool made_opt_ = false;
  static inline bool private_opt_ = false;
};

std::vector<std::string> aws_function(const std::string &execution_env) {
  auto env = aws_env(execution_env);
  env.push_back("_HANDLER=lambda_function.lambda_handler");
  env.push_back("LAMBDA_TASK_ROOT=/var/task");
  return env;
}

std::vector<std::string> with_disabled_analytics() {
  auto env = aws_function("AWS_Lambda_python3.7");
  env.push_back("TESSEL_GUARD_DISABLE_ANALYTICS=true");
  return env;
}

TEST_F(LayerPath, PolicyAndRuntimeComeFromTheEnvironment) {
  auto env = aws_function("AWS_Lambda_python3.7");
  env.insert(env.end(), {"TESSEL_GUARD_POLICY_READ_WRITE_TMP=block", "TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS=alert",
                         "TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY=Block", "TESSEL_GUARD_DISABLE_ANALYTICS=true"});
  RunResult r = run_layer(env, {"show"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  // Nothing is printed at start-up when the configuration succeeds.
  EXPECT_EQ(r.out.rfind("state_path=", 0), 0u) << r.out;
  values v = probe_values(r.out);
  EXPECT_TRUE(has_values(v, {{"read_write_tmp", "2"}, {"create_child_process", "1"}, {"outbound_connectivity", "0"},
                             {"read_handler", "0"}, {"runtime", "Python"}, {"runtime_version", "3.7"},
                             {"handler_path", "/var/task/lambda_function.py"}, {"disable_analytics", "1"}}));
  EXPECT_NE(v.at("cookie"), "0");
  EXPECT_EQ(v.at("failed_cookie_count"), "0");
}

// The Lambda container image fragment: its variables, with the layer copied
// to /opt, configure the library as it says.
TEST_F(LayerPath, ContainerFragmentVariablesTakeEffect) {
  auto env = aws_function("AWS_Lambda_python3.12");
  std::string preload;
  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto &variable : dockerfile_env(TG_SOURCE_DIR "/examples/containers/lambda.Dockerfile")) {
    const std::string name = variable.substr(0, variable.find('=')), value = variable.substr(name.size() + 1);
    if (name == "LD_PRELOAD") preload = value;
    else env.push_back(variable);
    if (name.rfind("TESSEL_GUARD_POLICY_", 0) == 0) {
      std::string rule = name.substr(20);
      for (char &c : rule) c = static_cast<char>(tolower(c));
      expected.emplace_back(rule, value == "block" ? "2" : value == "alert" ? "1" : "0");
    }
    if (name == "TESSEL_GUARD_DISABLE_ANALYTICS") expected.emplace_back("disable_analytics", value == "true" ? "1" : "0");
  }
  ASSERT_EQ(preload, LAYER_PATH);
  ASSERT_EQ(expected.size(), 5u) << "every rule and the usage report set";
  RunResult r = run_layer(env, {"show"}, preload);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(has_values(probe_values(r.out), expected)) << r.out;
}

TEST_F(LayerPath, CookieOfTheSelfConfigurationIsKnownToNobody) {
  // The first attempt presents the very cookie the record holds: sealed.
  std::vector<std::string> commands = {"configure", R"({"cookie":@RECORD@})"};
  for (int i = 0; i < 6; ++i) commands.insert(commands.end(), {"configure", R"({"cookie":0})"});
  commands.push_back("show");
  RunResult r = run_layer(with_disabled_analytics(), commands);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  auto lines = split_lines(r.out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Please provide a valid cookie from first TesselGuard configure call"),
            6);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Are you trying to brute-force cookie value ?!"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "result=0"), 7);
  values v = probe_values(r.out);
  EXPECT_EQ(v.at("failed_cookie_count"), "6");
  // A cookie was issued (and given to no one).
  EXPECT_NE(v.at("cookie"), "0");
}

TEST_F(LayerPath, RuntimeTableAndItsHandlerPathMessages) {
  const char *failure = "Unsupported environment: cannot detect handler path\n"
                        "cannot detect handler path. read_handler protection disabled\n";
  struct row {
    std::string execution_env, runtime, version, handler_path, startup_output;
  } const rows[] = {
      {"AWS_Lambda_nodejs10.x", "Node.js", "10.x", "/var/task/lambda_function.js", ""},
      {"AWS_Lambda_python3.7", "Python", "3.7", "/var/task/lambda_function.py", ""},
      {"AWS_Lambda_ruby2.5", "Ruby", "2.5", "/var/task/lambda_function.rb", ""},
      {"AWS_Lambda_python3.12", "Python", "3.12", "/var/task/lambda_function.py", ""},
      {"AWS_Lambda_java8", "Java", "8", "/var/task/lambda_function/lambda_handler.class", ""},
      {"AWS_Lambda_go1.x", "Layer", "AWS_Lambda_go1.x", "", failure},
      {"aws_lambda_python3.7", "Layer", "aws_lambda_python3.7", "", failure},
      {"", "Layer", "", "", failure},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.execution_env);
    auto env = aws_function(row.execution_env);
    env.push_back("TESSEL_GUARD_DISABLE_ANALYTICS=true");
    RunResult r = run_layer(env, {"show"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("state_path=")), row.startup_output);
    values v = probe_values(r.out);
    EXPECT_TRUE(has_values(v, {{"runtime", row.runtime}, {"runtime_version", row.version},
                               {"handler_path", row.handler_path}}));
    EXPECT_NE(v.at("cookie"), "0");
  }
}

// read_handler switched on from the environment protects each runtime's
// handler file, also when the task root is named with a trailing "/".
TEST_F(LayerPath, ReadHandlerBlockFromTheEnvironment) {
  struct row {
    const char *execution_env, *handler, *file;
  } const rows[] = {
      {"AWS_Lambda_nodejs20.x", "index.handler", "index.mjs"},
      {"AWS_Lambda_python3.12", "lambda_function.lambda_handler", "lambda_function.py"},
      {"AWS_Lambda_ruby3.3", "handler.process", "handler.rb"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.execution_env);
    // Outside /tmp, where read_write_tmp would decide first.
    scratch_directory task_root(build_scratch_base());
    const std::string file = task_root.file(row.file);
    std::ofstream(file) << "handler\n";
    auto env = aws_env(row.execution_env);
    env.insert(env.end(), {std::string("_HANDLER=") + row.handler, "LAMBDA_TASK_ROOT=" + task_root.path + "/",
                           "TESSEL_GUARD_POLICY_READ_HANDLER=block", "TESSEL_GUARD_DISABLE_ANALYTICS=true",
                           std::string("LD_PRELOAD=") + LAYER_PATH});
    // The first read is the first process's own during the start phase;
    // a forked child's is judged.
    RunResult r = run_probe("intercept_actions", {"openr:" + file, "fork", "openr:" + file}, env, true);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has_lines(r.out, {"openr:" + file + " -> ok", "openr:" + file + " -> errno 222"}));
    EXPECT_EQ(count_of(r.log, "read_handler"), 1u) << r.log;
    EXPECT_NE(r.log.find(R"({"details":{"path":")" + file + R"("},"tessel_guard":true,)"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find(R"("policy":"read_handler","mode":"block"})"), std::string::npos) << r.log;
  }
}

TEST_F(LayerPath, AnalyticsIsDisabledOnlyByTheExactWordTrue) {
  for (const char *value : {"true", "TRUE", "1", "yes", ""}) {
    auto env = aws_env("AWS_Lambda_nodejs10.x");
    env.push_back(std::string("TESSEL_GUARD_DISABLE_ANALYTICS=") + value);
    RunResult r = run_layer(env, {"show"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(probe_values(r.out).at("disable_analytics"), std::string(value) == "true" ? "1" : "0") << value;
  }
}

TEST_F(LayerPath, GoogleFunctionGetsThePolicyButNoRuntime) {
  auto env = google_env();
  env.insert(env.end(), {"X_GOOGLE_CODE_LOCATION=/srv", "TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY=block",
                         "TESSEL_GUARD_DISABLE_ANALYTICS=true"});
  RunResult r = run_layer(env, {"show"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("state_path=", 0), 0u) << r.out;
  values v = probe_values(r.out);
  EXPECT_TRUE(has_values(v, {{"provider", "1"}, {"outbound_connectivity", "2"}, {"read_write_tmp", "0"},
                             {"runtime", ""}, {"runtime_version", ""}, {"handler_path", ""}}));
  EXPECT_NE(v.at("cookie"), "0");
}

TEST_F(LayerPath, NoSelfConfigurationWithASecondPreloadedLibrary) {
  auto env = aws_function("AWS_Lambda_python3.7");
  env.push_back("TESSEL_GUARD_POLICY_READ_WRITE_TMP=block");
  RunResult r = run_layer(env, {"show"}, std::string(LAYER_PATH) + ":libm.so.6");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  values v = probe_values(r.out);
  EXPECT_TRUE(has_values(v, {{"cookie", "0"}, {"read_write_tmp", "0"}, {"runtime", ""}}));
}

TEST_F(LayerPath, NoSelfConfigurationWhenTheStatePathIsInherited) {
  state_record record{};
  record.read_write_tmp = MODE_ALERT;
  TestStateFile file(record);
  ASSERT_FALSE(file.path().empty());
  auto env = aws_function("AWS_Lambda_python3.7");
  env.insert(env.end(), {"TESSEL_GUARD_POLICY_READ_WRITE_TMP=block", "TESSELGUARD_STATE_PATH=" + file.path()});
  RunResult r = run_layer(env, {"show"});
  auto stored = read_state_file(file.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("state_path=", 0), 0u) << r.out;
  ASSERT_TRUE(stored);
  EXPECT_EQ(memcmp(&*stored, &record, sizeof record), 0);
  EXPECT_EQ(probe_values(r.out).at("read_write_tmp"), "1");
}

}  // namespace
