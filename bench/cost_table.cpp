// What the library costs a function: every watched call and every process
// start, each measured in the same run with and without the library, as a
// ratio. Prints one Markdown table (bench/RESULTS.md keeps them).
//
// Times are medians over repeated runs that alternate between the two sides,
// so that a busy machine slows both alike. Instruction counts come from
// callgrind (valgrind) when it is installed: for a call, only the
// instructions inside the worker's loop, divided by its iterations; for a
// process start, the whole process. The allocation column counts calls of
// malloc, calloc and realloc inside the loop, per call.
//
// Every child inherits one state file made here (provider AWS, runtime
// Python 3.7, rules as each row needs), with the identity and the empty
// libssl choice that a first process passes on, as the processes of a
// function do;
// only the configuration row starts first processes, which make and remove
// their own state file.
//
//   bench_cost_table [--rounds N] [--no-callgrind] [--no-memory] [--only TEXT]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/core.hpp"

namespace {

struct setup {
  std::string bench_dir, library, state_path;
  // What a function's first process passes on with the state file's path.
  std::string state_id;
  state_record *state = nullptr;
  int rounds = 7;
  bool callgrind = true;
  bool memory = true;
  const char *only = nullptr;  // --only TEXT: the rows whose label holds TEXT, nothing else
};

struct child_result {
  bool ok = false;
  std::string out;
  double wall_us = 0;
};

double now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

enum class loading { none, preload, dlopen };

// The worker loads the library itself with `dlopen` when it runs under
// valgrind (see bench/cost_worker.cpp).
std::vector<std::string> environment(const setup &s, loading how, bool first_process) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=/tmp", "AWS_EXECUTION_ENV=AWS_Lambda_python3.7"};
  if (!first_process) {
    env.push_back("TESSELGUARD_STATE_PATH=" + s.state_path);
    env.push_back("TESSELGUARD_STATE_ID=" + s.state_id);
    env.push_back("TESSELGUARD_LIBSSL_PATH=");
  }
  if (how == loading::preload) env.push_back("LD_PRELOAD=" + s.library);
  if (how == loading::dlopen) env.push_back("TG_BENCH_DLOPEN=" + s.library);
  return env;
}

std::vector<std::string> environment(const setup &s, bool preload, bool first_process) {
  return environment(s, preload ? loading::preload : loading::none, first_process);
}

// Runs argv with exactly env; descriptor 999 (the alert log) and standard
// error go to /dev/null, standard output is collected.
child_result run(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  std::vector<char *> args, envp;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return {};
  const double start = now_us();
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 999);
    dup2(null_fd, 2);
    dup2(out[1], 1);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  child_result result;
  char buffer[512];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.wall_us = now_us() - start;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

// The value at `share` (0.5: the median) of the sorted values.
double quantile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5)];
}

double median(std::vector<double> values) { return quantile(std::move(values), 0.5); }

// ---- callgrind -------------------------------------------------------------

struct count {
  double instructions = -1;  // -1: not measured
  double allocations = -1;
};

// Totals and allocation calls from a callgrind output file. Names are
// compressed: "fn=(7) malloc" the first time, "cfn=(7)" afterwards.
count read_callgrind(const std::string &file) {
  count result;
  FILE *in = fopen(file.c_str(), "r");
  if (!in) return result;
  std::map<std::string, std::string> names;
  std::string callee;
  double allocations = 0;
  char line[4096];
  while (fgets(line, sizeof line, in)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.rfind("totals:", 0) == 0 || text.rfind("summary:", 0) == 0) {
      result.instructions = atof(text.c_str() + text.find(':') + 1);
    } else if (text.rfind("fn=", 0) == 0 || text.rfind("cfn=", 0) == 0) {
      std::string name = text.substr(text.find('=') + 1);
      if (name.rfind("(", 0) == 0) {
        const size_t close_paren = name.find(')');
        const std::string id = name.substr(0, close_paren + 1);
        if (close_paren + 1 < name.size()) names[id] = name.substr(close_paren + 2);
        name = names[id];
      }
      if (text[0] == 'c') callee = name;
    } else if (text.rfind("calls=", 0) == 0) {
      if (callee == "malloc" || callee == "calloc" || callee == "realloc") allocations += atof(text.c_str() + 6);
    }
  }
  fclose(in);
  result.allocations = allocations;
  return result;
}

