#include "stress_support.hpp"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "policy/policy.hpp"
#include "private_tmp.hpp"

bool is_utf8(const std::string &text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : 9;
    if (extra == 9 || (extra == 1 && c < 0xc2) || (extra > 0 && i + extra >= text.size())) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

std::vector<std::string> stress_env() {
  auto env = aws_env("AWS_Lambda_python3.7");
  env.push_back("_HANDLER=index.handler");
  env.push_back("LAMBDA_TASK_ROOT=/var/task");
  return env;
}

bool mount_namespace_available() {
  RunOptions options;
  options.argv = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/true"};
  options.preload = false;
  options.timeout_ms = 10000;
  return run_process(options).exit_code == 0;
}

RunResult run_on_fresh_tmp(const std::string &tmp_options, bool read_only, const std::string &command,
                           std::vector<std::string> env, int timeout_ms) {
  RunOptions options;
  options.argv = {"/bin/sh", "-c", command};
  options.before_exec = [&]() -> std::string {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("private mount namespace: ") + strerror(errno);
    return mount_fresh_tmp(tmp_options, read_only);
  };
  env.push_back("TG_LIBRARY=" + library_path());
  env.push_back("LD_LIBRARY_PATH=" + compat_dir());
  options.env = std::move(env);
  options.preload = false;
  options.timeout_ms = timeout_ms;
  return run_process(options);
}

void PrivateStateTest::SetUp() {
  saved_callback_ = registered_callback;
  saved_lock_ = dns_db_lock;
  registered_callback = policy_callback;
  pthread_rwlock_init(&lock_, nullptr);
  if (!dns_db_lock) dns_db_lock = &lock_;
  ASSERT_EQ(pipe2(log_, O_CLOEXEC), 0);
  saved_999_ = fcntl(ALERT_LOG_FD, F_DUPFD_CLOEXEC, 1000);
  ASSERT_EQ(dup2(log_[1], ALERT_LOG_FD), ALERT_LOG_FD);
  close(log_[1]);
  reader_ = std::thread([this] {
    char buffer[65536];
    for (;;) {
      ssize_t n = read(log_[0], buffer, sizeof buffer);
      if (n <= 0) return;
      log_text_.append(buffer, static_cast<size_t>(n));
    }
  });
}

std::string PrivateStateTest::alert_log() {
  if (!log_closed_) {
    log_closed_ = true;
    if (saved_999_ >= 0) {
      dup2(saved_999_, ALERT_LOG_FD);
      close(saved_999_);
      saved_999_ = -1;
    } else {
      close(ALERT_LOG_FD);
    }
    if (reader_.joinable()) reader_.join();
    close(log_[0]);
  }
  return log_text_;
}

void PrivateStateTest::TearDown() {
  alert_log();
  if (dns_db_lock == &lock_) dns_db_lock = saved_lock_;
  registered_callback = saved_callback_;
}
