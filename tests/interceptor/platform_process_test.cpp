// Today's platforms, process by process: Google's current generation with its
// structured log lines, an OS-only AWS runtime, a first-generation
// supervisor that never completes a connection, and platform facts that the
// function's code cannot change after start-up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "alert_records.hpp"
#include "interceptor_test_support.hpp"
#include "loopback.hpp"
#include "network_servers.hpp"

namespace {

constexpr const char *CONFIGURE_PREFIX =
    "import ctypes, sys, time\n"
    "def configure(document):\n"
    "    ctypes.CDLL(None).tesselguard_configure(document.encode())\n"
    "def attempt(name, action):\n"
    "    try:\n"
    "        action()\n"
    "        return name + ' ok'\n"
    "    except OSError as e:\n"
    "        return '%s errno %d' % (name, e.errno)\n";

RunResult run_python(std::vector<std::string> env, const std::string &script, const std::string &cwd = "",
                     std::vector<std::string> args = {}) {
  RunOptions options;
  options.argv = {python_path(), "-c", std::string(CONFIGURE_PREFIX) + script};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = std::move(env);
  options.cwd = cwd;
  options.timeout_ms = 90000;
  return run_process(options);
}

// The lines of `text` that are JSON objects, their timestamps made "T".
std::vector<std::string> record_lines(const std::string &text) {
  std::vector<std::string> records;
  const std::regex timestamp(R"re("timestamp":"[^"]*")re");
  for (const std::string &line : split_lines(text))
    if (line.starts_with("{")) records.push_back(std::regex_replace(line, timestamp, R"("timestamp":"T")"));
  return records;
}

class PlatformProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
    if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  }
};

TEST_F(PlatformProcess, CurrentGoogleGenerationBlocksEachRuleWithAStructuredLine) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  // Outside /tmp, so that reading the handler falls under read_handler.
  scratch_directory code(build_scratch_base());
  std::ofstream(code.file("main.py")) << "def entry(request):\n    return 'ok'\n";
  std::ofstream(code.file("dep.py")) << "";
  const std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "K_SERVICE=fn", "K_REVISION=fn-00001",
                                        "FUNCTION_TARGET=entry", "FUNCTION_SIGNATURE_TYPE=http", "PORT=8080"};
  RunResult r = run_python(env,
                           "import socket, subprocess\n"
                           "configure('{\"disable_analytics\":true,\"runtime\":\"Python\",\"policy\":{"
                           "\"read_write_tmp\":\"block\",\"create_child_process\":\"block\","
                           "\"outbound_connectivity\":\"block\",\"read_handler\":\"block\"}}')\n"
                           "open('main.py').close()\n"  // the runtime's load, then the next code file
                           "open('dep.py').close()\n"
                           "print(attempt('tmp', lambda: open('/tmp/tg_current', 'w')), flush=True)\n"
                           "print(attempt('handler', lambda: open('main.py')), flush=True)\n"
                           "print(attempt('connect', lambda: socket.socket().connect(('127.0.0.1', 9))), flush=True)\n"
                           "print('child', subprocess.run(['/bin/true']).returncode, flush=True)\n",
                           code.path);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(has_lines(r.out, {"tmp errno 222", "handler errno 222", "connect errno 222", "child 222"}));
  char *true_program = realpath("/bin/true", nullptr);
  const std::string true_path = true_program ? true_program : "/bin/true";
  free(true_program);
  const std::string end = R"(,"tessel_guard":true,"timestamp":"T",)";
  const std::string block = R"(,"mode":"block","severity":"WARNING"})";
  EXPECT_EQ(record_lines(r.out),
            (std::vector<std::string>{
                R"({"details":{"path":"/tmp/tg_current"})" + end + R"("policy":"read_write_tmp")" + block,
                R"({"details":{"path":")" + code.file("main.py") + "\"}" + end + R"("policy":"read_handler")" + block,
                R"({"details":{"ip":"127.0.0.1"})" + end + R"("policy":"outbound_connectivity")" + block,
                R"({"details":{"arguments":["/bin/true"],"path":")" + true_path + "\"}" + end +
                    R"("policy":"create_child_process")" + block,
            }));
}

