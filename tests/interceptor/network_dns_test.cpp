// Name resolution that really sends DNS, under an outbound block: the
// questions are judged as they leave, the exempt ones go.
//
// The exempt names (the Google supervisor) must still resolve, or their
// exemptions could never apply.
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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
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
  put(out, "target port", std::to_string(target->port));
  supervisor->wait_for_requests(4, 5000);
  auto requests = supervisor->requests();
  for (size_t i = 0; i < requests.size(); ++i) put(out, "request" + std::to_string(i), requests[i]);
  put(out, "target accepted", std::to_string(target->accepted));
  put(out, "done", "");
}

report run_isolated(const std::vector<std::string> &actions) {
  return parse_report(run_in_child([&] { run_in_namespace(STDOUT_FILENO, actions); }).out);
}

TEST(NetworkDns, LookupsAreRefusedWhileTheSupervisorStillResolves) {
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

  // With the library under block: the lookups themselves are refused as
  // names that do not exist, and so is the connection by address; the
  // supervisor's own name still resolves through the same name server.
  const std::string &out = r["library.out"];
  EXPECT_EQ(r["library.exit"], "0") << out << r["library.err"];
  EXPECT_TRUE(has_lines(out, {policy + " -> ok", "resolve:service.tg-test -> gai -2",
                              "resolveany:pair.tg-test -> gai -2"}));
  EXPECT_NE(r["library.queries"], "0");
  EXPECT_EQ(out.find("PORT"), std::string::npos) << "every port placeholder filled in";
  EXPECT_TRUE(contains_line(out, "connect:127.0.0.2:" + r["target port"] + " -> errno 222")) << out;
  EXPECT_EQ(r["target accepted"], "2") << "only the two connections made without the library arrive";

  // The alerts went to the supervisor, found by its name through the same
  // DNS; that lookup and connection were exempt by host name.
  std::vector<std::string> requests;
  for (int i = 0; r.count("request" + std::to_string(i)); ++i) requests.push_back(r["request" + std::to_string(i)]);
  EXPECT_EQ(alert_summaries_from_requests(requests),
            (std::vector<std::string>{R"(outbound_connectivity block {"lookup":"service.tg-test"})",
                                      R"(outbound_connectivity block {"lookup":"pair.tg-test"})",
                                      R"(outbound_connectivity block {"lookup":"service.tg-test"})",
                                      R"(outbound_connectivity block {"ip":"127.0.0.2"})"}));
}

// Lookups are judged by the question as it leaves, whatever sends it: on
// AWS with the name server at 127.0.0.53 (127.0.0.1 is exempt there).
constexpr const char *LOOKUP_SCRIPT = R"(
import ctypes, os, socket, struct, sys
ctypes.CDLL(None).tesselguard_configure(sys.argv[1].split(':', 1)[1].encode())
def raw(name):
    q = b'\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00'
    q += b''.join(bytes([len(l)]) + l.encode() for l in name.split('.')) + b'\x00\x00\x01\x00\x01'
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(3)
    s.sendto(q, ('127.0.0.53', 53)); a = s.recv(512)
    return 'rcode %d' % (a[3] & 15) if a[3] & 15 else socket.inet_ntoa(a[-4:])
def connect(ip): socket.socket().connect((ip, 9))
routes = {'gethostbyname': socket.gethostbyname, 'getaddrinfo': lambda n: socket.getaddrinfo(n, 80, socket.AF_INET)[0][4][0],
          'raw': raw, 'connect': connect}
if sys.argv[2] == 'node':
    os.execv('/usr/bin/node', ['node', '-e', sys.argv[3]])
for item in sys.argv[2:]:
    route, name = item.split()
    try: print(item, '->', routes[route](name) or 'ok')
    except socket.gaierror as e: print(item, '-> gai', e.errno)
    except socket.herror as e: print(item, '-> h_errno', e.errno)
    except OSError as e: print(item, '-> errno', e.errno)
)";

// Node.js prints "<route> <name> -> <address or error code>" for each.
constexpr const char *NODE_LOOKUPS = R"(
const dns = require('dns');
const say = (what, name) => (e, a) => console.log(what + ' ' + name + ' -> ' + (e ? e.code : String(a)));
for (const name of ['x.attacker.test', 'dynamodb.us-east-1.amazonaws.com']) {
  dns.lookup(name, { family: 4 }, say('lookup', name));
  dns.resolve4(name, say('resolve4', name));
}
require('http').get('http://h.attacker.test/').on('error', e => console.log('http h.attacker.test -> ' + e.code));
)";

struct lookup_run {
  const char *key;
  const char *mode;
  std::vector<std::string> items;  // routes of LOOKUP_SCRIPT, or {"node"}
  std::vector<std::string> env;    // added to AWS's
};

void run_lookup_table(int out, const std::vector<lookup_run> &runs) {
  std::string failure = setup_namespaces("127.0.0.53");
  if (!failure.empty()) return put(out, "skip", failure);
  std::string error;
  auto names = start_name_server("127.0.0.53", 53,
                                 {{"dynamodb.us-east-1.amazonaws.com", {"127.0.0.2"}},
                                  {"x.attacker.test", {"127.0.0.66"}},
                                  {"s3.amazonaws.com.attacker.test", {"127.0.0.66"}}},
                                 &error);
  if (!names) return put(out, "error", error);
  for (const lookup_run &run : runs) {
    RunOptions options;
    options.argv = {python_path(), "-c", LOOKUP_SCRIPT,
                    configure_action({{"outbound_connectivity", run.mode}}, R"("disable_analytics":true)")};
    options.argv.insert(options.argv.end(), run.items.begin(), run.items.end());
    if (run.items == std::vector<std::string>{"node"}) options.argv.push_back(NODE_LOOKUPS);
    options.env = aws_env();
    options.env.insert(options.env.end(), run.env.begin(), run.env.end());
    options.capture_log_fd = true;
    names->asked.clear();
    RunResult result = run_process(options);
    std::string asked;
    {
      std::lock_guard<std::mutex> lock(names->mutex);
      for (const auto &name : names->asked) asked += name + "\n";
    }
    put(out, std::string(run.key) + ".out", result.out + result.err);
    put(out, std::string(run.key) + ".log", result.log);
    put(out, std::string(run.key) + ".asked", asked);
  }
  put(out, "done", "");
}

