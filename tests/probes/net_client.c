/* Name resolution and connections through the ordinary C library entry
 * points, one action per argument, one output line per action:
 * "<action> -> ok", "-> errno N", "-> gai N" or "-> <value>".
 *
 *   configure:JSON        tesselguard_configure (the first call's cookie is
 *                         added to every later document)
 *   resolve:NAME          getaddrinfo, IPv4 stream; prints the addresses
 *   resolveany:NAME       the same with any address family
 *   connect:IP:PORT       IPv4 TCP connect
 *   connectname:NAME:PORT resolve (IPv4), then connect to the first address
 *   connect6:IP6:PORT     IPv6 TCP connect
 *   connectunix:NAME      AF_UNIX connect to an abstract socket
 *   connectnull           IPv4 socket, null address
 *   connectshort:IP:PORT  IPv4 address with a length one byte short
 *   sendmmsg:IP:PORT,IP:PORT,...
 *                         one UDP sendmmsg call, one message per address;
 *                         prints "sent N" or the errno
 *   gethostbyname:NAME    prints the first address, or "h_errno N"
 *   threads:N:ROUNDS:NAME:IP:PORT
 *                         N threads, each ROUNDS times resolving NAME and
 *                         connecting to IP:PORT; prints the counts of
 *                         connections made, refused with 222, failed
 *                         otherwise, and failed resolutions
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "probe_configure.h"

static void configure(const char *action, const char *json) {
  if (!probe_configure_entry())
    printf("%s -> no library\n", action);
  else
    printf("%s -> %s\n", action, probe_configure(json) ? "ok" : "refused");
}

/* Splits "HOST:PORT" at its last colon. */
static int split_port(const char *where, char *host, size_t size, int *port) {
  snprintf(host, size, "%s", where);
  char *colon = strrchr(host, ':');
  if (!colon) return 0;
  *colon = '\0';
  *port = atoi(colon + 1);
  return 1;
}

/* 0 on success, else the errno of the failure. */
static int connect_once(int family, const struct sockaddr *address, socklen_t length) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return errno;
  int result = connect(fd, address, length) == 0 ? 0 : errno;
  close(fd);
  return result;
}

static void report(const char *action, int error) {
  if (error == 0)
    printf("%s -> ok\n", action);
  else
    printf("%s -> errno %d\n", action, error);
}

static void resolve(const char *action, const char *name, int family) {
  struct addrinfo hints = {0}, *list = NULL;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  int code = getaddrinfo(name, NULL, &hints, &list);
  if (code != 0) {
    printf("%s -> gai %d\n", action, code);
    return;
  }
  char line[1024] = "";
  for (struct addrinfo *element = list; element; element = element->ai_next) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (element->ai_family == AF_INET)
      inet_ntop(AF_INET, &((struct sockaddr_in *)element->ai_addr)->sin_addr, text, sizeof text);
    else if (element->ai_family == AF_INET6)
      inet_ntop(AF_INET6, &((struct sockaddr_in6 *)element->ai_addr)->sin6_addr, text, sizeof text);
    if (line[0]) strncat(line, ",", sizeof line - strlen(line) - 1);
    strncat(line, text, sizeof line - strlen(line) - 1);
  }
  freeaddrinfo(list);
  printf("%s -> %s\n", action, line);
}

static struct sockaddr_in ipv4_address(const char *ip, int port) {
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)port);
  inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

static void connect_name(const char *action, const char *where) {
  char name[512];
  int port;
  if (!split_port(where, name, sizeof name, &port)) return;
  struct addrinfo hints = {0}, *list = NULL;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  int code = getaddrinfo(name, NULL, &hints, &list);
  if (code != 0) {
    printf("%s -> gai %d\n", action, code);
    return;
  }
  struct sockaddr_in address = *(struct sockaddr_in *)list->ai_addr;
  freeaddrinfo(list);
  address.sin_port = htons((unsigned short)port);
  report(action, connect_once(AF_INET, (struct sockaddr *)&address, sizeof address));
}

struct thread_work {
  int rounds;
  const char *name;
  struct sockaddr_in address;
  int made, refused, failed, unresolved;
};

static void *thread_main(void *argument) {
  struct thread_work *work = argument;
  for (int round = 0; round < work->rounds; ++round) {
    struct addrinfo hints = {0}, *list = NULL;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(work->name, NULL, &hints, &list) == 0)
      freeaddrinfo(list);
    else
      ++work->unresolved;
    int error = connect_once(AF_INET, (struct sockaddr *)&work->address, sizeof work->address);
    if (error == 0)
      ++work->made;
    else if (error == 222)
      ++work->refused;
    else
      ++work->failed;
  }
  return NULL;
}