TEST_F(PlatformProcess, OsOnlyAwsRuntimeRunsAndIsProtected) {
  RunResult r = run_actions({"PATH=/usr/bin:/bin", "AWS_LAMBDA_RUNTIME_API=127.0.0.1:9001"},
                            {configure_action({{"read_write_tmp", "block"}}), "openr:/tmp/tg_os_only"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(has_lines(r.out, {"openr:/tmp/tg_os_only -> errno 222"}));
  std::vector<alert_record> records;
  std::string bad;
  ASSERT_TRUE(parse_alert_lines(r.log, &records, &bad)) << bad;
  ASSERT_EQ(records.size(), 1u) << r.log;
  EXPECT_EQ(records[0].path, "/tmp/tg_os_only");
  EXPECT_EQ(records[0].policy, "read_write_tmp");
}

// The supervisor and the generation are the ones start-up found. Code that
// names its own supervisor (an address where it listens), and programs it
// starts with first-generation variables (or with none at all), reach
// neither an exemption nor a new log: the connection to the would-be
// supervisor is refused, and its record goes where the function's go.
TEST_F(PlatformProcess, SupervisorAndGenerationCannotBeChangedByTheFunction) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  std::string error;
  auto supervisor = start_tcp_server(AF_INET, "127.0.0.1", true, &error);
  auto attacker = start_tcp_server(AF_INET, "127.0.0.2", true, &error);
  ASSERT_TRUE(supervisor && attacker) << error;
  const std::string to_attacker = std::to_string(attacker->port);
  const std::string connect =
      "import socket\n"
      "def connect():\n"
      "    socket.create_connection(('127.0.0.2', int(sys.argv[1])), timeout=5).close()\n";
  const std::string block = "configure('{\"disable_analytics\":true,\"policy\":{\"outbound_connectivity\":\"block\"}}')\n";

  // First generation: the function's code rewrites the supervisor's variables.
  auto first = google_env();
  first.insert(first.end(), {"X_GOOGLE_SUPERVISOR_HOSTNAME=127.0.0.1",
                             "X_GOOGLE_SUPERVISOR_INTERNAL_PORT=" + std::to_string(supervisor->port)});
  RunResult r = run_python(first,
                           connect + block +
                               "import os\n"
                               "os.environ['X_GOOGLE_SUPERVISOR_HOSTNAME'] = '127.0.0.2'\n"
                               "os.environ['X_GOOGLE_SUPERVISOR_INTERNAL_PORT'] = sys.argv[1]\n"
                               "print(attempt('connect', connect), flush=True)\n",
                           "", {to_attacker});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(has_lines(r.out, {"connect errno 222"})) << r.out;
  ASSERT_TRUE(supervisor->wait_for_requests(1, 5000));
  EXPECT_EQ(alert_summaries_from_requests(supervisor->requests()),
            std::vector<std::string>{R"(outbound_connectivity block {"host":"127.0.0.2","ip":"127.0.0.2"})"});

  // Current generation: programs started with a first-generation
  // environment, and with an empty one.
  const std::vector<std::string> current = {"PATH=/usr/local/bin:/usr/bin:/bin", "K_SERVICE=fn",
                                            "FUNCTION_TARGET=entry"};
  r = run_python(current,
                 block +
                     "import subprocess\n"
                     "first_generation = {'X_GOOGLE_FUNCTION_NAME': 'fn', 'X_GOOGLE_SUPERVISOR_HOSTNAME': '127.0.0.2',\n"
                     "                    'X_GOOGLE_SUPERVISOR_INTERNAL_PORT': sys.argv[1]}\n"
                     "for env in (first_generation, {}):\n"
                     "    subprocess.run([sys.executable, '-c', sys.argv[2], sys.argv[1]], env=env)\n",
                 "", {to_attacker, std::string(CONFIGURE_PREFIX) + connect + "print('child', attempt('connect', connect))\n"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(count_of(r.out, "child connect errno 222\n"), 2u) << r.out;
  const std::string record = R"({"details":{"host":"127.0.0.2","ip":"127.0.0.2"},"tessel_guard":true,)"
                             R"("timestamp":"T","policy":"outbound_connectivity","mode":"block","severity":"WARNING"})";
  EXPECT_EQ(record_lines(r.out), (std::vector<std::string>{record, record}));
  EXPECT_EQ(attacker->accepted, 0);
  EXPECT_EQ(supervisor->requests().size(), 1u);
}

// A supervisor whose accept queue is full never completes a connection: the
// first delivery gives up after a second, the next ones are skipped and
// counted, and once the supervisor answers again the loss is said once.
// The skipping lasts 30 s; rather than wait, the function forks a child
// into a time namespace whose clock runs 31 s ahead, and the child, with the
// library's memory as it was, makes the eleventh attempt. Where the function
// may not make a time namespace (tests not run as root), it waits.
TEST_F(PlatformProcess, UnreachableSupervisorCostsOneSecondAndTheLossIsReported) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  int port = 0;
  const int listener = loopback_listener(0, &port);
  ASSERT_GE(listener, 0);
  // Fill the queue: with a backlog of 0 it holds one connection, and the
  // connection after it hangs.
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    fillers.push_back(fd);
    pollfd waiting{fd, POLLOUT, 0};
    if (poll(&waiting, 1, 200) == 0) break;  // this one hangs: the queue is full
  }

  // The function and the supervisor take turns through two folders (mkdir
  // and stat, which the library does not watch): "ten" once the ten alerts
  // are judged, "back" once the queue is empty again.
  scratch_directory turns(build_scratch_base());
  std::atomic<bool> done{false};
  std::vector<std::string> requests;
  std::thread supervisor([&] {
    struct stat info;
    while (!done && stat(turns.file("ten").c_str(), &info) != 0) usleep(10 * 1000);
    for (int fd : fillers) close(fd);
    pollfd queued{listener, POLLIN, 0};
    while (poll(&queued, 1, 0) == 1) close(accept(listener, nullptr, nullptr));
    mkdir(turns.file("back").c_str(), 0700);
    while (!done) {
      pollfd waiting{listener, POLLIN, 0};
      if (poll(&waiting, 1, 100) != 1) continue;
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) continue;
      std::string raw;
      char buffer[4096];
      pollfd reading{connection, POLLIN, 0};
      while (poll(&reading, 1, 2000) == 1) {
        const ssize_t n = read(connection, buffer, sizeof buffer);
        if (n <= 0) break;
        raw.append(buffer, static_cast<size_t>(n));
      }
      close(connection);
      if (!raw.empty()) requests.push_back(raw);
    }
  });

  auto env = google_env();
  env.insert(env.end(), {"X_GOOGLE_SUPERVISOR_HOSTNAME=127.0.0.1",
                         "X_GOOGLE_SUPERVISOR_INTERNAL_PORT=" + std::to_string(port)});
  RunResult r = run_python(env,
                           "import os\n"
                           "def after_the_pause():\n"
                           "    if ctypes.CDLL(None).unshare(0x80) != 0:\n"  // CLONE_NEWTIME
                           "        time.sleep(31)\n"
                           "        return\n"
                           "    offsets = os.open('/proc/self/timens_offsets', os.O_WRONLY)\n"
                           "    os.write(offsets, b'monotonic 31 0')\n"
                           "    child = os.fork()\n"
                           "    if child:\n"
                           "        os._exit(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))\n"
                           "configure('{\"disable_analytics\":true,\"policy\":{\"read_write_tmp\":\"block\"}}')\n"
                           "start = time.monotonic()\n"
                           "verdicts = [attempt('open', lambda: open('/tmp/tg_supervisor', 'w')) for _ in range(10)]\n"
                           "print('ten_ms', int((time.monotonic() - start) * 1000), flush=True)\n"
                           "print(', '.join(verdicts), flush=True)\n"
                           "os.mkdir(sys.argv[1] + '/ten')\n"
                           "while not os.path.exists(sys.argv[1] + '/back'): time.sleep(0.01)\n"
                           "after_the_pause()\n"
                           "print('eleventh', attempt('open', lambda: open('/tmp/tg_supervisor', 'w')), flush=True)\n",
                           "", {turns.path});
  done = true;
  supervisor.join();
  close(listener);

  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const long ten_ms = number_after(r.out, "ten_ms");
  EXPECT_GE(ten_ms, 0) << r.out;
  EXPECT_LT(ten_ms, 3000) << r.out;
  std::string verdicts;
  for (int i = 0; i < 10; ++i) verdicts += std::string(i ? ", " : "") + "open errno 222";
  EXPECT_TRUE(has_lines(r.out, {verdicts, "eleventh open errno 222"}));
  EXPECT_EQ(count_of(r.out, "connect() failed. error: Connection timed out\n"), 1u) << r.out;
  const std::string loss = "TesselGuard: 10 alert records were lost: the log endpoint was unreachable\n";
  EXPECT_EQ(count_of(r.out, loss), 1u) << r.out;
  EXPECT_LT(r.out.find(loss), r.out.find("eleventh")) << "the loss is said before the record that got through";
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("/tmp/tg_supervisor"), std::string::npos) << requests[0];
}

}  // namespace
