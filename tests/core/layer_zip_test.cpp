// The Lambda layer archive is self-sufficient: unpacked on its own, with the
// loader pointed at its lib/ folder only (as Lambda does for /opt/lib), it
// protects a Python process, and every library it bundles is the copy in use;
// a program started with an empty environment finds all of it too.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "alert_records.hpp"
#include "dockerfile.hpp"
#include "process_runner.hpp"
#include "scratch_directory.hpp"

namespace {

constexpr const char *PYTHON = "/usr/bin/python3";

// A temporary folder that is removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/tesselguard-layer-test-XXXXXX";
    if (mkdtemp(name)) path = name;
  }
  ~TempDir() {
    if (path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

std::string layer_zip_path() {
  return std::filesystem::path(library_path()).parent_path().string() + "/" TG_LAYER_ZIP_NAME;
}

std::vector<std::string> files_in(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *entry = readdir(d))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(d);
  }
  return names;
}

bool is_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The GCC run-time, which every Lambda image has and the layer leaves out.
bool provided_by_image(const std::string &object) {
  std::string name = std::filesystem::path(object).filename().string();
  return name.rfind("libstdc++.so", 0) == 0 || name.rfind("libgcc_s.so", 0) == 0;
}

std::set<std::string> mapped_objects(const std::string &out) {
  std::set<std::string> mapped;
  for (const auto &line : split_lines(out))
    if (line.rfind("mapped ", 0) == 0) mapped.insert(line.substr(7));
  return mapped;
}

// Configures through the exported call when the library is there, and calls
// it again until a usage report has been drawn (the library opens its libssl,
// and that libssl OpenSSL 3, for the first one); tries a file under /tmp,
// then lists the shared objects that the process has mapped.
constexpr const char *PROTECTED_SCRIPT = R"PY(
import ctypes
configure = getattr(ctypes.CDLL(None), "tesselguard_configure", None)
if configure:
    configure.argtypes = [ctypes.c_char_p]
    cookie = configure(b'{"policy":{"read_write_tmp":"block"}}')
    print("cookie issued" if cookie else "no cookie")
    again = ('{"cookie":%d}' % cookie).encode()
    for _ in range(5000):
        if "/libssl.so.1.0.0" in open("/proc/self/maps").read():
            print("libssl opened")
            break
        configure(again)
path = "/tmp/tesselguard-layer-test-probe.txt"
try:
    open(path, "w").close()
    print("open allowed")
    import os
    os.unlink(path)
except OSError as e:
    print("open refused", e.errno)
seen = set()
for line in open("/proc/self/maps"):
    fields = line.split()
    if len(fields) >= 6 and ".so" in fields[5] and fields[5] not in seen:
        seen.add(fields[5])
        print("mapped", fields[5])
)PY";

// Unpacks the archive into a fresh temporary folder for each test.
class LayerZip : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
    if (!is_file(PYTHON)) GTEST_SKIP() << PYTHON << " is not installed";
    const std::string zip = layer_zip_path();
    ASSERT_TRUE(is_file(zip)) << zip << " was not built";
    ASSERT_FALSE(dir_.path.empty());
    RunOptions unpack;
    unpack.argv = {PYTHON, "-m", "zipfile", "-e", zip, dir_.path};
    unpack.env = {"PATH=/usr/bin:/bin"};
    unpack.preload = false;
    RunResult unpacked = run_process(unpack);
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
    lib_ = dir_.path + "/lib";
    private_ = lib_ + "/tesselguard";
  }

  // Every file of lib/ and of its private folder.
  std::vector<std::string> bundled() const {
    std::vector<std::string> paths;
    for (const std::string &dir : {lib_, private_})
      for (const auto &name : files_in(dir))
        if (is_file(dir + "/" + name)) paths.push_back(dir + "/" + name);
    return paths;
  }

  TempDir dir_;
  std::string lib_;
  std::string private_;
};