static void threads(const char *action, const char *where) {
  int count, rounds, port;
  char name[256], ip[64];
  if (sscanf(where, "%d:%d:%255[^:]:%63[^:]:%d", &count, &rounds, name, ip, &port) != 5 || count < 1 || count > 64)
    return;
  pthread_t ids[64];
  struct thread_work work[64];
  for (int i = 0; i < count; ++i) {
    work[i] = (struct thread_work){rounds, name, ipv4_address(ip, port), 0, 0, 0, 0};
    pthread_create(&ids[i], NULL, thread_main, &work[i]);
  }
  int made = 0, refused = 0, failed = 0, unresolved = 0;
  for (int i = 0; i < count; ++i) {
    pthread_join(ids[i], NULL);
    made += work[i].made;
    refused += work[i].refused;
    failed += work[i].failed;
    unresolved += work[i].unresolved;
  }
  printf("%s -> made %d refused %d failed %d unresolved %d\n", action, made, refused, failed, unresolved);
}

static void send_many(const char *action, const char *list) {
  struct sockaddr_in addresses[8];
  struct mmsghdr messages[8];
  struct iovec data = {(void *)"x", 1};
  char copy[512], host[64];
  int count = 0, port;
  snprintf(copy, sizeof copy, "%s", list);
  for (char *save = NULL, *item = strtok_r(copy, ",", &save); item && count < 8; item = strtok_r(NULL, ",", &save)) {
    if (!split_port(item, host, sizeof host, &port)) return;
    addresses[count] = ipv4_address(host, port);
    memset(&messages[count], 0, sizeof messages[count]);
    messages[count].msg_hdr.msg_name = &addresses[count];
    messages[count].msg_hdr.msg_namelen = sizeof addresses[count];
    messages[count].msg_hdr.msg_iov = &data;
    messages[count].msg_hdr.msg_iovlen = 1;
    ++count;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int sent = sendmmsg(fd, messages, (unsigned)count, 0);
  if (sent < 0)
    report(action, errno);
  else
    printf("%s -> sent %d\n", action, sent);
  close(fd);
}

static void host_by_name(const char *action, const char *name) {
  struct hostent *entry = gethostbyname(name);
  if (!entry || !entry->h_addr_list[0]) {
    printf("%s -> h_errno %d\n", action, h_errno);
    return;
  }
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, entry->h_addr_list[0], text, sizeof text);
  printf("%s -> %s\n", action, text);
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  for (int i = 1; i < argc; ++i) {
    const char *action = argv[i];
    char host[512];
    int port;
    if (strncmp(action, "configure:", 10) == 0) {
      configure(action, action + 10);
    } else if (strncmp(action, "resolve:", 8) == 0) {
      resolve(action, action + 8, AF_INET);
    } else if (strncmp(action, "resolveany:", 11) == 0) {
      resolve(action, action + 11, AF_UNSPEC);
    } else if (strncmp(action, "connect:", 8) == 0 && split_port(action + 8, host, sizeof host, &port)) {
      struct sockaddr_in address = ipv4_address(host, port);
      report(action, connect_once(AF_INET, (struct sockaddr *)&address, sizeof address));
    } else if (strncmp(action, "connectname:", 12) == 0) {
      connect_name(action, action + 12);
    } else if (strncmp(action, "connect6:", 9) == 0 && split_port(action + 9, host, sizeof host, &port)) {
      struct sockaddr_in6 address = {0};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons((unsigned short)port);
      inet_pton(AF_INET6, host, &address.sin6_addr);
      report(action, connect_once(AF_INET6, (struct sockaddr *)&address, sizeof address));
    } else if (strncmp(action, "connectunix:", 12) == 0) {
      struct sockaddr_un address = {0};
      address.sun_family = AF_UNIX;
      size_t length = strlen(action + 12);
      if (length > sizeof address.sun_path - 1) length = sizeof address.sun_path - 1;
      memcpy(address.sun_path + 1, action + 12, length); /* abstract: leading NUL */
      report(action, connect_once(AF_UNIX, (struct sockaddr *)&address,
                                  (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + length)));
    } else if (strcmp(action, "connectnull") == 0) {
      report(action, connect_once(AF_INET, NULL, sizeof(struct sockaddr_in)));
    } else if (strncmp(action, "connectshort:", 13) == 0 && split_port(action + 13, host, sizeof host, &port)) {
      struct sockaddr_in address = ipv4_address(host, port);
      report(action, connect_once(AF_INET, (struct sockaddr *)&address, sizeof address - 1));
    } else if (strncmp(action, "sendmmsg:", 9) == 0) {
      send_many(action, action + 9);
    } else if (strncmp(action, "gethostbyname:", 14) == 0) {
      host_by_name(action, action + 14);
    } else if (strncmp(action, "threads:", 8) == 0) {
      threads(action, action + 8);
    } else {
      printf("%s -> unknown action\n", action);
    }
  }
  return 0;
}
