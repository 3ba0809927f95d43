// The libssl compatibility library opens OpenSSL 3 only when it is
// initialised or a TLS or SHA-256 function is first called, and says why when
// that OpenSSL 3 cannot be used.
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
  RunResult run_probe(const char *mode) const {
    RunOptions run;
    run.argv = {probe_path("libssl_compat"), mode};
    run.env = aws_env();
    run.env.push_back("LD_LIBRARY_PATH=" + dir + ":" + compat_dir());
    run.preload = false;
    return run_process(run);
  }
};

// An OpenSSL 3 that is not there, or lacks an entry point, makes the
// compatibility libssl unusable: SSL_library_init, which TesselGuard calls
// first, answers 0 and says why; a forwarder called without it has nothing
// to forward to and aborts with the same reason.
TEST(LibsslCompat, UnusableOpenSslIsReportedByTheInitialisation) {
  TG_SKIP_IF_SANITIZED();
  StandInOpenSsl stand_in;
  ASSERT_FALSE(stand_in.dir.empty());
  struct row {
    bool shared_object;  // a real shared object that is no OpenSSL, else a text file
    std::string reason;  // the start of the line on standard error
  } const rows[] = {
      {false, "libssl.so.1.0.0: cannot open OpenSSL 3: "},
      {true, "libssl.so.1.0.0: OpenSSL 3 lacks BIO_ctrl\n"},
  };
  for (const row &r : rows) {
    const std::string file = stand_in.dir + "/libssl.so.3";
    if (r.shared_object)
      std::filesystem::copy_file(plain_shared_object(), file,
                                 std::filesystem::copy_options::overwrite_existing);
    else
      std::ofstream(file) << "not a shared object\n";
    RunResult initialised = stand_in.run_probe("init");
    EXPECT_EQ(initialised.exit_code, 0) << initialised.out << initialised.err;
    EXPECT_EQ(initialised.out, "before 0\ninit 0\n");
    EXPECT_EQ(initialised.err.rfind(r.reason, 0), 0u) << initialised.err;
    EXPECT_EQ(count_of(initialised.err, "\n"), 1u) << initialised.err;
    RunResult direct = stand_in.run_probe("direct");
    EXPECT_EQ(direct.signal, SIGABRT) << direct.out << direct.err;
    EXPECT_EQ(direct.err.rfind(r.reason, 0), 0u) << direct.err;
  }
}

}  // namespace