TEST_F(LayerZip, HoldsOurLibrariesTheirDependenciesAndLicences) {
  EXPECT_TRUE(is_file(lib_ + "/libtesselguard.so"));
  // The libssl compatibility library only in the private folder, which no
  // program's search path holds.
  EXPECT_TRUE(is_file(private_ + "/libssl.so.1.0.0"));
  EXPECT_FALSE(is_file(lib_ + "/libssl.so.1.0.0"));
  EXPECT_GT(files_in(lib_).size(), 2u) << "cJSON and Zydis are not bundled";
  EXPECT_GT(files_in(private_).size(), 1u) << "OpenSSL 3 is not bundled";
  // Amazon Linux 2023 has glibc 2.34: no file may need a newer symbol version.
  for (const auto &path : bundled()) {
    RunOptions dump;
    dump.argv = {"/usr/bin/objdump", "-T", path};
    dump.env = {"PATH=/usr/bin:/bin"};
    dump.preload = false;
    RunResult versions = run_process(dump);
    ASSERT_EQ(versions.exit_code, 0) << path << ": " << versions.err;
    for (size_t at = versions.out.find("GLIBC_2."); at != std::string::npos; at = versions.out.find("GLIBC_2.", at + 1))
      EXPECT_LE(atoi(versions.out.c_str() + at + 8), 34) << path << " needs " << versions.out.substr(at, 12);
  }
  // The Lambda container image fragment copies the layer to /opt and
  // preloads the library from there.
  const std::string preload =
      env_value(dockerfile_env(TG_SOURCE_DIR "/examples/containers/lambda.Dockerfile"), "LD_PRELOAD");
  ASSERT_EQ(preload.rfind("/opt/", 0), 0u) << preload;
  EXPECT_TRUE(is_file(dir_.path + preload.substr(4))) << preload;
  std::vector<std::string> licences = files_in(dir_.path + "/licenses");
  EXPECT_FALSE(licences.empty());
  for (const auto &package : licences)
    EXPECT_TRUE(is_file(dir_.path + "/licenses/" + package + "/copyright")) << package;
}

TEST_F(LayerZip, ProtectsAPythonProcessWithOnlyItsLibFolderOnThePath) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  RunOptions run;
  run.argv = {PYTHON, "-c", PROTECTED_SCRIPT};
  run.env = {"PATH=/usr/bin:/bin", "AWS_EXECUTION_ENV=AWS_Lambda_python3.7",
             "LD_PRELOAD=" + lib_ + "/libtesselguard.so", "LD_LIBRARY_PATH=" + lib_};
  run.capture_log_fd = true;
  RunResult result = run_process(run);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, {"cookie issued", "libssl opened", "open refused 222"}));
  EXPECT_FALSE(contains_line(result.out, "open allowed")) << result.out;
  EXPECT_NE(result.log.find("\"details\":{\"path\":\"/tmp/tesselguard-layer-test-probe.txt\"}"), std::string::npos)
      << result.log;
  EXPECT_NE(result.log.find("\"policy\":\"read_write_tmp\",\"mode\":\"block\""), std::string::npos) << result.log;

  // Every bundled library is in use, and from the layer; whatever else the
  // library brought into the process (compared with the same script run
  // unprotected) comes from the layer too, so nothing is missing from it.
  std::set<std::string> mapped = mapped_objects(result.out);
  // Zydis is opened only when a hooked function begins with an instruction
  // that the engine's own reading does not know.
  for (const auto &path : bundled()) {
    if (path.find("/libZydis.so") == std::string::npos) {
      EXPECT_TRUE(mapped.count(path)) << path << " is not loaded from the layer";
    }
  }
  RunOptions plain = run;
  plain.env = {"PATH=/usr/bin:/bin"};
  plain.preload = false;
  plain.capture_log_fd = false;
  RunResult unprotected = run_process(plain);
  ASSERT_EQ(unprotected.exit_code, 0) << unprotected.err;
  std::set<std::string> baseline = mapped_objects(unprotected.out);
  for (const auto &object : mapped) {
    if (baseline.count(object) || provided_by_image(object)) continue;
    EXPECT_EQ(object.rfind(lib_ + "/", 0), 0u) << object << " came from outside the layer";
  }
}

// A protected Python starts a program with an empty environment, with no
// LD_LIBRARY_PATH anywhere: the library comes back through LD_PRELOAD and
// finds everything it loads from its own folder, its libssl too (when the
// program draws a usage report).
constexpr const char *EMPTY_ENVIRONMENT_SCRIPT = R"PY(
import ctypes, subprocess, sys
configure = ctypes.CDLL(None).tesselguard_configure
configure.argtypes = [ctypes.c_char_p]
configure(('{"policy":{"create_child_process":"%s"}}' % sys.argv[1]).encode())
CHILD = """
import ctypes
configure = ctypes.CDLL(None).tesselguard_configure
configure.argtypes = [ctypes.c_char_p]
for _ in range(5000):
    maps = open("/proc/self/maps").read()
    if "/libssl.so.1.0.0" in maps:
        break
    configure(b"{}")
for line in maps.splitlines():
    if ".so" in line.split()[-1]:
        print("mapped", line.split()[-1])
"""
child = subprocess.run([sys.executable, "-c", CHILD], env={}, capture_output=True)
print("status", child.returncode)
for line in child.stdout.decode().splitlines():
    if line.startswith("mapped "):
        print("child", line)
)PY";

