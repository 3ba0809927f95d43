// The libssl loader, with stand-in libssl files: which candidate is used and
// when it is opened (the first analytics send, never at start), the
// initialisation order, and what an unusable libssl costs: one line on
// standard error and the sends, never the process.
#include <dlfcn.h>

#include "core_test_support.hpp"

namespace {

std::string fixture(const std::string &scenario) { return std::string(TG_CORE_FIXTURE_DIR) + "/" + scenario; }

// Enough calls that a run without any analytics draw is rarer than 1e-6.
constexpr const char *MANY_CALLS = "2000";

// The analytics variant (its endpoint on loopback) has no private folder
// beside it: only the scenario's folder offers a libssl.
std::vector<std::string> with_libssl_dir(const std::string &dir, std::vector<std::string> env) {
  env.push_back("LD_LIBRARY_PATH=" + dir);
  env.push_back(std::string("LD_PRELOAD=") + TG_ANALYTICS_VARIANT_PATH);
  return env;
}

// `calls` configuration calls, the first with `config`; with analytics on,
// some draw a send. Ends with a connection to 127.0.0.2:9, reported on
// standard error ("connect -1 errno 222" when outbound connections are
// blocked).
RunResult run_configuring(const std::string &dir, const std::string &config) {
  return run_probe("analytics_configure", {MANY_CALLS, config, "127.0.0.2", "9"},
                   with_libssl_dir(dir, aws_env()), true);
}

// Standard error without the probe's own lines: what the library printed.
std::string library_err(const RunResult &r) {
  std::string text;
  for (const auto &line : split_lines(r.err))
    if (line.rfind("cookie ", 0) != 0 && line.rfind("connect ", 0) != 0) text += line + "\n";
  return text;
}

bool libssl_installed() {
  for (const char *name : {"libssl.so.10", "libssl.so.1.0.0", "libssl.so.1.0.2"}) {
    if (void *handle = dlopen(name, RTLD_LAZY)) {
      dlclose(handle);
      return true;
    }
  }
  return false;
}

TEST(LibsslLoader, FirstCandidateThatOpensIsUsedFromTheFirstSendOn) {
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
    // A process that never sends never opens it.
    RunResult quiet = run_state_probe(with_libssl_dir(fixture(row.scenario), aws_env()), {"say", "reached-main"});
    EXPECT_EQ(quiet.exit_code, 0) << row.scenario << ": " << quiet.err;
    EXPECT_EQ(quiet.err, "") << row.scenario;
    EXPECT_EQ(quiet.out, "reached-main\n");
    // Neither does one where analytics is off.
    RunResult off = run_configuring(fixture(row.scenario), R"({"disable_analytics":true})");
    EXPECT_EQ(off.exit_code, 0) << row.scenario;
    EXPECT_EQ(library_err(off), "") << row.scenario;
    // Opened once, by the first send; every send then runs on it (the
    // stand-in has no TLS method, which the client reports).
    RunResult sending = run_configuring(fixture(row.scenario), "{}");
    EXPECT_EQ(sending.exit_code, 0) << row.scenario << ": " << sending.err;
    const std::string name = row.chosen;
    EXPECT_EQ(library_err(sending), name + ": SSL_load_error_strings\n" + name + ": SSL_library_init\n")
        << row.scenario;
    EXPECT_TRUE(contains_line(sending.log, "cannot create SSL method")) << row.scenario << ": " << sending.log;
  }
}

// A libssl that cannot be used says so once, at the first send; no send
// goes out, and the process stays protected and ends normally.
TEST(LibsslLoader, UnusableLibsslIsReportedOnceAndCostsOnlyTheSends) {
  TG_SKIP_IF_SANITIZED();
  struct row {
    const char *scenario;
    const char *line;
  } const rows[] = {
      // Lacks SHA256_Init and SSLv23_method; a complete libssl.so.1.0.0 beside
      // it is not tried, since the first file that opens is the one used.
      {"missing_two", "Cannot get required symbol SHA256_Init from libssl"},
      {"missing_first", "Cannot get required symbol BIO_ctrl from libssl"},
      {"missing_last", "Cannot get required symbol SSLv23_method from libssl"},
      // No libssl anywhere.
      {"none", "No usable version of the libssl was found"},
  };
  for (const auto &row : rows) {
    if (std::string(row.scenario) == "none" && libssl_installed()) continue;
    RunResult r = run_configuring(fixture(row.scenario), R"({"policy":{"outbound_connectivity":"block"}})");
    EXPECT_EQ(r.exit_code, 0) << row.scenario << ": " << r.err;
    EXPECT_EQ(library_err(r), std::string(row.line) + "\n") << row.scenario;
    EXPECT_TRUE(contains_line(r.err, "connect -1 errno 222")) << row.scenario << ": " << r.err;
    EXPECT_EQ(r.log.find("cannot create SSL method"), std::string::npos) << row.scenario << ": " << r.log;
  }
}

}  // namespace
