// The npm package and the Python wheel as their users get them: installed
// offline from the built file into a fresh project (or venv), then used from
// a function's code. One script per language prints what happened, line by
// line: a /tmp write under block, a wrong cookie, a started process that
// tries to configure, the lock after repeated wrong cookies.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dockerfile.hpp"
#include "process_runner.hpp"
#include "scratch_directory.hpp"

namespace {

bool is_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The current generation of Google's functions: records on standard output.
std::vector<std::string> function_env(const std::string &home) {
  return {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + home, "K_SERVICE=packages", "K_REVISION=packages-1",
          "FUNCTION_TARGET=handler"};
}

RunResult run_tool(const std::vector<std::string> &argv, const std::string &cwd, const std::string &home,
                   int timeout_ms = 120000) {
  RunOptions run;
  run.argv = argv;
  run.cwd = cwd;
  // Offline: the npm cache and configuration stay in the project.
  run.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + home, "npm_config_cache=" + home + "/.npm",
             "npm_config_update_notifier=false", "PIP_NO_CACHE_DIR=1", "PIP_DISABLE_PIP_VERSION_CHECK=1"};
  run.preload = false;
  run.timeout_ms = timeout_ms;
  return run_process(run);
}

// The Cloud Run fragment of a language installs the very file the build
// made, and preloads the library from where the package puts it: the
// library path that the package reports (printed as "library PATH") ends
// as the fragment's, from `anchor` on.
void expect_fragment_matches(const std::string &fragment, const std::string &built, const std::string &out,
                             const std::string &anchor) {
  const std::string path = TG_SOURCE_DIR "/examples/containers/" + fragment;
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find(" ./" + built.substr(built.rfind('/') + 1)), std::string::npos) << path;
  const std::string preload = env_value(dockerfile_env(path), "LD_PRELOAD");
  const std::string library = value_after(out, "library");
  ASSERT_NE(preload.find(anchor), std::string::npos) << preload;
  ASSERT_NE(library.find(anchor), std::string::npos) << library;
  EXPECT_EQ(library.substr(library.find(anchor)), preload.substr(preload.find(anchor)));
  EXPECT_TRUE(is_file(library)) << library;
}

const std::vector<std::string> REFUSALS_SEEN = {
    "write refused",  "wrong cookie refused", "right cookie accepted",
    "started process refused", "locked refused",
};

constexpr const char *NODE_SCRIPT = R"JS(
const tesselguard = require('tesselguard');
const fs = require('fs');
const { spawnSync } = require('child_process');
const cookie = tesselguard.configure({ policy: { read_write_tmp: 'block' }, disableAnalytics: true });
console.log('library', tesselguard.libraryPath);
try {
  fs.writeFileSync('/tmp/tg-npm-probe', 'x');
  console.log('write allowed');
} catch (e) {
  console.log(e.errno === -222 ? 'write refused' : `write failed ${e.message}`);
}
const refused = (what, call, code) => {
  try {
    call();
    console.log(`${what} accepted`);
  } catch (e) {
    console.log(e instanceof Error && e.code === code && e.message.includes('refused') ? `${what} refused` : `${what} threw ${e.code} ${e.message}`);
  }
};
refused('wrong cookie', () => tesselguard.reconfigure(cookie + 1, { policy: { read_write_tmp: 'allow' } }), 'ERR_TESSELGUARD_WRONG_COOKIE');
if (tesselguard.reconfigure(cookie, { policy: { read_write_tmp: 'block' } }) === cookie) console.log('right cookie accepted');
const child = spawnSync(process.execPath, ['-e', `
  try { require('tesselguard').configure(); console.log('configured'); }
  catch (e) { console.log(e.code === 'ERR_TESSELGUARD_NOT_FIRST_PROCESS' ? 'started process refused' : e.code); }`],
  { encoding: 'utf8' });
console.log(child.stdout.split('\n').filter((l) => l.startsWith('started process') || l === 'configured').join('\n'));
for (let i = 0; i < 5; i++) try { tesselguard.reconfigure(0); } catch (e) {}
refused('locked', () => tesselguard.reconfigure(cookie), 'ERR_TESSELGUARD_LOCKED');
)JS";

// The declaration: what a user writes compiles, a wrong mode does not.
constexpr const char *TYPES_CHECK = R"TS(
import { configure, reconfigure, libraryPath, RefusalError } from 'tesselguard';
const cookie: number = configure({ policy: { read_write_tmp: 'block', outbound_connectivity: 'alert' },
                                   runtime: 'Node.js', disableAnalytics: true });