TEST_F(LayerZip, ProgramsStartedWithAnEmptyEnvironmentFindTheLayer) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  struct row {
    const char *mode;
    const char *status;
  } const rows[] = {{"allow", "status 0"}, {"block", "status 222"}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.mode);
    RunOptions run;
    run.argv = {PYTHON, "-c", EMPTY_ENVIRONMENT_SCRIPT, r.mode};
    run.env = {"PATH=/usr/bin:/bin", "AWS_EXECUTION_ENV=AWS_Lambda_python3.7",
               "LD_PRELOAD=" + lib_ + "/libtesselguard.so"};
    run.preload = false;  // nor the build tree's LD_LIBRARY_PATH
    run.capture_log_fd = true;
    RunResult result = run_process(run);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(contains_line(result.out, r.status)) << result.out << result.err;
    if (std::string(r.mode) == "allow") {
      EXPECT_TRUE(contains_line(result.out, "child mapped " + lib_ + "/libtesselguard.so")) << result.out;
      EXPECT_TRUE(contains_line(result.out, "child mapped " + private_ + "/libssl.so.1.0.0")) << result.out;
    }
  }
}

// The layer as Lambda uses it (lib/ on the search path, the library
// preloaded) around a C program of the library's own processor: on x86-64,
// and on arm64 under emulation. Under block each watched call is refused
// with one record; a forked child (which runs the actions after "fork")
// keeps every hook; the program it starts loads the library from the layer
// and refuses its own start (the child's exit 222).
TEST_F(LayerZip, ProtectsACProgramAcrossForkAndExec) {
  scratch_directory task_root(build_scratch_base());
  ASSERT_FALSE(task_root.path.empty());
  const std::string handler = task_root.file("handler.py");
  FILE *file = fopen(handler.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fclose(file);
  const std::string dep = task_root.file("dep.py");
  fclose(fopen(dep.c_str(), "w"));
  const std::string probe = probe_path("intercept_actions");
  const std::string tmp_file = "/tmp/tg-layer-probe-" + std::to_string(getpid());
  const std::string connect = "connect:127.0.0.53:9";  // loopback, but not the Runtime API's address
  RunOptions run;
  run.env = {"PATH=/usr/bin:/bin", "AWS_EXECUTION_ENV=AWS_Lambda_python3.7", "LAMBDA_TASK_ROOT=" + task_root.path,
             "_HANDLER=handler.main", "LD_PRELOAD=" + lib_ + "/libtesselguard.so", "LD_LIBRARY_PATH=" + lib_};
  run.preload = false;
  run.capture_log_fd = true;
  run.argv = {probe,
              "configure:{\"disable_analytics\":true,\"runtime\":\"Python\",\"policy\":{\"read_write_tmp\":\"block\","
              "\"read_handler\":\"block\",\"outbound_connectivity\":\"block\",\"create_child_process\":\"block\"}}",
              // The runtime's load of the handler, then the next code file: the start phase is over.
              "openr:" + handler, "openr:" + dep, "open:" + tmp_file, "openr:" + handler, connect, "fork", "open:" + tmp_file, connect, "exec:" + probe};
  RunResult result = run_process(run);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, {"open:" + tmp_file + " -> errno 222", "openr:" + handler + " -> errno 222",
                                     connect + " -> errno 222", "fork -> child exit 222"}));
  EXPECT_EQ(count_of(result.out, " -> errno 222\n"), 5u) << result.out;
  std::vector<std::string> policies;
  for (const alert_record &record : alert_records(result.log)) policies.push_back(record.policy + " " + record.mode);
  const std::vector<std::string> expected = {
      "read_write_tmp block", "read_handler block",         "outbound_connectivity block",  // the program
      "read_write_tmp block", "outbound_connectivity block", "create_child_process block"};  // its forked child
  EXPECT_EQ(policies, expected) << result.log;
  EXPECT_NE(access(tmp_file.c_str(), F_OK), 0);
}

}  // namespace