count callgrind(const setup &s, std::vector<std::string> argv, const std::vector<std::string> &env, bool loop_only) {
  char file[] = "/tmp/tg_bench_callgrind_XXXXXX";
  int fd = mkstemp(file);
  if (fd < 0) return {};
  close(fd);
  // A bound on each run: a runtime that misbehaves under valgrind gives n/a.
  std::vector<std::string> command = {"/usr/bin/timeout", "600", "/usr/bin/valgrind", "--tool=callgrind",
                                      "--smc-check=all", std::string("--callgrind-out-file=") + file};
  if (loop_only) command.push_back("--toggle-collect=tg_bench_loop");
  command.insert(command.end(), argv.begin(), argv.end());
  count result;
  if (run(command, env).ok) result = read_callgrind(file);
  unlink(file);
  (void)s;
  return result;
}

// ---- rows ------------------------------------------------------------------

struct measured {
  double without = 0, with = 0;
  // Process starts: the added time at the first and third quartiles of the
  // rounds (each round one start a side, back to back).
  double added_low = 0, added_high = 0;
  count cg_without, cg_with;
};

std::string format_ratio(double with, double without) {
  if (with < 0 || without <= 0) return "n/a";
  char text[32];
  snprintf(text, sizeof text, "%.2fx", with / without);
  return text;
}

std::string format_number(double value, const char *unit) {
  if (value < 0) return "n/a";
  char text[48];
  if (value >= 1e6)
    snprintf(text, sizeof text, "%.2fM%s", value / 1e6, unit);
  else if (value >= 1e4)
    snprintf(text, sizeof text, "%.0fk%s", value / 1e3, unit);
  else
    snprintf(text, sizeof text, "%.0f%s", value, unit);
  return text;
}

struct call_row {
  const char *label;
  const char *kind;
  long iterations;
  long callgrind_iterations;
  std::string path;
  int32_t tmp_mode;
  bool first_process;
};

measured measure_call(const setup &s, const call_row &row) {
  s.state->read_write_tmp = row.tmp_mode;
  const std::string worker = s.bench_dir + "/bench_cost_worker";
  measured m;
  std::vector<double> without, with;
  for (int r = 0; r < s.rounds; ++r) {
    for (bool preload : {false, true}) {
      child_result c = run({worker, row.kind, std::to_string(row.iterations), row.path},
                           environment(s, preload, row.first_process));
      if (c.ok) (preload ? with : without).push_back(atof(c.out.c_str()));
    }
  }
  m.without = median(without);
  m.with = median(with);
  if (s.callgrind) {
    for (bool preload : {false, true}) {
      count c = callgrind(s, {worker, row.kind, std::to_string(row.callgrind_iterations), row.path},
                          environment(s, preload ? loading::dlopen : loading::none, row.first_process), true);
      if (c.instructions >= 0) {
        c.instructions /= static_cast<double>(row.callgrind_iterations);
        c.allocations /= static_cast<double>(row.callgrind_iterations);
      }
      (preload ? m.cg_with : m.cg_without) = c;
    }
  }
  s.state->read_write_tmp = MODE_ALLOW;
  return m;
}

void print_call(const call_row &row, const measured &m) {
  auto allocations = [](double value) {
    if (value < 0) return std::string("n/a");
    char text[16];
    snprintf(text, sizeof text, "%.1f", value);
    return std::string(text);
  };
  printf("| %s | %.2f us | %.2f us | %s | %s | %s | %s | %s / %s |\n", row.label, m.without / 1000, m.with / 1000,
         format_ratio(m.with, m.without).c_str(), format_number(m.cg_without.instructions, "").c_str(),
         format_number(m.cg_with.instructions, "").c_str(),
         format_ratio(m.cg_with.instructions, m.cg_without.instructions).c_str(),
         allocations(m.cg_without.allocations).c_str(), allocations(m.cg_with.allocations).c_str());
}

struct start_row {
  const char *label;
  std::vector<std::string> argv;
  int runs;
};

