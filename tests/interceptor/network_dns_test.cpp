// Name resolution that really sends DNS, under an outbound block.
//
// The C library's resolver connects a UDP socket to the name server from
// inside libc itself, where neither caller test of hooked_connect matches;
// it must still not be judged, or no name could ever be resolved and the
// host-name exemptions (the Google supervisor) could never apply.
//
// A forked child enters its own mount and network namespaces, brings up its
// loopback, bind-mounts a private resolv.conf naming 127.0.0.1, runs a tiny
// name server there and starts the probe; it reports back through a pipe.
#include "alert_records.hpp"
#include "forked_child.hpp"
#include "network_servers.hpp"
#include "interceptor_test_support.hpp"
#include "process_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

namespace {

using report = std::map<std::string, std::string>;

void put(int fd, const std::string &key, const std::string &value) {
  std::string record = key + "\n" + std::to_string(value.size()) + "\n" + value;
  for (size_t done = 0; done < record.size();) {
    ssize_t n = write(fd, record.data() + done, record.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

report parse_report(const std::string &text) {
  report values;
  size_t at = 0;
  while (at < text.size()) {
    size_t key_end = text.find('\n', at);
    size_t size_end = key_end == std::string::npos ? key_end : text.find('\n', key_end + 1);
    if (size_end == std::string::npos) break;
    std::string key = text.substr(at, key_end - at);
    size_t size = std::stoul(text.substr(key_end + 1, size_end - key_end - 1));
    values[key] = text.substr(size_end + 1, size);
    at = size_end + 1 + size;
  }
  return values;
}

std::string setup_namespaces(const std::string &name_server = "127.0.0.1") {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return std::string("unshare: ") + strerror(errno);
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("private mounts: ") + strerror(errno);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  strcpy(request.ifr_name, "lo");
  bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
            (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  std::string failure = up ? "" : std::string("loopback up: ") + strerror(errno);
  if (fd >= 0) close(fd);
  if (!up) return failure;

  // The bind mount keeps the file alive; its name is gone at once.
  char path[] = "/tmp/tg-resolv-XXXXXX";
  int file = mkstemp(path);
  if (file < 0) return std::string("mkstemp: ") + strerror(errno);
  const std::string text = "nameserver " + name_server + "\noptions timeout:2 attempts:2\n";
  bool written = write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(file);
  bool mounted = written && mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
  failure = mounted ? "" : std::string("bind resolv.conf: ") + strerror(errno);
  unlink(path);
  return failure;
}

// Runs in the forked child; writes its findings to `out`.
void run_in_namespace(int out, const std::vector<std::string> &actions_template) {
  std::string failure = setup_namespaces();
  if (!failure.empty()) {
    put(out, "skip", failure);
    return;
  }
  std::string error;
  auto names = start_name_server("127.0.0.1", 53,
                                 {{"service.tg-test", {"127.0.0.2"}},
                                  {"supervisor.tg-test", {"127.0.0.1"}},
                                  {"pair.tg-test", {"127.0.0.3", "127.0.0.4"}}},
                                 &error);
  auto supervisor = names ? start_tcp_server(AF_INET, "127.0.0.1", true, &error) : nullptr;
  auto target = supervisor ? start_tcp_server(AF_INET, "127.0.0.2", false, &error) : nullptr;
  if (!target) {
    put(out, "error", error);
    return;
  }
  std::vector<std::string> actions;
  for (std::string action : actions_template) {
    size_t port = action.find("PORT");
    if (port != std::string::npos) action.replace(port, 4, std::to_string(target->port));
    actions.push_back(action);
  }

  for (bool preload : {false, true}) {
    const std::string prefix = preload ? "library." : "plain.";
    RunOptions options;
    options.argv = {probe_path("net_client")};
    options.argv.insert(options.argv.end(), actions.begin(), actions.end());
    options.env = google_env();
    options.env.push_back("X_GOOGLE_SUPERVISOR_HOSTNAME=supervisor.tg-test");
    options.env.push_back("X_GOOGLE_SUPERVISOR_INTERNAL_PORT=" + std::to_string(supervisor->port));
    options.preload = preload;
    int queries_before = names->queries;
    RunResult result = run_process(options);
    put(out, prefix + "out", result.out);
    put(out, prefix + "err", result.err);
    put(out, prefix + "exit", std::to_string(result.exit_code) + (result.timed_out ? " (timed out)" : ""));
    put(out, prefix + "queries", std::to_string(names->queries - queries_before));
  }
  supervisor->wait_for_requests(2, 5000);
  auto requests = supervisor->requests();
  for (size_t i = 0; i < requests.size(); ++i) put(out, "request" + std::to_string(i), requests[i]);
  put(out, "target accepted", std::to_string(target->accepted));
  put(out, "done", "");
}

report run_isolated(const std::vector<std::string> &actions) {
  return parse_report(run_in_child([&] { run_in_namespace(STDOUT_FILENO, actions); }).out);
}

TEST(NetworkDns, ResolverTrafficPassesWhileOtherConnectionsAreRefused) {
  TG_SKIP_IF_SANITIZED();
  // Analytics off: a sampled analytics attempt would add its own log entry.
  const std::string policy = R"(configure:{"policy":{"outbound_connectivity":"block"},"disable_analytics":true})";
  report r = run_isolated({policy, "resolve:service.tg-test", "resolveany:pair.tg-test",
                           "connectname:service.tg-test:PORT", "connect:127.0.0.2:PORT"});
  if (r.count("skip")) GTEST_SKIP() << "no private mount/network namespace here: " << r["skip"];
  ASSERT_TRUE(r.count("done")) << (r.count("error") ? r["error"] : "the namespace child ended early");

  // Without the library: the setup resolves and connects.
  EXPECT_EQ(r["plain.exit"], "0") << r["plain.err"];
  EXPECT_TRUE(contains_line(r["plain.out"], "resolve:service.tg-test -> 127.0.0.2")) << r["plain.out"];
  EXPECT_EQ(r["plain.out"].find("errno"), std::string::npos) << r["plain.out"];
  EXPECT_NE(r["plain.queries"], "0");

  // With the library under block: names still resolve through real DNS
  // queries, the connections themselves are refused.
  const std::string &out = r["library.out"];
  EXPECT_EQ(r["library.exit"], "0") << out << r["library.err"];
  EXPECT_TRUE(has_lines(out, {policy + " -> ok", "resolve:service.tg-test -> 127.0.0.2"}));
  EXPECT_TRUE(contains_line(out, "resolveany:pair.tg-test -> 127.0.0.3,127.0.0.4") ||
              contains_line(out, "resolveany:pair.tg-test -> 127.0.0.4,127.0.0.3"))
      << out;
  EXPECT_NE(r["library.queries"], "0");
  EXPECT_EQ(out.find("-> gai"), std::string::npos) << out;
  EXPECT_EQ(out.find("PORT"), std::string::npos) << "every port placeholder filled in";
  size_t refused = 0;
  for (const auto &line : split_lines(out))
    if (line.starts_with("connect") && line.ends_with(" -> errno 222")) ++refused;
  EXPECT_EQ(refused, 2u) << out;
  EXPECT_EQ(r["target accepted"], "2") << "only the two connections made without the library arrive";

  // The alerts went to the supervisor, found by its name through the same
  // DNS; that connection was exempt by host name.
  std::vector<std::string> requests;
  for (int i = 0; r.count("request" + std::to_string(i)); ++i) requests.push_back(r["request" + std::to_string(i)]);
  EXPECT_EQ(alert_summaries_from_requests(requests),
            (std::vector<std::string>{
                R"(outbound_connectivity block {"host":"service.tg-test","ip":"127.0.0.2"})",
                R"(outbound_connectivity block {"host":"service.tg-test","ip":"127.0.0.2"})"}));
}

// Lookups by libraries other than getaddrinfo, on AWS with the name server
// at 127.0.0.53 (127.0.0.1 would be exempt there anyway).
void run_lookups_in_namespace(int out) {
  std::string failure = setup_namespaces("127.0.0.53");
  if (!failure.empty()) return put(out, "skip", failure);
  std::string error;
  auto names = start_name_server("127.0.0.53", 53, {{"service.tg-test", {"127.0.0.2"}}}, &error);
  if (!names) return put(out, "error", error);
  auto run = [&](const std::string &key, const char *mode, const std::vector<std::string> &actions,
                 const std::string &script = "") {
    std::vector<std::string> all = {configure_action({{"outbound_connectivity", mode}})};
    all.insert(all.end(), actions.begin(), actions.end());
    const int before = names->queries;
    RunResult result = run_probe(script.empty() ? "net_client" : "intercept_actions", all, aws_env(), true, script);
    put(out, key + ".out", result.out + result.err);
    put(out, key + ".log", result.log);
    put(out, key + ".queries", std::to_string(names->queries - before));
  };
  run("c", "block",
      {"gethostbyname:service.tg-test", "connect:127.0.0.53:9", "sendmmsg:127.0.0.53:53,127.0.0.53:54"});
  run("alert", "alert", {"gethostbyname:service.tg-test"});
  run("node", "block", {"exec:/usr/bin/node,-"},
      "require('dns').resolve4('service.tg-test', (e, a) => console.log(e ? 'resolve4 ' + e.code : 'resolve4 ' + a));\n");
  put(out, "done", "");
}

TEST(NetworkDns, QueriesToTheNameServerPassUnderBlockWhateverLibrarySendsThem) {
  TG_SKIP_IF_SANITIZED();
  report r = parse_report(run_in_child([&] { run_lookups_in_namespace(STDOUT_FILENO); }).out);
  if (r.count("skip")) GTEST_SKIP() << "no private mount/network namespace here: " << r["skip"];
  ASSERT_TRUE(r.count("done")) << (r.count("error") ? r["error"] : "the namespace child ended early");

  // Everything else to the name server's address is judged: another port,
  // the second message of one sendmmsg.
  EXPECT_TRUE(has_lines(r["c.out"], {"gethostbyname:service.tg-test -> 127.0.0.2", "connect:127.0.0.53:9 -> errno 222",
                                     "sendmmsg:127.0.0.53:53,127.0.0.53:54 -> sent 1"}));
  EXPECT_EQ(alert_summaries_from_log(r["c.log"]),
            (std::vector<std::string>{R"(outbound_connectivity block {"ip":"127.0.0.53"})",
                                      R"(outbound_connectivity block {"ip":"127.0.0.53"})"}));
  EXPECT_NE(r["c.queries"], "0");

  EXPECT_TRUE(contains_line(r["alert.out"], "gethostbyname:service.tg-test -> 127.0.0.2")) << r["alert.out"];
  EXPECT_EQ(r["alert.log"], "") << "a lookup raises no record under alert";

  EXPECT_TRUE(contains_line(r["node.out"], "resolve4 127.0.0.2")) << r["node.out"];
  EXPECT_EQ(r["node.log"], "");
  EXPECT_NE(r["node.queries"], "0");
}

}  // namespace