std::string lookup_record(const char *mode, const std::string &name) {
  return std::string("outbound_connectivity ") + mode + R"( {"lookup":")" + name + R"("})";
}

TEST(NetworkDns, PythonAndNodeLookupsAreJudgedByTheQuestionAsItLeaves) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("node");
  TG_SKIP_IF_SANITIZED();
  if (python_path().empty() || access("/usr/bin/node", X_OK) != 0) GTEST_SKIP() << "needs python3 and Node.js";
  const std::string attacker = "x.attacker.test", exempt = "dynamodb.us-east-1.amazonaws.com";
  const std::vector<std::string> search = {"LOCALDOMAIN=attacker.test", "RES_OPTIONS=ndots:9"};
  const std::vector<lookup_run> runs = {
      {"python.block", "block",
       {"gethostbyname " + attacker, "getaddrinfo " + attacker, "raw " + attacker, "gethostbyname " + exempt,
        "getaddrinfo " + exempt, "raw " + exempt}},
      {"node.block", "block", {"node"}},
      {"python.alert", "alert",
       {"gethostbyname " + attacker, "getaddrinfo " + attacker, "raw " + attacker, "getaddrinfo " + exempt}},
      {"search.block", "block", {"getaddrinfo s3.amazonaws.com", "connect 127.0.0.66"}, search},
      {"search.alert", "alert", {"getaddrinfo s3.amazonaws.com", "connect 127.0.0.66"}, search},
  };
  report r = parse_report(run_in_child([&] { run_lookup_table(STDOUT_FILENO, runs); }).out);
  if (r.count("skip")) GTEST_SKIP() << "no private mount/network namespace here: " << r["skip"];
  ASSERT_TRUE(r.count("done")) << (r.count("error") ? r["error"] : "the namespace child ended early");

  // (run) -> (lines the program printed, the records, the questions the name server saw)
  struct row {
    const char *run;
    std::vector<std::string> lines;
    std::vector<std::string> records;
    std::string asked;
  };
  const std::vector<row> rows = {
      {"python.block",
       {"gethostbyname x.attacker.test -> gai -2", "getaddrinfo x.attacker.test -> gai -2",
        "raw x.attacker.test -> errno 222", "gethostbyname " + exempt + " -> 127.0.0.2",
        "getaddrinfo " + exempt + " -> 127.0.0.2", "raw " + exempt + " -> 127.0.0.2"},
       {lookup_record("block", attacker), lookup_record("block", attacker), lookup_record("block", attacker)},
       exempt + "\n" + exempt + "\n" + exempt + "\n"},
      {"node.block",
       {"lookup x.attacker.test -> ENOTFOUND", "resolve4 x.attacker.test -> ENOTFOUND",
        "http h.attacker.test -> ENOTFOUND", "lookup " + exempt + " -> 127.0.0.2", "resolve4 " + exempt + " -> 127.0.0.2"},
       {},  // counted below: the three attacker lookups finish in any order
       exempt + "\n" + exempt + "\n"},
      {"python.alert",
       {"gethostbyname x.attacker.test -> 127.0.0.66", "getaddrinfo x.attacker.test -> 127.0.0.66",
        "raw x.attacker.test -> 127.0.0.66", "getaddrinfo " + exempt + " -> 127.0.0.2"},
       {lookup_record("alert", attacker)},
       attacker + "\n" + attacker + "\n" + attacker + "\n" + exempt + "\n"},
      // The suffixed question is refused; the name as given is asked, and
      // does not exist: the attacker's address is reached by address only.
      {"search.block",
       {"getaddrinfo s3.amazonaws.com -> gai -2", "connect 127.0.0.66 -> errno 222"},
       {lookup_record("block", "s3.amazonaws.com.attacker.test"),
        R"(outbound_connectivity block {"ip":"127.0.0.66"})"},
       "s3.amazonaws.com\n"},
      // Let out, the answer is filed under the name that was answered.
      {"search.alert",
       {"getaddrinfo s3.amazonaws.com -> 127.0.0.66", "connect 127.0.0.66 -> errno 111"},
       {lookup_record("alert", "s3.amazonaws.com.attacker.test"),
        R"(outbound_connectivity alert {"host":"s3.amazonaws.com.attacker.test","ip":"127.0.0.66"})"},
       "s3.amazonaws.com.attacker.test\n"},
  };
  for (const row &expected : rows) {
    const std::string key = expected.run;
    SCOPED_TRACE(key);
    EXPECT_TRUE(has_lines(r[key + ".out"], expected.lines));
    if (key == "node.block") {
      std::vector<std::string> records = alert_summaries_from_log(r[key + ".log"]);
      std::sort(records.begin(), records.end());
      EXPECT_EQ(records, (std::vector<std::string>{lookup_record("block", "h.attacker.test"),
                                                   lookup_record("block", attacker), lookup_record("block", attacker)}));
    } else {
      EXPECT_EQ(alert_summaries_from_log(r[key + ".log"]), expected.records);
    }
    EXPECT_EQ(r[key + ".asked"], expected.asked);
  }
}

}  // namespace
