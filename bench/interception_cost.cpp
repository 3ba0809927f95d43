// The cost of interception as a process sees it, in one run:
//   - open+close of a file outside /tmp (judged, allowed, no alert),
//   - open+close of a file under /tmp with the rule at alert (judged, an
//     alert record written to descriptor 999, here /dev/null),
//   each timed in a child process with and without the library preloaded;
//   - the wall time of starting /bin/true with and without the library.
//
// Every child inherits one state file made here (all rules allow), as the
// processes of a function do, so no child creates a state file of its own.
//
//   bench_interception_cost [rounds]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.hpp"

namespace {

constexpr int OPEN_ITERATIONS = 20000;
constexpr int START_ITERATIONS = 100;

double now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// Worker side: open+close `path` repeatedly, print nanoseconds per pair.
int run_worker(const char *path, int iterations) {
  double start = now_ns();
  for (int i = 0; i < iterations; ++i) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 1;
    close(fd);
  }
  printf("%.1f\n", (now_ns() - start) / iterations);
  return 0;
}

struct setup {
  std::string self;
  std::string library;
  std::string compat;
  std::string state_path;
  state_record *state = nullptr;
};

std::vector<std::string> child_environment(const setup &s, bool preload) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "AWS_EXECUTION_ENV=AWS_Lambda_python3.7",
                                  "TESSELGUARD_STATE_PATH=" + s.state_path};
  if (preload) {
    env.push_back("LD_PRELOAD=" + s.library);
    env.push_back("LD_LIBRARY_PATH=" + s.compat);
  }
  return env;
}

// Starts argv with env; descriptor 999 goes to /dev/null. Returns the
// child's standard output, or "" on failure.
std::string run(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  std::vector<char *> args, envp;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 999);
    dup2(out[1], 1);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "";
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Median nanoseconds per open+close over `rounds` child runs.
double open_cost(const setup &s, const std::string &path, bool preload, int rounds) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    std::string out = run({s.self, "--worker", path, std::to_string(OPEN_ITERATIONS)}, child_environment(s, preload));
    if (!out.empty()) samples.push_back(atof(out.c_str()));
  }
  return median(samples);
}

// Median wall time of one start of /bin/true, in microseconds.
double start_cost(const setup &s, bool preload, int rounds) {
  std::vector<double> samples;
  const auto env = child_environment(s, preload);
  for (int r = 0; r < rounds; ++r) {
    double start = now_ns();
    for (int i = 0; i < START_ITERATIONS; ++i) run({"/bin/true"}, env);
    samples.push_back((now_ns() - start) / START_ITERATIONS / 1000);
  }
  return median(samples);
}

bool make_state_file(setup &s) {
  char path[] = "/tmp/tesselguard_state_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  s.state_path = path;
  if (ftruncate(fd, sizeof(state_record)) != 0) return false;
  void *map = mmap(nullptr, sizeof(state_record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return false;
  s.state = static_cast<state_record *>(map);
  memset(s.state, 0, sizeof(state_record));
  s.state->provider = PROVIDER_AWS;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--worker") == 0) return run_worker(argv[2], atoi(argv[3]));
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;

  setup s;
  char *self = realpath("/proc/self/exe", nullptr);
  if (!self) return 1;
  s.self = self;
  free(self);
  // <build>/bench/<this program>: the library and the compatibility libssl
  // lie in <build>.
  std::string build = s.self.substr(0, s.self.rfind('/'));
  build = build.substr(0, build.rfind('/'));
  s.library = build + "/libtesselguard.so";
  s.compat = build + "/compat";
  if (access(s.library.c_str(), R_OK) != 0) {
    fprintf(stderr, "library not found at %s\n", s.library.c_str());
    return 1;
  }
  if (!make_state_file(s)) return 1;
  char scratch[] = "/tmp/tg_bench_XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  const std::string tmp_file = std::string(scratch) + "/file";
  close(creat(tmp_file.c_str(), 0600));
  const std::string outside_file = "/etc/passwd";

  printf("interception cost (median of %d rounds)\n", rounds);
  s.state->read_write_tmp = MODE_ALLOW;
  double plain = open_cost(s, outside_file, false, rounds);
  double hooked = open_cost(s, outside_file, true, rounds);
  printf("  open+close outside /tmp, allowed:   %8.0f ns without, %8.0f ns with the library, ratio %.1f\n", plain,
         hooked, plain > 0 ? hooked / plain : 0);

  s.state->read_write_tmp = MODE_ALERT;
  plain = open_cost(s, tmp_file, false, rounds);
  hooked = open_cost(s, tmp_file, true, rounds);
  printf("  open+close under /tmp, alert mode:  %8.0f ns without, %8.0f ns with the library, ratio %.1f\n", plain,
         hooked, plain > 0 ? hooked / plain : 0);

  s.state->read_write_tmp = MODE_ALLOW;
  double start_plain = start_cost(s, false, rounds);
  double start_hooked = start_cost(s, true, rounds);
  printf("  start of /bin/true:                 %8.0f us without, %8.0f us with the library, added %.0f us\n",
         start_plain, start_hooked, start_hooked - start_plain);

  unlink(tmp_file.c_str());
  rmdir(scratch);
  munmap(s.state, sizeof(state_record));
  unlink(s.state_path.c_str());
  return 0;
}
