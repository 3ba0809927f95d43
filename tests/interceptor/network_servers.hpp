// Loopback servers for the network tests: a TCP listener that accepts (and
// optionally records what each client sends until it closes), an abstract
// AF_UNIX listener, and a minimal UDP name server.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct test_server {
  int fd = -1;
  int wake[2] = {-1, -1};
  int port = 0;
  std::string unix_name;  // abstract AF_UNIX name (without the leading NUL)
  bool record = false;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> received;  // one text per recorded client
  std::atomic<int> accepted{0};
  // Name server: lower-case name -> IPv4 addresses; counts queries answered.
  std::map<std::string, std::vector<std::string>> names;
  std::atomic<int> queries{0};
  std::vector<std::string> asked;  // each question's name, under `mutex`

  ~test_server();
  std::vector<std::string> requests();
  // Waits until `count` clients have been recorded or `ms` passed.
  bool wait_for_requests(size_t count, int ms);
};

// Null when the socket cannot be made (the reason goes to *error).
std::unique_ptr<test_server> start_tcp_server(int family, const char *address, bool record, std::string *error);
std::unique_ptr<test_server> start_unix_server(std::string *error);
// Answers A queries for `names`, empty answers for other types of known
// names and NXDOMAIN for unknown ones.
std::unique_ptr<test_server> start_name_server(const char *address, int port,
                                               std::map<std::string, std::vector<std::string>> names,
                                               std::string *error);
