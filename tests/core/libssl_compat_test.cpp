// The libssl compatibility library opens OpenSSL 3 only when a TLS or
// SHA-256 function is first called: start-up, which opens it and asks for its
// initialisation in every protected process, maps none of OpenSSL 3.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "process_runner.hpp"

namespace {

constexpr const char *SHA256_OF_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(LibsslCompat, OpensOpenSslOnlyAtTheFirstCallAndForwardsToIt) {
  TG_SKIP_IF_SANITIZED();
  for (bool preload : {true, false}) {
    RunOptions run;
    run.argv = {probe_path("libssl_compat")};
    run.env = aws_env();
    run.preload = preload;
    if (!preload) run.env.push_back("LD_LIBRARY_PATH=" + compat_dir());
    RunResult result = run_process(run);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, std::string("before 0\ndigest ") + SHA256_OF_ABC + "\nafter 1\n") << "preload " << preload;
  }
}

// A folder put first on the loader's path, holding a stand-in libssl.so.3;
// removed with its contents. Aborted probes leave no core file.
struct StandInOpenSsl {
  std::string dir;
  rlimit saved_core{};
  StandInOpenSsl() {
    char name[] = "/tmp/tesselguard-openssl-XXXXXX";
    if (mkdtemp(name)) dir = name;
    getrlimit(RLIMIT_CORE, &saved_core);
    rlimit none = saved_core;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &none);
  }
  ~StandInOpenSsl() {
    setrlimit(RLIMIT_CORE, &saved_core);
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
  RunResult run_probe() const {
    RunOptions run;
    run.argv = {probe_path("libssl_compat")};
    run.env = aws_env();
    run.env.push_back("LD_LIBRARY_PATH=" + dir + ":" + compat_dir());
    run.preload = false;
    return run_process(run);
  }
};

// An OpenSSL 3 that is not there, or lacks an entry point, makes the
// compatibility libssl unusable at its first call: the process is aborted
// with the reason, as TesselGuard's own loader does at start-up.
TEST(LibsslCompat, UnusableOpenSslAbortsAtTheFirstCall) {
  TG_SKIP_IF_SANITIZED();
  StandInOpenSsl stand_in;
  ASSERT_FALSE(stand_in.dir.empty());
  {
    std::ofstream(stand_in.dir + "/libssl.so.3") << "not a shared object\n";
    RunResult result = stand_in.run_probe();
    EXPECT_EQ(result.signal, SIGABRT) << result.out << result.err;
    EXPECT_EQ(result.out, "before 0\n");
    EXPECT_EQ(result.err.rfind("libssl.so.1.0.0: cannot open OpenSSL 3: ", 0), 0u) << result.err;
  }
  {
    // A real shared object that is no OpenSSL.
    std::filesystem::copy_file("/lib/x86_64-linux-gnu/libcjson.so.1", stand_in.dir + "/libssl.so.3",
                               std::filesystem::copy_options::overwrite_existing);
    RunResult result = stand_in.run_probe();
    EXPECT_EQ(result.signal, SIGABRT) << result.out << result.err;
    EXPECT_EQ(result.err, "libssl.so.1.0.0: OpenSSL 3 lacks BIO_ctrl\n");
  }
}

}  // namespace