const again: number = reconfigure(cookie, { policy: { create_child_process: 'allow' } });
const path: string = libraryPath;
const why = (e: RefusalError): string => e.code;
// @ts-expect-error: no such mode
configure({ policy: { read_write_tmp: 'deny' } });
// @ts-expect-error: the cookie is a number
reconfigure('1', {});
export { again, path, why };
)TS";

TEST(NpmPackage, InstalledOfflineItConfiguresBlocksAndRefusesClearly) {
  TG_SKIP_IF_SANITIZED();
  if (!is_file(TG_NPM_TARBALL)) GTEST_SKIP() << "the npm package was not built (node, npm or node-gyp missing)";
  scratch_directory project(build_scratch_base());
  ASSERT_FALSE(project.path.empty());
  RunResult install = run_tool({"/usr/bin/env", "npm", "install", "--offline", "--no-audit", "--no-fund",
                                "--no-package-lock", TG_NPM_TARBALL},
                               project.path, project.path);
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;

  RunOptions run;
  run.argv = {"/usr/bin/env", "node", "-e", NODE_SCRIPT};
  run.cwd = project.path;
  run.env = function_env(project.path);
  run.preload = false;  // the package loads its own library
  RunResult result = run_process(run);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, REFUSALS_SEEN));
  EXPECT_NE(result.out.find("\"details\":{\"path\":\"/tmp/tg-npm-probe\"}"), std::string::npos) << result.out;
  EXPECT_FALSE(is_file("/tmp/tg-npm-probe"));
  expect_fragment_matches("cloud-run-node.Dockerfile", TG_NPM_TARBALL, result.out, "/node_modules/");

  if (!is_file("/usr/bin/tsc")) GTEST_SKIP() << "tsc (node-typescript) is not installed";
  FILE *check = fopen(project.file("check.ts").c_str(), "w");
  ASSERT_NE(check, nullptr);
  fputs(TYPES_CHECK, check);
  fclose(check);
  RunResult types = run_tool({"/usr/bin/tsc", "--noEmit", "--strict", "--moduleResolution", "node", "check.ts"},
                             project.path, project.path);
  EXPECT_EQ(types.exit_code, 0) << types.out << types.err;
}

constexpr const char *PYTHON_SCRIPT = R"PY(
import subprocess, sys, typing
import tesselguard
cookie = tesselguard.configure(policy={"read_write_tmp": "block"}, disable_analytics=True)
print("library", tesselguard.LIBRARY_PATH)
try:
    open("/tmp/tg-wheel-probe", "w")
    print("write allowed")
except OSError as e:
    print("write refused" if e.errno == 222 else f"write failed {e}")
def refused(what, call, kind):
    try:
        call()
        print(f"{what} accepted")
    except kind as e:
        print(f"{what} refused" if "refused" in str(e) else f"{what}: {e}")
refused("wrong cookie", lambda: tesselguard.reconfigure(cookie + 1, policy={"read_write_tmp": "allow"}), ValueError)
if tesselguard.reconfigure(cookie, policy={"read_write_tmp": "block"}) == cookie:
    print("right cookie accepted")
child = subprocess.run([sys.executable, "-c", """
import tesselguard
try:
    tesselguard.configure()
    print("configured")
except PermissionError as e:
    print("started process refused")
"""], capture_output=True, text=True)
print("\n".join(l for l in child.stdout.splitlines() if l.startswith("started process") or l == "configured"))
for _ in range(5):
    try:
        tesselguard.reconfigure(0)
    except ValueError:
        pass
refused("locked", lambda: tesselguard.reconfigure(cookie), PermissionError)
# The type hints that a checker reads, with the marker that makes it read them.
hints = typing.get_type_hints(tesselguard.configure)
print("hints", sorted(hints), hints["return"].__name__, typing.get_args(typing.get_args(typing.get_args(hints["policy"])[0])[1]))
import importlib.resources
print("typed", importlib.resources.files("tesselguard").joinpath("py.typed").is_file())
)PY";