measured measure_start(const setup &s, const start_row &row) {
  measured m;
  if (access(row.argv[0].c_str(), X_OK) != 0) return m;
  std::vector<double> without, with, added;
  for (int r = 0; r < row.runs; ++r) {
    double times[2] = {-1, -1};
    for (bool preload : {false, true}) {
      child_result c = run(row.argv, environment(s, preload, false));
      if (c.ok) (preload ? with : without).push_back(times[preload] = c.wall_us);
    }
    if (times[0] >= 0 && times[1] >= 0) added.push_back(times[1] - times[0]);
  }
  m.without = median(without);
  m.with = median(with);
  m.added_low = quantile(added, 0.25);
  m.added_high = quantile(added, 0.75);
  if (s.callgrind) {
    m.cg_without = callgrind(s, row.argv, environment(s, false, false), false);
    m.cg_with = callgrind(s, row.argv, environment(s, true, false), false);
  }
  return m;
}

// Process starts also show what the library adds, in time and in
// instructions (exact, to compare with the start-up budget).
void print_start(const start_row &row, const measured &m) {
  char added[48] = "";
  if (m.cg_with.instructions >= 0 && m.cg_without.instructions >= 0)
    snprintf(added, sizeof added, " (+%.0f)", m.cg_with.instructions - m.cg_without.instructions);
  printf("| start of `%s` | %.0f us | %.0f us | %s (+%.0f us; quartiles %+.0f, %+.0f) | %s | %s | %s%s | |\n", row.label,
         m.without, m.with, format_ratio(m.with, m.without).c_str(), m.with - m.without, m.added_low, m.added_high,
         format_number(m.cg_without.instructions, "").c_str(), format_number(m.cg_with.instructions, "").c_str(),
         format_ratio(m.cg_with.instructions, m.cg_without.instructions).c_str(), added);
}

// Connections made by Node.js itself (its network code is linked into the
// node executable), timed inside node: what a Node.js function pays per
// outbound connection.
constexpr const char NODE_CONNECT_SCRIPT[] = R"JS(
const net = require('net');
const server = net.createServer(s => s.destroy());
server.listen(0, '127.0.0.1', async () => {
  const port = server.address().port;
  const once = () => new Promise(r => { const c = net.connect(port, '127.0.0.1', () => { c.destroy(); r(); }); c.on('error', r); });
  for (let i = 0; i < 20; i++) await once();
  const n = 300, t = process.hrtime.bigint();
  for (let i = 0; i < n; i++) await once();
  console.log(Number(process.hrtime.bigint() - t) / n);
  server.close();
});
)JS";

void print_node_connect(const setup &s) {
  const std::string node = "/usr/bin/node";
  if (access(node.c_str(), X_OK) != 0) return;
  std::vector<double> without, with;
  for (int r = 0; r < s.rounds; ++r) {
    for (bool preload : {false, true}) {
      child_result c = run({node, "-e", NODE_CONNECT_SCRIPT}, environment(s, preload, false));
      if (c.ok) (preload ? with : without).push_back(atof(c.out.c_str()));
    }
  }
  const double a = median(without), b = median(with);
  printf("| `connect` from Node.js (`net.connect` to a loopback listener) | %.1f us | %.1f us | %s | | | | |\n",
         a / 1000, b / 1000, format_ratio(b, a).c_str());
}

bool make_state_file(setup &s) {
  char path[] = "/tmp/tesselguard_state_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  s.state_path = path;
  bool ok = ftruncate(fd, sizeof(state_record)) == 0;
  struct stat info;
  ok = ok && fstat(fd, &info) == 0;
  if (ok) s.state_id = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(getpid());
  void *map = ok ? mmap(nullptr, sizeof(state_record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
  close(fd);
  if (map == MAP_FAILED) return false;
  s.state = static_cast<state_record *>(map);
  memset(s.state, 0, sizeof(state_record));
  s.state->provider = PROVIDER_AWS;
  strcpy(s.state->runtime, "Python");
  strcpy(s.state->runtime_version, "3.7");
  s.state->disable_analytics = 1;
  return true;
}

void print_machine(const setup &s) {
  std::string cpu = "unknown CPU";
  if (FILE *info = fopen("/proc/cpuinfo", "r")) {
    char line[512];
    while (fgets(line, sizeof line, info)) {
      if (strncmp(line, "model name", 10) == 0) {
        cpu = strchr(line, ':') + 2;
        cpu.pop_back();
        break;
      }
    }
    fclose(info);
  }
  utsname name{};
  uname(&name);
  char date[64];
  time_t t = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&t));
  printf("%s; %s, %ld cores; Linux %s; %d rounds\n\n", date, cpu.c_str(), sysconf(_SC_NPROCESSORS_ONLN), name.release,
         s.rounds);
}

}  // namespace

