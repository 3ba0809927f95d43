// Platform detection, self-configuration and the handler file as one table:
// the platform's variables and the files in the function's folder, in each
// form the folder can be named -> what the shared record holds and what is
// printed.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "core_test_support.hpp"
#include "scratch_directory.hpp"
#include "startup/startup.hpp"
#include "tesselguard.h"

namespace {

constexpr const char *EARLIER_PATH = "/earlier/handler.js";
#define DISABLED "cannot detect handler path. read_handler protection disabled\n"
constexpr const char *NO_HANDLER_FILE = "Unsupported environment: cannot detect handler path\n" DISABLED;

// How the function's folder is named: LAMBDA_TASK_ROOT, X_GOOGLE_CODE_LOCATION
// or the working directory.
enum class folder_form { unset, plain, trailing_slash, dot_dot, symbolic_link };
// Google's variables: none, the first generation's, the current
// generation's (K_SERVICE, FUNCTION_TARGET), or both sets.
enum class google { none, first, current, both };

struct platform_row {
  const char *label;
  const char *execution_env = nullptr;  // AWS_EXECUTION_ENV; null: unset
  bool runtime_api = true;              // AWS_LAMBDA_RUNTIME_API set
  const char *handler = nullptr;        // _HANDLER; null: unset
  std::vector<std::string> files = {};  // in the folder: "name" or "name=content"
  folder_form form = folder_form::plain;
  google variables = google::none;
  const char *runtime_document = nullptr;  // Google: the runtime of the configuration call
  int32_t provider = PROVIDER_AWS;
  const char *runtime = "";
  const char *version = "";
  const char *handler_file = "";  // under the folder's real path; "" none
  const char *message = "";
};

const std::vector<platform_row> ROWS = {
    // ---- AWS: the three old names keep their results
    {.label = "nodejs10.x", .execution_env = "AWS_Lambda_nodejs10.x", .handler = "index.handler", .files = {"index.js"},
     .runtime = "Node.js", .version = "10.x", .handler_file = "index.js"},
    {.label = "python3.7", .execution_env = "AWS_Lambda_python3.7", .handler = "lambda_function.lambda_handler",
     .files = {"lambda_function.py"}, .runtime = "Python", .version = "3.7", .handler_file = "lambda_function.py"},
    {.label = "ruby2.5", .execution_env = "AWS_Lambda_ruby2.5", .handler = "function.handler", .files = {"function.rb"},
     .runtime = "Ruby", .version = "2.5", .handler_file = "function.rb"},
    // ---- AWS: every family by its prefix; Node.js takes .js, .mjs, .cjs in that order
    {.label = "nodejs20.x .mjs, trailing /", .execution_env = "AWS_Lambda_nodejs20.x", .handler = "index.handler",
     .files = {"index.mjs"}, .form = folder_form::trailing_slash, .runtime = "Node.js", .version = "20.x",
     .handler_file = "index.mjs"},
    {.label = "nodejs22.x .mjs before .cjs, ..", .execution_env = "AWS_Lambda_nodejs22.x", .handler = "index.handler",
     .files = {"index.cjs", "index.mjs"}, .form = folder_form::dot_dot, .runtime = "Node.js", .version = "22.x",
     .handler_file = "index.mjs"},
    {.label = "nodejs22.x .js first", .execution_env = "AWS_Lambda_nodejs22.x", .handler = "index.handler",
     .files = {"index.mjs", "index.js"}, .runtime = "Node.js", .version = "22.x", .handler_file = "index.js"},
    {.label = "nodejs24.x .cjs in a folder, link", .execution_env = "AWS_Lambda_nodejs24.x",
     .handler = "src/app.handler", .files = {"src/app.cjs"}, .form = folder_form::symbolic_link, .runtime = "Node.js",
     .version = "24.x", .handler_file = "src/app.cjs"},
    {.label = "nodejs20.x no file yet", .execution_env = "AWS_Lambda_nodejs20.x", .handler = "index.handler",
     .runtime = "Node.js", .version = "20.x", .handler_file = "index.js"},
    {.label = "python3.12 trailing /", .execution_env = "AWS_Lambda_python3.12",
     .handler = "lambda_function.lambda_handler", .files = {"lambda_function.py"}, .form = folder_form::trailing_slash,
     .runtime = "Python", .version = "3.12", .handler_file = "lambda_function.py"},
    {.label = "python3.13 package, link", .execution_env = "AWS_Lambda_python3.13", .handler = "pkg.mod.fn",
     .files = {"pkg/mod.py"}, .form = folder_form::symbolic_link, .runtime = "Python", .version = "3.13",
     .handler_file = "pkg/mod.py"},
    {.label = "ruby3.3 trailing /", .execution_env = "AWS_Lambda_ruby3.3", .handler = "handler.process",
     .files = {"handler.rb"}, .form = folder_form::trailing_slash, .runtime = "Ruby", .version = "3.3",
     .handler_file = "handler.rb"},
    {.label = "ruby3.4 class method", .execution_env = "AWS_Lambda_ruby3.4",
     .handler = "lambda_function.LambdaFunctions::Handler.process", .files = {"lambda_function.rb"},
     .form = folder_form::dot_dot, .runtime = "Ruby", .version = "3.4", .handler_file = "lambda_function.rb"},
    {.label = "java21", .execution_env = "AWS_Lambda_java21", .handler = "example.Hello::handleRequest",
     .runtime = "Java", .version = "21", .handler_file = "example/Hello::handleRequest.class"},
    {.label = "java8.al2", .execution_env = "AWS_Lambda_java8.al2", .handler = "example.Hello", .runtime = "Java",
     .version = "8.al2", .handler_file = "example/Hello.class"},
    {.label = "dotnet8: no file, nothing said", .execution_env = "AWS_Lambda_dotnet8",
     .handler = "Assembly::Namespace.Function::Handler", .runtime = ".NET", .version = "8"},
    // ---- AWS: OS-only runtimes and names of no family
    {.label = "provided: Runtime API only", .handler = "bootstrap", .runtime = "Layer", .version = "provided"},
    {.label = "provided without _HANDLER", .form = folder_form::unset, .runtime = "Layer", .version = "provided"},
    {.label = "go1.x", .execution_env = "AWS_Lambda_go1.x", .handler = "main", .runtime = "Layer",
     .version = "AWS_Lambda_go1.x", .message = NO_HANDLER_FILE},
    {.label = "no version digits", .execution_env = "AWS_Lambda_nodejs.x", .handler = "index.handler",
     .runtime = "Layer", .version = "AWS_Lambda_nodejs.x", .message = NO_HANDLER_FILE},
    {.label = "python 2", .execution_env = "AWS_Lambda_python2.7", .handler = "a.b", .runtime = "Layer",
     .version = "AWS_Lambda_python2.7", .message = NO_HANDLER_FILE},
    {.label = "improper handler", .execution_env = "AWS_Lambda_python3.12", .handler = "index", .runtime = "Python",
     .version = "3.12", .message = "Improper handler format: should contain '.'\n" DISABLED},
    {.label = "no _HANDLER", .execution_env = "AWS_Lambda_nodejs20.x", .runtime = "Node.js", .version = "20.x",
     .message = "_HANDLER environment variable not found\n" DISABLED},
    {.label = "no task root", .execution_env = "AWS_Lambda_ruby3.3", .handler = "a.b", .form = folder_form::unset,
     .runtime = "Ruby", .version = "3.3", .message = "LAMBDA_TASK_ROOT environment variable not found\n" DISABLED},
    {.label = "AWS before Google", .execution_env = "AWS_Lambda_python3.12", .handler = "lambda_function.handler",
     .variables = google::both, .runtime = "Python", .version = "3.12", .handler_file = "lambda_function.py"},
    {.label = "no platform", .runtime_api = false, .handler = "index.handler", .provider = PROVIDER_UNSUPPORTED},
    // ---- Google, first generation: X_GOOGLE_CODE_LOCATION in any form
    {.label = "first generation Node.js", .runtime_api = false, .files = {"index.js"}, .variables = google::first,
     .runtime_document = "Node.js", .provider = PROVIDER_GOOGLE, .runtime = "Node.js", .handler_file = "index.js"},
    {.label = "first generation trailing /", .runtime_api = false, .form = folder_form::trailing_slash,
     .variables = google::first, .runtime_document = "Python", .provider = PROVIDER_GOOGLE, .runtime = "Python",
     .handler_file = "main.py"},
    {.label = "first generation link", .runtime_api = false, .files = {"main.py"}, .form = folder_form::symbolic_link,
     .variables = google::first, .runtime_document = "Python", .provider = PROVIDER_GOOGLE, .runtime = "Python",
     .handler_file = "main.py"},
    {.label = "first generation before current", .runtime_api = false, .files = {"main.py"},
     .form = folder_form::dot_dot, .variables = google::both, .runtime_document = "Python",
     .provider = PROVIDER_GOOGLE, .runtime = "Python", .handler_file = "main.py"},
    // ---- Google, current generation: the working directory at start-up
    {.label = "current generation Python, link", .runtime_api = false, .files = {"main.py"},
     .form = folder_form::symbolic_link, .variables = google::current, .runtime_document = "Python",
     .provider = PROVIDER_GOOGLE, .runtime = "Python", .handler_file = "main.py"},
    {.label = "current generation package main", .runtime_api = false,
     .files = {R"(package.json={"name":"f","main":"lib/app.js"})", "lib/app.js", "index.js"},
     .variables = google::current, .runtime_document = "Node.js", .provider = PROVIDER_GOOGLE, .runtime = "Node.js",
     .handler_file = "lib/app.js"},
    {.label = "current generation main without .js", .runtime_api = false,
     .files = {R"(package.json={"main":"./server"})", "server.js"}, .variables = google::current,
     .runtime_document = "Node.js", .provider = PROVIDER_GOOGLE, .runtime = "Node.js", .handler_file = "server.js"},
    {.label = "current generation main a folder", .runtime_api = false,
     .files = {R"(package.json={"main":"server"})", "server/index.js"}, .variables = google::current,
     .runtime_document = "Node.js", .provider = PROVIDER_GOOGLE, .runtime = "Node.js",
     .handler_file = "server/index.js"},
    {.label = "current generation no main", .runtime_api = false, .files = {R"(package.json={"main":7})"},
     .variables = google::current, .runtime_document = "Node.js", .provider = PROVIDER_GOOGLE, .runtime = "Node.js",
     .handler_file = "index.js"},
    {.label = "current generation Ruby", .runtime_api = false, .variables = google::current,
     .runtime_document = "Ruby", .provider = PROVIDER_GOOGLE, .runtime = "Ruby"},
};

void PrintTo(const platform_row &row, std::ostream *os) { *os << row.label; }

void make_file(const std::string &folder, const std::string &entry) {
  const size_t equals = entry.find('=');
  const std::string path = folder + "/" + entry.substr(0, equals);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << (equals == std::string::npos ? "" : entry.substr(equals + 1));
}

class PlatformTable : public ::testing::TestWithParam<platform_row> {};

TEST_P(PlatformTable, RecordAndMessages) {
  const platform_row &row = GetParam();
  scratch_directory scratch(build_scratch_base());
  const std::string folder = scratch.file("function");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("function", scratch.file("link").c_str()), 0);
  for (const std::string &entry : row.files) make_file(folder, entry);
  char *real = realpath(folder.c_str(), nullptr);
  const std::string real_folder = real ? real : "";
  free(real);

