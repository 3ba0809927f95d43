// The libssl compatibility library opens OpenSSL 3 only when a TLS or
// SHA-256 function is first called: start-up, which opens it and asks for its
// initialisation in every protected process, maps none of OpenSSL 3.
#include <gtest/gtest.h>

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

}  // namespace
