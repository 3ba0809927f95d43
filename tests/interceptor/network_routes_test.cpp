// Every route to the network and to descriptor 999, from real runtimes under
// the preloaded library: route -> what the caller sees, and the records.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "alert_records.hpp"
#include "interceptor_test_support.hpp"

namespace {

// Runs each route given as an argument and prints "<route> -> ok" or
// "<route> -> errno N".
constexpr const char *ROUTES_SCRIPT = R"(
import ctypes, fcntl, os, socket, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.tesselguard_configure(sys.argv[1].split(':', 1)[1].encode())
r, w = os.pipe()
def udp(ip): return socket.socket(socket.AF_INET6 if ':' in ip else socket.AF_INET, socket.SOCK_DGRAM)
def unspec(ip, port):  # AF_UNSPEC, in the layout of the address's own family
    if ':' in ip: return struct.pack('=H', 0) + struct.pack('!HI', port, 0) + socket.inet_pton(socket.AF_INET6, ip) + bytes(4)
    return struct.pack('=H', 0) + struct.pack('!H', port) + socket.inet_aton(ip) + bytes(8)
def checked(result):
    if result < 0: raise OSError(ctypes.get_errno(), '')
def run(kind, ip=None, port=None):
    to = (ip, int(port or 0))
    if kind == 'connect6': socket.socket(socket.AF_INET6).connect(to)
    elif kind == 'sendto': udp(ip).sendto(b'x', to)
    elif kind == 'sendmsg': udp(ip).sendmsg([b'x'], [], 0, to)
    elif kind == 'fastopen': socket.socket().sendto(b'x', 0x20000000, to)
    elif kind.startswith('unspec') or kind == 'disconnect':
        s, name = socket.socket() if kind == 'unspecfastopen' else udp(ip), unspec(*to)
        if kind == 'disconnect': checked(libc.connect(s.fileno(), name, len(name)))
        else: checked(libc.sendto(s.fileno(), b'x', 1, 0x20000000 if kind == 'unspecfastopen' else 0, name, len(name)))
    elif kind == 'connected':
        rx = udp(ip); rx.bind((ip, 0))
        s = udp(ip); s.connect(rx.getsockname())
        for _ in range(3): s.send(b'x')
    elif kind == 'dup2': os.dup2(r, 999)
    elif kind == 'dup3': os.dup2(r, 999, inheritable=False)
    elif kind == 'close_range' and libc.close_range(3, 4000, 0) != 0: raise OSError(ctypes.get_errno(), '')
    elif kind == 'inheritable': os.set_inheritable(999, False)
    elif kind == 'F_SETFD': fcntl.fcntl(999, fcntl.F_SETFD, fcntl.FD_CLOEXEC)
    elif kind == '__close_nocancel' and libc.__close_nocancel(999) != 0: raise OSError(ctypes.get_errno(), '')
    elif kind == 'closefrom': libc.closefrom(999); os.fstat(999)
    elif kind.startswith('spawn'):
        # Every descriptor below 999 taken: an open action would land on 999.
        taken = []
        while not taken or taken[-1] < 998: taken.append(os.open('/dev/null', os.O_RDONLY))
        action = {'spawn_open': (os.POSIX_SPAWN_OPEN, 999, '/dev/null', os.O_RDONLY, 0),
                  'spawn_dup2': (os.POSIX_SPAWN_DUP2, r, 999)}[kind]
        try: os.waitpid(os.posix_spawn('/bin/true', ['true'], os.environ, file_actions=[action]), 0)
        finally:
            for fd in taken: os.close(fd)
for route in sys.argv[2:]:
    try: run(*route.split()); print(route, '-> ok')
    except OSError as e: print(route, '-> errno', e.errno)
try: os.fstat(r); print('pipe open')
except OSError: print('pipe closed')
print('999 inheritable', os.get_inheritable(999))
os.write(999, b'999 still writes\n')
)";

struct route {
  const char *text;
  const char *result;
  const char *record;  // the alert's details, or null
};

