#include "loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int loopback_listener(int backlog, int *port, const char *address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  socklen_t length = sizeof bound;
  if (fd < 0 || inet_pton(AF_INET, address ? address : "127.0.0.1", &bound.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(bound.sin_port);
  return fd;
}
