#include "process_runner.hpp"

#include <grp.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

bool has_variable(const std::vector<std::string> &env, const std::string &name) {
  return std::any_of(env.begin(), env.end(),
                     [&](const std::string &e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Removes the state files that a test made, so tests leave /tmp as they found it.
class StateFileCleaner : public ::testing::EmptyTestEventListener {
  std::set<std::string> before_;
  void OnTestStart(const ::testing::TestInfo &) override {
    auto files = list_state_files();
    before_ = std::set<std::string>(files.begin(), files.end());
  }
  void OnTestEnd(const ::testing::TestInfo &) override {
    for (const auto &f : list_state_files())
      if (!before_.count(f)) unlink(f.c_str());
  }
};

struct CleanerRegistration {
  CleanerRegistration() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new StateFileCleaner);
  }
};
const CleanerRegistration cleaner_registration;

}  // namespace

std::string probe_path(const std::string &name) { return std::string(TG_PROBE_DIR) + "/probe_" + name; }
RunResult run_probe(const std::string &name, const std::vector<std::string> &args, std::vector<std::string> env,
                    bool capture_log_fd, const std::string &stdin_text, int timeout_ms) {
  RunOptions options;
  options.argv = {probe_path(name)};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = std::move(env);
  options.capture_log_fd = capture_log_fd;
  options.stdin_text = stdin_text;
  options.timeout_ms = timeout_ms;
  return run_process(options);
}

std::string become_unprivileged_user() {
  const gid_t group = 65534;
  if (setgroups(1, &group) != 0 || setgid(group) != 0 || setuid(65534) != 0)
    return std::string("cannot become user 65534: ") + strerror(errno);
  return "";
}

std::string library_path() { return TG_LIBRARY_PATH; }
std::string compat_dir() { return TG_COMPAT_DIR; }

std::vector<std::string> aws_env(const std::string &execution_env) {
  return {"PATH=/usr/local/bin:/usr/bin:/bin", "AWS_EXECUTION_ENV=" + execution_env};
}

std::vector<std::string> google_env(const std::string &function_name) {
  return {"PATH=/usr/local/bin:/usr/bin:/bin", "X_GOOGLE_FUNCTION_NAME=" + function_name};
}

std::vector<std::string> list_state_files() {
  std::vector<std::string> files;
  DIR *dir = opendir("/tmp");
  if (!dir) return files;
  while (dirent *entry = readdir(dir)) {
    if (strncmp(entry->d_name, "tesselguard_state_", 18) == 0)
      files.push_back(std::string("/tmp/") + entry->d_name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool contains_line(const std::string &text, const std::string &line) {
  auto lines = split_lines(text);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string value_after(const std::string &out, const std::string &key) {
  for (const auto &line : split_lines(out))
    if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
  return "<missing>";
}

long number_after(const std::string &out, const std::string &key) {
  std::string value = value_after(out, key);
  char *end = nullptr;
  long number = strtol(value.c_str(), &end, 10);
  return end && *end == '\0' && !value.empty() ? number : -1;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

::testing::AssertionResult has_lines(const std::string &text, const std::vector<std::string> &lines) {
  std::string missing;
  for (const auto &line : lines)
    if (!contains_line(text, line)) missing += "  " + line + "\n";
  if (missing.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "missing lines:\n" << missing << "in:\n" << text;
}

RunResult run_process(const RunOptions &options) {
  RunResult result;
  std::vector<std::string> env = options.env;
  if (options.preload) {
    // A test that forgot its skip fails here with the reason, not later
    // with a loader's complaint.
    if (!options.argv.empty())
      if (std::string why = library_cannot_load_into(options.argv[0]); !why.empty())
        ADD_FAILURE() << why << ": the test must begin with TG_SKIP_UNLESS_LIBRARY_LOADS_INTO";
    if (!has_variable(env, "LD_PRELOAD")) env.push_back("LD_PRELOAD=" + library_path());
    if (!has_variable(env, "LD_LIBRARY_PATH")) env.push_back("LD_LIBRARY_PATH=" + compat_dir());
  }
  std::vector<char *> argv, envp;
  for (const auto &a : options.argv) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  int in_pipe[2], out_pipe[2], err_pipe[2], log_pipe[2] = {-1, -1};
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC) ||
      (options.capture_log_fd && pipe2(log_pipe, O_CLOEXEC))) {
    result.err = "pipe failed";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (options.capture_log_fd) dup2(log_pipe[1], 999);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.before_exec) {
      const std::string failure = options.before_exec();
      if (!failure.empty()) {
        ssize_t unused = write(2, failure.data(), failure.size());
        (void)unused;
        _exit(125);
      }
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (options.capture_log_fd) close(log_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!options.stdin_text.empty()) {
    ssize_t unused = write(in_pipe[1], options.stdin_text.data(), options.stdin_text.size());
    (void)unused;
  }
  close(in_pipe[1]);

  long long deadline = now_ms() + options.timeout_ms;
  pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {log_pipe[0], POLLIN, 0}};
  int open_count = options.capture_log_fd ? 3 : 2;
  std::string *sinks[3] = {&result.out, &result.err, &result.log};
  char buffer[65536];
  while (open_count > 0) {
    long long left = deadline - now_ms();
    if (left <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    if (poll(fds, 3, static_cast<int>(left)) < 0) continue;
    for (int i = 0; i < 3; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  if (result.timed_out) {
    waitpid(pid, &status, 0);
  } else {
    // Output closed; the process may still be exiting (or hold on with a
    // descendant keeping the pipes); give it until the deadline.
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (now_ms() > deadline) {
        result.timed_out = true;
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(1000);
    }
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string real_path_of(const std::string &path) {
  char *resolved = realpath(path.c_str(), nullptr);
  std::string result = resolved ? resolved : path;
  free(resolved);
  return result;
}

std::string become_unprivileged() {
  if (getuid() != 0) return "";
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
    return std::string("cannot become uid 65534: ") + strerror(errno);
  return "";
}
