// The measured side of bench/cost_table.cpp: one kind of call, repeated,
// in a process that the table starts with or without the library preloaded.
// Prints the nanoseconds per call on standard output.
//
//   bench_cost_worker <kind> <iterations> [path]
//
// Kinds: open (open+close of path), fopen (fopen+fclose of path), connect
// (a loopback connection to a listener of this process, accepted and
// closed), getaddrinfo (of "localhost"), configure (tesselguard_configure
// with the right cookie and analytics off; without the library, the same
// document parsed and freed), rss (open+close of path, printing the
// resident memory after the first tenth of the calls and at the end).
//
// The loop is one function, tg_bench_loop, so that callgrind can count the
// instructions inside it alone (--toggle-collect=tg_bench_loop).
#include "resident_memory.hpp"
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using configure_function = int (*)(const char *);

struct context {
  const char *path = nullptr;
  int listener = -1;
  sockaddr_in listener_address{};
  configure_function configure = nullptr;
  std::string document;
};

double now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}


bool one_open(const context &c) {
  int fd = open(c.path, O_RDONLY);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool one_fopen(const context &c) {
  FILE *file = fopen(c.path, "r");
  if (!file) return false;
  fclose(file);
  return true;
}

bool one_connect(const context &c) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&c.listener_address), sizeof c.listener_address) == 0;
  if (ok) {
    int accepted = accept(c.listener, nullptr, nullptr);
    ok = accepted >= 0;
    if (ok) close(accepted);
  }
  close(fd);
  return ok;
}

bool one_getaddrinfo(const context &) {
  addrinfo *result = nullptr;
  if (getaddrinfo("localhost", nullptr, nullptr, &result) != 0) return false;
  freeaddrinfo(result);
  return true;
}

bool one_configure(const context &c) {
  if (c.configure) return c.configure(c.document.c_str()) != 0;
  cJSON *parsed = cJSON_Parse(c.document.c_str());
  cJSON_Delete(parsed);
  return parsed != nullptr;
}

using step_function = bool (*)(const context &);

}  // namespace

// Not inlined and not static: callgrind counts from its entry to its return.
extern "C" __attribute__((noinline)) bool tg_bench_loop(step_function step, const context &c, long iterations) {
  for (long i = 0; i < iterations; ++i)
    if (!step(c)) return false;
  return true;
}

namespace {

bool set_up_listener(context &c) {
  c.listener = socket(AF_INET, SOCK_STREAM, 0);
  if (c.listener < 0) return false;
  c.listener_address.sin_family = AF_INET;
  c.listener_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  c.listener_address.sin_port = 0;
  socklen_t length = sizeof c.listener_address;
  return bind(c.listener, reinterpret_cast<sockaddr *>(&c.listener_address), length) == 0 &&
         listen(c.listener, 16) == 0 &&
         getsockname(c.listener, reinterpret_cast<sockaddr *>(&c.listener_address), &length) == 0;
}

// With the library: the first call takes the cookie and switches analytics
// off; every measured call then presents the cookie.
bool set_up_configure(context &c) {
  c.configure = reinterpret_cast<configure_function>(dlsym(RTLD_DEFAULT, "tesselguard_configure"));
  int cookie = 0;
  if (c.configure) {
    cookie = c.configure(R"({"disable_analytics":true})");
    if (cookie == 0) return false;
  }
  c.document = "{\"cookie\":" + std::to_string(cookie) +
               R"(,"policy":{"read_write_tmp":"allow","outbound_connectivity":"allow"},"disable_analytics":true})";
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // Under valgrind the library is loaded here rather than preloaded: a
  // preload would also start in the valgrind launcher, which would make the
  // state file and leave the measured process an inheriting one.
  if (const char *library = getenv("TG_BENCH_DLOPEN")) {
    if (!dlopen(library, RTLD_NOW | RTLD_GLOBAL)) {
      fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
  }
  if (argc < 3) {
    fprintf(stderr, "usage: %s <kind> <iterations> [path]\n", argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  const long iterations = atol(argv[2]);
  context c;
  c.path = argc > 3 ? argv[3] : "/etc/passwd";
  step_function step = nullptr;
  if (kind == "open" || kind == "rss") {
    step = one_open;
  } else if (kind == "fopen") {
    step = one_fopen;
  } else if (kind == "connect") {
    if (!set_up_listener(c)) return 1;
    step = one_connect;
  } else if (kind == "getaddrinfo") {
    step = one_getaddrinfo;
  } else if (kind == "configure") {
    if (!set_up_configure(c)) return 1;
    step = one_configure;
  } else {
    fprintf(stderr, "unknown kind %s\n", kind.c_str());
    return 2;
  }

  bool ok;
  double elapsed;
  if (kind == "rss") {
    // Warm up first, so that the C library's own buffers are in place.
    const long tenth = iterations / 10;
    ok = tg_bench_loop(step, c, tenth);
    const long early = resident_kib();
    const double start = now_ns();
    ok = ok && tg_bench_loop(step, c, iterations - tenth);
    elapsed = now_ns() - start;
    printf("%.1f %ld %ld\n", elapsed / static_cast<double>(iterations - tenth), early, resident_kib());
  } else {
    const double start = now_ns();
    ok = tg_bench_loop(step, c, iterations);
    elapsed = now_ns() - start;
    printf("%.1f\n", elapsed / static_cast<double>(iterations));
  }
  // A configuring worker made its own state file: leave nothing in /tmp.
  if (kind == "configure" && c.configure)
    if (const char *state = getenv("TESSELGUARD_STATE_PATH")) unlink(state);
  return ok ? 0 : 1;
}