void check_routes(const char *mode, const std::vector<route> &routes, const std::vector<std::string> &extra_lines,
                  const std::vector<std::string> &extra_log) {
  std::vector<std::string> args = {configure_action({{"outbound_connectivity", mode}})};
  std::vector<std::string> expected_lines = extra_lines, expected_log;
  for (const route &r : routes) {
    args.push_back(r.text);
    expected_lines.push_back(std::string(r.text) + " -> " + r.result);
    if (r.record) expected_log.push_back(std::string("outbound_connectivity ") + mode + " " + r.record);
  }
  RunOptions options;
  options.argv = {python_path(), "-c", ROUTES_SCRIPT};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = aws_env();
  options.capture_log_fd = true;
  options.before_exec = become_unprivileged;
  RunResult result = run_process(options);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, expected_lines));
  // Records first, then the line written to 999 at the end.
  std::vector<std::string> log = split_lines(result.log);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "999 still writes");
  log.pop_back();
  std::string records;
  for (const auto &line : log) records += line + "\n";
  EXPECT_EQ(alert_summaries_from_log(records), extra_log.empty() ? expected_log : extra_log);
}

class NetworkRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
    if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  }
};

TEST_F(NetworkRoutes, EveryDestinationRouteIsJudgedUnderBlock) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  // Nothing listens on port 9: a connection let through gets ECONNREFUSED.
  check_routes("block",
               {
                   {"connect6 ::ffff:127.0.0.2 9", "errno 222", R"({"ip":"127.0.0.2"})"},
                   {"connect6 ::1 9", "errno 111", nullptr},  // the platform's own loopback on AWS
                   {"connect6 fd00::1 9", "errno 222", R"({"ip":"fd00::1"})"},
                   {"sendto 127.0.0.2 9", "errno 222", R"({"ip":"127.0.0.2"})"},
                   {"sendto ::ffff:127.0.0.2 9", "errno 222", R"({"ip":"127.0.0.2"})"},
                   {"sendmsg fd00::2 9", "errno 222", R"({"ip":"fd00::2"})"},
                   {"fastopen 127.0.0.2 9", "errno 222", R"({"ip":"127.0.0.2"})"},
                   {"sendto 127.0.0.1 9", "ok", nullptr},
                   // AF_UNSPEC, as the kernel reads it: an IPv4 datagram goes
                   // to the address; an IPv6 one drops it (not connected:
                   // EDESTADDRREQ), TCP Fast Open refuses it (EOPNOTSUPP),
                   // connect disconnects.
                   {"unspec 127.0.0.2 9", "errno 222", R"({"ip":"127.0.0.2"})"},
                   {"unspec 127.0.0.1 9", "ok", nullptr},
                   {"unspec fd00::1 9", "errno 89", nullptr},
                   {"unspecfastopen 127.0.0.2 9", "errno 95", nullptr},
                   {"disconnect 127.0.0.2 9", "ok", nullptr},
               },
               {"pipe open"}, {});
}

TEST_F(NetworkRoutes, SendsOnAConnectedSocketAreNotJudgedAgain) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  check_routes("alert", {{"connected 127.0.0.2", "ok", R"({"ip":"127.0.0.2"})"}}, {}, {});
}

TEST_F(NetworkRoutes, TheLogDescriptorCannotBeReplacedOrClosed) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  // close_range closes the rest of its range and keeps 999; so does
  // closefrom (which returns nothing); it stays inheritable.
  check_routes("block",
               {{"dup2", "errno 1", nullptr},
                {"dup3", "errno 1", nullptr},
                {"inheritable", "errno 1", nullptr},
                {"F_SETFD", "errno 1", nullptr},
                {"__close_nocancel", "errno 1", nullptr},
                {"closefrom", "ok", nullptr},
                {"spawn_open", "errno 1", nullptr},
                {"spawn_dup2", "errno 1", nullptr},
                {"close_range", "errno 1", nullptr}},
               {"pipe closed", "999 inheritable True"}, {});
}

TEST(NetworkResolverIdentity, ARenamedMainProgramDoesNotFreeConnections) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("node");
  TG_SKIP_IF_SANITIZED();
  if (access("/usr/bin/node", X_OK) != 0) GTEST_SKIP() << "no Node.js on this machine";
  // The C library names the main program after argv[0], which
  // process.title rewrites (within the room of the original arguments).
  RunResult result = run_actions(
      aws_env(),
      {configure_action({{"outbound_connectivity", "block"}}),
       "exec:/usr/bin/node,-,room-for-a-long-process-title-room-for-a-long-process-title"},
      true,
      "process.title = '/usr/lib/x86_64-linux-gnu/libresolv.so.2';\n"
      "require('net').connect(9, '127.0.0.2').on('error', e => console.log('error ' + e.errno));\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains_line(result.out, "error -222")) << result.out;
  EXPECT_EQ(alert_summaries_from_log(result.log),
            std::vector<std::string>{R"(outbound_connectivity block {"ip":"127.0.0.2"})"});
}

}  // namespace