TEST(PythonWheel, InstalledOfflineInAVenvItConfiguresBlocksAndRefusesClearly) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("/usr/bin/python3");
  TG_SKIP_IF_SANITIZED();
  if (!is_file(TG_PYTHON_WHEEL)) GTEST_SKIP() << "the wheel was not built (setuptools, wheel or venv missing)";
  scratch_directory project(build_scratch_base());
  ASSERT_FALSE(project.path.empty());
  RunResult venv = run_tool({"/usr/bin/python3", "-m", "venv", "venv"}, project.path, project.path);
  ASSERT_EQ(venv.exit_code, 0) << venv.out << venv.err;
  RunResult install = run_tool({project.file("venv/bin/pip"), "install", "--quiet", "--no-index", TG_PYTHON_WHEEL},
                               project.path, project.path);
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;

  RunOptions run;
  run.argv = {project.file("venv/bin/python"), "-c", PYTHON_SCRIPT};
  run.cwd = project.path;
  run.env = function_env(project.path);
  run.preload = false;
  RunResult result = run_process(run);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, REFUSALS_SEEN));
  EXPECT_TRUE(has_lines(result.out, {"hints ['disable_analytics', 'policy', 'return', 'runtime', 'runtime_version'] "
                                     "int ('allow', 'alert', 'block')",
                                     "typed True"}));
  EXPECT_NE(result.out.find("\"details\":{\"path\":\"/tmp/tg-wheel-probe\"}"), std::string::npos) << result.out;
  EXPECT_FALSE(is_file("/tmp/tg-wheel-probe"));
  expect_fragment_matches("cloud-run-python.Dockerfile", TG_PYTHON_WHEEL, result.out, "/site-packages/");

  // A copy of the library that other code loaded privately (ctypes' default)
  // is the one configured: no second copy is loaded.
  run.argv = {project.file("venv/bin/python"), "-c", R"PY(
import ctypes, os, shutil, sys, tesselguard
shutil.copytree(os.path.dirname(tesselguard.LIBRARY_PATH), sys.argv[1])
ctypes.CDLL(sys.argv[1] + "/libtesselguard.so")
tesselguard.configure(policy={"read_write_tmp": "alert"})
print("copies", len({l.split()[-1] for l in open("/proc/self/maps") if l.rstrip().endswith("/libtesselguard.so")}))
)PY", project.file("private-copy")};
  result = run_process(run);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, {"copies 1"}));
}

}  // namespace

namespace {

// The README's queries, run by scripts/check_log_queries.py over what the
// library really writes: on Google's current generation records on standard
// output among other lines, on AWS records on descriptor 999. Each query
// selects every record (Cloud Logging's only Google's, which carry the
// level) and nothing else, and reads the rule and mode of the record, not
// those that a path spells out.
TEST(FindingTheRecords, ReadmeQueriesSelectEveryRecordAndNothingElse) {
  TG_SKIP_IF_SANITIZED();
  const std::string spelled = "/tmp/\"policy\":\"read_handler\",\"mode\":\"allow\"";
  const std::vector<std::string> actions = {
      "configure:{\"disable_analytics\":true,\"policy\":{\"read_write_tmp\":\"block\","
      "\"outbound_connectivity\":\"alert\",\"create_child_process\":\"block\"}}",
      "open:" + spelled, "connect:127.0.0.53:9", "exec:" + probe_path("intercept_actions")};
  RunResult google = run_probe("intercept_actions", actions,
                               {"PATH=/usr/bin:/bin", "K_SERVICE=queries", "FUNCTION_TARGET=handler"});
  RunResult aws = run_probe("intercept_actions", actions, aws_env(), true);
  // The refused program start ends the probe with 222.
  ASSERT_EQ(google.exit_code, 222) << google.out << google.err;
  ASSERT_EQ(aws.exit_code, 222) << aws.out << aws.err;

  RunOptions check;
  check.argv = {"/usr/bin/python3", TG_SOURCE_DIR "/scripts/check_log_queries.py", TG_SOURCE_DIR "/README.md"};
  check.env = {"PATH=/usr/bin:/bin"};
  check.preload = false;
  check.stdin_text = google.out + aws.log + aws.out;
  RunResult selected = run_process(check);
  ASSERT_EQ(selected.exit_code, 0) << selected.err;
  std::string expected;
  for (const char *record : {"read_write_tmp block", "outbound_connectivity alert", "create_child_process block"})
    for (const char *query : {"cloudwatch-insights ", "cloudwatch-metric ", "cloud-logging "})
      expected += std::string(query) + record + "\n";
  for (const char *record : {"read_write_tmp block", "outbound_connectivity alert", "create_child_process block"})
    for (const char *query : {"cloudwatch-insights ", "cloudwatch-metric "}) expected += std::string(query) + record + "\n";
  EXPECT_EQ(selected.out, expected) << check.stdin_text;
}

}  // namespace