  std::string named;
  switch (row.form) {
    case folder_form::unset: break;
    case folder_form::plain: named = folder; break;
    case folder_form::trailing_slash: named = folder + "/"; break;
    case folder_form::dot_dot: named = folder + "/sub/.."; break;
    case folder_form::symbolic_link: named = scratch.file("link"); break;
  }
  const char *folder_value = row.form == folder_form::unset ? nullptr : named.c_str();
  const bool first = row.variables == google::first || row.variables == google::both;
  const bool current = row.variables == google::current || row.variables == google::both;
  const std::string saved_cwd = std::filesystem::current_path();
  {
    scoped_env execution_env("AWS_EXECUTION_ENV", row.execution_env);
    scoped_env runtime_api("AWS_LAMBDA_RUNTIME_API", row.runtime_api ? "127.0.0.1:9001" : nullptr);
    scoped_env handler("_HANDLER", row.handler);
    scoped_env task_root("LAMBDA_TASK_ROOT", folder_value);
    scoped_env function_name("X_GOOGLE_FUNCTION_NAME", first ? "fn" : nullptr);
    scoped_env code_location("X_GOOGLE_CODE_LOCATION", first ? folder_value : nullptr);
    scoped_env service("K_SERVICE", current ? "fn" : nullptr);
    scoped_env target("FUNCTION_TARGET", current ? "entry" : nullptr);
    scoped_env read_handler("TESSEL_GUARD_POLICY_READ_HANDLER", "block");
    // The current generation's folder is where the function starts.
    if (current && !first) {
      ASSERT_EQ(chdir(named.c_str()), 0);
    }

    scoped_state state(PROVIDER_UNSUPPORTED);
    set_text(state.record.handler_path, EARLIER_PATH);
    capture_platform_facts(&state.record);
    stdout_capture out;
    if (row.runtime_document)
      tesselguard_configure((std::string(R"({"runtime":")") + row.runtime_document + "\"}").c_str());
    else
      configure_from_env();
    const std::string message = out.finish();
    EXPECT_EQ(chdir(saved_cwd.c_str()), 0);

    EXPECT_EQ(state.record.provider, row.provider);
    EXPECT_STREQ(state.record.runtime, row.runtime);
    EXPECT_STREQ(state.record.runtime_version, row.version);
    EXPECT_EQ(state.record.read_handler, row.runtime_document ? MODE_ALLOW : MODE_BLOCK);
    const std::string expected_path =
        *row.handler_file ? real_folder + "/" + row.handler_file : std::string(EARLIER_PATH);
    EXPECT_EQ(std::string(state.record.handler_path), expected_path);
    EXPECT_EQ(message, row.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Platforms, PlatformTable, ::testing::ValuesIn(ROWS));

// A joined path must fit the 4096-byte field with its terminator: 4095
// characters are written, one more is refused and the earlier path kept.
TEST(HandlerPathLength, LongestPathFitsAndOneMoreIsRefused) {
  for (int32_t provider : {PROVIDER_AWS, PROVIDER_GOOGLE}) {
    // AWS adds "/" + "a" + ".js" (5 characters); Google adds "/index.js" (9).
    size_t added = provider == PROVIDER_AWS ? 5 : 9;
    std::string root = "/" + std::string(4095 - added - 1, 'r');
    scoped_state scoped(provider);
    strcpy(scoped.record.runtime, "Node.js");
    strcpy(scoped.record.handler_path, EARLIER_PATH);
    scoped_env handler("_HANDLER", "a.handler");
    scoped_env task_root("LAMBDA_TASK_ROOT", root.c_str());
    scoped_env location("X_GOOGLE_CODE_LOCATION", root.c_str());
    {
      stdout_capture capture;
      EXPECT_EQ(detect_handler_path(), 1) << "provider " << provider;
      EXPECT_EQ(capture.finish(), "");
      EXPECT_EQ(strlen(scoped.record.handler_path), 4095u);
      EXPECT_EQ(scoped.record.handler_path[4095], '\0');
    }
    std::string longer = root + "x";
    scoped_env longer_root("LAMBDA_TASK_ROOT", longer.c_str());
    scoped_env longer_location("X_GOOGLE_CODE_LOCATION", longer.c_str());
    std::string before(scoped.record.handler_path);
    stdout_capture capture;
    EXPECT_EQ(detect_handler_path(), 0);
    EXPECT_EQ(capture.finish(), "Handler path too long\n");
    EXPECT_EQ(std::string(scoped.record.handler_path), before);
  }
}

}  // namespace
