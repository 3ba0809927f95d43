// The libssl loader at start-up, with stand-in libssl files: which candidate
// is used, the initialisation order, and the aborts when libssl is unusable.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>

#include "core_test_support.hpp"

namespace {

std::string fixture(const std::string &scenario) { return std::string(TG_CORE_FIXTURE_DIR) + "/" + scenario; }

// An aborted process must not leave a core file behind.
class NoCoreFiles {
 public:
  NoCoreFiles() {
    getrlimit(RLIMIT_CORE, &saved_);
    rlimit none = saved_;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &none);
  }
  ~NoCoreFiles() { setrlimit(RLIMIT_CORE, &saved_); }

 private:
  rlimit saved_{};
};

// The library finds its own libssl compatibility library beside it: a copy
// without it sees only the scenario's files.
RunResult run_with_libssl_dir(const std::string &dir, std::vector<std::string> env) {
  env.push_back("LD_LIBRARY_PATH=" + dir);
  env.push_back("LD_PRELOAD=" + fixture("library_alone") + "/libtesselguard.so");
  return run_state_probe(std::move(env), {"say", "reached-main"});
}

TEST(LibsslLoader, FirstCandidateThatOpensIsUsedAndInitialised) {
  TG_SKIP_IF_SANITIZED();
  struct row {
    const char *scenario;
    const char *chosen;
  } const rows[] = {
      {"all_three", "libssl.so.10"},
      {"second_third", "libssl.so.1.0.0"},
      {"third_only", "libssl.so.1.0.2"},
  };
  for (const auto &row : rows) {
    RunResult r = run_with_libssl_dir(fixture(row.scenario), aws_env());
    EXPECT_EQ(r.exit_code, 0) << row.scenario << ": " << r.err;
    std::string name = row.chosen;
    EXPECT_EQ(r.err, name + ": SSL_load_error_strings\n" + name + ": SSL_library_init\n") << row.scenario;
    EXPECT_EQ(r.out, "reached-main\n");
  }
}

TEST(LibsslLoader, MissingEntryPointAbortsNamingTheFirstInTableOrder) {
  TG_SKIP_IF_SANITIZED();
  NoCoreFiles no_core;
  struct row {
    const char *scenario;
    const char *missing;
  } const rows[] = {
      // Lacks SHA256_Init and SSLv23_method; a complete libssl.so.1.0.0 beside
      // it is not tried, since the first file that opens is the one used.
      {"missing_two", "SHA256_Init"},
      {"missing_first", "BIO_ctrl"},
      {"missing_last", "SSLv23_method"},
  };
  for (const auto &row : rows) {
    // Loading comes before the platform check: an unsupported platform
    // reports the libssl problem too.
    for (const auto &env : {aws_env(), std::vector<std::string>{"PATH=/usr/bin:/bin"}}) {
      auto [r, created] = run_counting_state_files(0, [&] { return run_with_libssl_dir(fixture(row.scenario), env); });
      EXPECT_EQ(r.signal, SIGABRT) << row.scenario;
      EXPECT_EQ(r.err, std::string("Cannot get required symbol ") + row.missing + " from libssl\n");
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(created.empty());
    }
  }
}

TEST(LibsslLoader, NoCandidateAbortsTheProcess) {
  TG_SKIP_IF_SANITIZED();
  for (const char *name : {"libssl.so.10", "libssl.so.1.0.0", "libssl.so.1.0.2"}) {
    if (void *handle = dlopen(name, RTLD_LAZY)) {
      dlclose(handle);
      GTEST_SKIP() << name << " is installed on this system";
    }
  }
  NoCoreFiles no_core;
  auto [r, created] = run_counting_state_files(0, [] { return run_with_libssl_dir(fixture("none"), aws_env()); });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.err, "No usable version of the libssl was found\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(created.empty());
}

TEST(LibsslLoader, CompatibilityLibraryServesEveryEntryPoint) {
  TG_SKIP_IF_SANITIZED();
  RunResult r = run_with_libssl_dir(compat_dir(), google_env());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "reached-main\n");
}

}  // namespace
