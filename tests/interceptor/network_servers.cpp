#include "network_servers.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cerrno>
#include <cstring>

namespace {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Waits for the listening socket or the wake pipe; false when woken.
bool wait_readable(test_server &server) {
  pollfd fds[2] = {{server.fd, POLLIN, 0}, {server.wake[0], POLLIN, 0}};
  while (poll(fds, 2, -1) < 0)
    if (errno != EINTR) return false;
  return !(fds[1].revents & POLLIN);
}

// Reads what a client sends until it closes, at most 5 s.
std::string read_until_closed(int fd) {
  std::string text;
  char buffer[4096];
  long long deadline = now_ms() + 5000;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

void accept_loop(test_server *server) {
  while (wait_readable(*server)) {
    int client = accept(server->fd, nullptr, nullptr);
    if (client < 0) continue;
    ++server->accepted;
    if (server->record) {
      std::string text = read_until_closed(client);
      std::lock_guard<std::mutex> lock(server->mutex);
      server->received.push_back(text);
    }
    close(client);
  }
}

// ---- name server --------------------------------------------------------------

// The question's name as lower-case dotted text; *end is the offset after
// the question (name, type, class). False for anything unexpected.
bool parse_question(const unsigned char *packet, size_t size, std::string *name, int *type, size_t *end) {
  size_t at = 12;
  name->clear();
  while (at < size && packet[at] != 0) {
    size_t length = packet[at];
    if (length > 63 || at + 1 + length > size) return false;
    if (!name->empty()) name->push_back('.');
    for (size_t i = 0; i < length; ++i)
      name->push_back(static_cast<char>(std::tolower(packet[at + 1 + i])));
    at += 1 + length;
  }
  if (at + 5 > size) return false;
  *type = packet[at + 1] << 8 | packet[at + 2];
  *end = at + 5;
  return true;
}

void name_server_loop(test_server *server) {
  unsigned char query[512];
  while (wait_readable(*server)) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    ssize_t size = recvfrom(server->fd, query, sizeof query, 0, reinterpret_cast<sockaddr *>(&peer), &peer_length);
    std::string name;
    int type = 0;
    size_t question_end = 0;
    if (size < 12 || !parse_question(query, static_cast<size_t>(size), &name, &type, &question_end)) continue;
    ++server->queries;
    {
      std::lock_guard<std::mutex> lock(server->mutex);
      server->asked.push_back(name);
    }

    std::vector<unsigned char> reply(query, query + question_end);
    auto found = server->names.find(name);
    const bool known = found != server->names.end();
    std::vector<std::string> answers;
    if (known && type == 1) answers = found->second;
    reply[2] = 0x81;                      // response, recursion desired
    reply[3] = known ? 0x80 : 0x83;       // recursion available; NXDOMAIN when unknown
    reply[4] = 0, reply[5] = 1;           // one question
    reply[6] = 0, reply[7] = static_cast<unsigned char>(answers.size());
    std::fill(reply.begin() + 8, reply.begin() + 12, 0);
    for (const auto &address : answers) {
      in_addr bytes{};
      inet_pton(AF_INET, address.c_str(), &bytes);
      const unsigned char record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};  // name at 12, A, IN, TTL 60
      reply.insert(reply.end(), record, record + sizeof record);
      const auto *raw = reinterpret_cast<const unsigned char *>(&bytes.s_addr);
      reply.insert(reply.end(), raw, raw + 4);
    }
    sendto(server->fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&peer), peer_length);
  }
}

std::unique_ptr<test_server> bind_server(int family, int type, const char *address, int port, std::string *error) {
  auto server = std::make_unique<test_server>();
  server->fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (server->fd < 0 || pipe2(server->wake, O_CLOEXEC) != 0) {
    *error = std::string("socket: ") + strerror(errno);
    return nullptr;
  }
  int one = 1;
  setsockopt(server->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (family == AF_INET) {
    auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &in4->sin_addr);
    length = sizeof *in4;
  } else {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    length = sizeof *in6;
  }
  if (bind(server->fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 ||
      (type == SOCK_STREAM && listen(server->fd, 128) != 0) ||
      getsockname(server->fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
    *error = std::string("bind ") + address + ": " + strerror(errno);
    return nullptr;
  }
  server->port = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in *>(&storage)->sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port);
  return server;
}

}  // namespace

test_server::~test_server() {
  if (wake[1] >= 0) {
    char byte = 1;
    ssize_t unused = write(wake[1], &byte, 1);
    (void)unused;
  }
  if (thread.joinable()) thread.join();
  for (int f : {fd, wake[0], wake[1]})
    if (f >= 0) close(f);
}

std::vector<std::string> test_server::requests() {
  std::lock_guard<std::mutex> lock(mutex);
  return received;
}

bool test_server::wait_for_requests(size_t count, int ms) {
  long long deadline = now_ms() + ms;
  while (now_ms() < deadline) {
    if (requests().size() >= count) return true;
    usleep(10000);
  }
  return requests().size() >= count;
}

std::unique_ptr<test_server> start_tcp_server(int family, const char *address, bool record, std::string *error) {
  auto server = bind_server(family, SOCK_STREAM, address, 0, error);
  if (!server) return nullptr;
  server->record = record;
  server->thread = std::thread(accept_loop, server.get());
  return server;
}

std::unique_ptr<test_server> start_unix_server(std::string *error) {
  static std::atomic<int> counter{0};
  auto server = std::make_unique<test_server>();
  server->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server->fd < 0 || pipe2(server->wake, O_CLOEXEC) != 0) {
    *error = std::string("socket: ") + strerror(errno);
    return nullptr;
  }
  server->unix_name = "tg-net-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path + 1, server->unix_name.data(), server->unix_name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + server->unix_name.size());
  if (bind(server->fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(server->fd, 16) != 0) {
    *error = std::string("bind unix: ") + strerror(errno);
    return nullptr;
  }
  server->thread = std::thread(accept_loop, server.get());
  return server;
}

std::unique_ptr<test_server> start_name_server(const char *address, int port,
                                               std::map<std::string, std::vector<std::string>> names,
                                               std::string *error) {
  auto server = bind_server(AF_INET, SOCK_DGRAM, address, port, error);
  if (!server) return nullptr;
  server->names = std::move(names);
  server->thread = std::thread(name_server_loop, server.get());
  return server;
}