int main(int argc, char **argv) {
  setup s;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) s.rounds = std::max(1, atoi(argv[++i]));
    else if (strcmp(argv[i], "--no-callgrind") == 0) s.callgrind = false;
    else if (strcmp(argv[i], "--no-memory") == 0) s.memory = false;
    else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) s.only = argv[++i];
    else {
      // Anything else (--help too) runs nothing: a mistyped option must not cost a whole run.
      const bool help = strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0;
      if (!help) fprintf(stderr, "unknown option: %s\n", argv[i]);
      fprintf(help ? stdout : stderr, "usage: bench/run.sh [--rounds N] [--no-callgrind] [--no-memory] [--only TEXT]\n");
      return help ? 0 : 2;
    }
  }
  if (access("/usr/bin/valgrind", X_OK) != 0) s.callgrind = false;
  char *self = realpath("/proc/self/exe", nullptr);
  if (!self) return 1;
  // <build>/bench/<this program>: the library lies in <build> and finds what
  // it loads itself (its RUNPATH).
  s.bench_dir = std::string(self).substr(0, std::string(self).rfind('/'));
  free(self);
  const std::string build = s.bench_dir.substr(0, s.bench_dir.rfind('/'));
  s.library = build + "/libtesselguard.so";
  if (access(s.library.c_str(), R_OK) != 0) {
    fprintf(stderr, "library not found at %s\n", s.library.c_str());
    return 1;
  }
  if (!make_state_file(s)) return 1;
  char scratch[] = "/tmp/tg_bench_XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  const std::string tmp_file = std::string(scratch) + "/file";
  close(creat(tmp_file.c_str(), 0600));

  print_machine(s);
  printf("| work | without | with | ratio | instructions without | with | ratio | allocations per call, without / with |\n");
  printf("|---|---|---|---|---|---|---|---|\n");
  fflush(stdout);
  const call_row calls[] = {
      {"`open`+`close` outside /tmp", "open", 20000, 2000, "/etc/passwd", MODE_ALLOW, false},
      {"`open`+`close` under /tmp, allow", "open", 20000, 2000, tmp_file, MODE_ALLOW, false},
      {"`open`+`close` under /tmp, alert (to /dev/null)", "open", 20000, 2000, tmp_file, MODE_ALERT, false},
      {"`fopen`+`fclose` outside /tmp", "fopen", 20000, 2000, "/etc/passwd", MODE_ALLOW, false},
      {"`connect` to a loopback listener, allow", "connect", 3000, 300, "", MODE_ALLOW, false},
      {"`getaddrinfo(\"localhost\")`", "getaddrinfo", 3000, 300, "", MODE_ALLOW, false},
      {"`tesselguard_configure`, no analytics (without: parse only)", "configure", 20000, 2000, "", MODE_ALLOW, true},
  };
  for (const call_row &row : calls) {
    if (s.only && !strstr(row.label, s.only)) continue;
    print_call(row, measure_call(s, row));
    fflush(stdout);
  }
  const start_row starts[] = {
      {"/bin/true", {"/bin/true"}, 40 * s.rounds},
      {"python3 -c pass", {"/usr/bin/python3", "-c", "pass"}, 6 * s.rounds},
      {"node -e 0", {"/usr/bin/node", "-e", "0"}, 3 * s.rounds},
  };
  for (const start_row &row : starts) {
    if (s.only && !strstr((std::string("start of ") + row.label).c_str(), s.only)) continue;
    print_start(row, measure_start(s, row));
    fflush(stdout);
  }
  if (!s.only) print_node_connect(s);

  if (s.memory && !s.only) {
    // Ten million judged calls: resident memory after the first million and at the end.
    child_result c = run({s.bench_dir + "/bench_cost_worker", "rss", "10000000", tmp_file}, environment(s, true, false));
    double ns = 0;
    long early = 0, late = 0;
    if (c.ok && sscanf(c.out.c_str(), "%lf %ld %ld", &ns, &early, &late) == 3)
      printf("\nMemory over 10,000,000 judged open+close under /tmp: resident %ld KiB after 1,000,000 calls, %ld KiB "
             "at the end (%+ld KiB).\n",
             early, late, late - early);
    else
      printf("\nMemory check failed.\n");
  }

  unlink(tmp_file.c_str());
  rmdir(scratch);
  munmap(s.state, sizeof(state_record));
  unlink(s.state_path.c_str());
  return 0;
}
