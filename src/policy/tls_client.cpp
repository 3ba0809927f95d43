// One HTTPS request to the analytics endpoint, on the libssl entry points
// resolved at the process's first send. Every outcome goes to the
// function's log through report_alert.
//
// The exchange runs on the caller's thread inside a configuration call, so
// it is bounded: the connection is made without blocking and waited for at
// most EXCHANGE_TIMEOUT_SECONDS, and the socket then carries that time-out
// for the handshake, the request and each read; the reply loop also stops
// at the overall deadline.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "policy/policy.hpp"

namespace {

// OpenSSL 1.0 control codes used through the generic control calls.
constexpr int SSL_CTRL_OPTIONS = 32;
constexpr long SSL_OP_NO_SSLv2 = 0x01000000L;
constexpr long SSL_OP_NO_SSLv3 = 0x02000000L;
constexpr long SSL_OP_NO_COMPRESSION = 0x00020000L;
constexpr int BIO_C_SET_CONNECT = 100;
constexpr int BIO_C_DO_STATE_MACHINE = 101;
constexpr int BIO_C_SET_NBIO = 102;
constexpr int BIO_C_GET_FD = 105;
constexpr int BIO_C_GET_SSL = 110;
constexpr int SSL_CTRL_SET_TLSEXT_HOSTNAME = 55;
constexpr long TLSEXT_NAMETYPE_host_name = 0;
constexpr int BIO_FLAGS_SHOULD_RETRY = 8;
constexpr int BIO_NOCLOSE = 0;

constexpr const char *CIPHER_LIST = "HIGH:!aNULL:!kRSA:!PSK:!SRP:!MD5:!RC4";
constexpr int REPLY_BUFFER_SIZE = 1536;
constexpr int EXCHANGE_TIMEOUT_SECONDS = 5;

static_assert((SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_NO_COMPRESSION) == 0x3020000L);

long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

bool should_retry(bio_st *bio) { return ssl_api.BIO_test_flags(bio, BIO_FLAGS_SHOULD_RETRY) != 0; }

int socket_of(bio_st *chain) {
  int fd = -1;
  ssl_api.BIO_ctrl(chain, BIO_C_GET_FD, 0, &fd);
  return fd;
}

// BIO_do_connect, bounded. On the TLS chain it makes the TCP connection and
// the TLS handshake; both run without blocking while we wait on the socket.
// The socket is then made blocking again with send and receive time-outs,
// so the rest of the exchange cannot hang either.
long bounded_connect(bio_st *chain, long deadline) {
  ssl_api.BIO_ctrl(chain, BIO_C_SET_NBIO, 1, nullptr);
  long result = ssl_api.BIO_ctrl(chain, BIO_C_DO_STATE_MACHINE, 0, nullptr);
  // First the TCP connection (the socket turns writable), then the TLS
  // exchange, which from then on waits for the peer's data.
  bool tcp_connected = false;
  while (result <= 0 && should_retry(chain)) {
    int fd = socket_of(chain);
    long left = deadline - now_ms();
    if (fd < 0 || left <= 0) return 0;
    pollfd waiting{fd, static_cast<short>(tcp_connected ? POLLIN : POLLOUT), 0};
    if (poll(&waiting, 1, static_cast<int>(left)) <= 0) return 0;
    tcp_connected = true;
    result = ssl_api.BIO_ctrl(chain, BIO_C_DO_STATE_MACHINE, 0, nullptr);
  }
  if (result <= 0) return result;
  int fd = socket_of(chain);
  if (fd >= 0) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval limit{EXCHANGE_TIMEOUT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  return result;
}

void read_reply(bio_st *chain, long deadline) {
  char reply[REPLY_BUFFER_SIZE];
  for (;;) {
    int n = ssl_api.BIO_read(chain, reply, sizeof reply);
    if (n > 0) continue;
    if (!should_retry(chain) || now_ms() >= deadline) return;
  }
}

}  // namespace

void post_analytics(char *record) {
  // Resolving through the intercepted getaddrinfo records the endpoint's
  // addresses under ANALYTICS_HOST, which the outbound rule exempts.
  addrinfo *resolved = nullptr;
  if (getaddrinfo(ANALYTICS_HOST, nullptr, nullptr, &resolved) == 0) freeaddrinfo(resolved);

  const ssl_method_st *method = ssl_api.SSLv23_method();
  if (!method) {
    report_alert("cannot create SSL method");
    free(record);
    return;
  }
  ssl_ctx_st *context = ssl_api.SSL_CTX_new(method);
  if (!context) {
    report_alert("cannot create SSL_CTX");
    free(record);
    return;
  }
  ssl_api.SSL_CTX_ctrl(context, SSL_CTRL_OPTIONS, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_NO_COMPRESSION,
                       nullptr);

  bio_st *chain = ssl_api.BIO_new_ssl_connect(context);
  if (!chain) {
    report_alert("cannot create ssl connection");
    ssl_api.SSL_CTX_free(context);
    free(record);
    return;
  }
  char target[512];
  snprintf(target, sizeof target, "%s:%s", ANALYTICS_HOST, ANALYTICS_PORT);
  ssl_api.BIO_ctrl(chain, BIO_C_SET_CONNECT, 0, target);

  bio_st *out = nullptr;
  ssl_st *ssl = nullptr;
  ssl_api.BIO_ctrl(chain, BIO_C_GET_SSL, 0, &ssl);
  if (!ssl) {
    report_alert("cannot retrieve ssl pointer");
  } else if (ssl_api.SSL_set_cipher_list(ssl, CIPHER_LIST) == 0) {
    report_alert("cannot set cipher list");
  } else if (ssl_api.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                              const_cast<char *>(ANALYTICS_HOST)) == 0) {
    report_alert("cannot set tls host name");
  } else if (!(out = ssl_api.BIO_new_fp(stdout, BIO_NOCLOSE))) {
    report_alert("cannot create out");
  } else {
    long deadline = now_ms() + EXCHANGE_TIMEOUT_SECONDS * 1000L;
    if (bounded_connect(chain, deadline) <= 0) {
      report_alert("cannot connect");
    } else if (ssl_api.BIO_ctrl(chain, BIO_C_DO_STATE_MACHINE, 0, nullptr) <= 0) {
      report_alert("cannot handshake");
    } else {
      ssl_api.BIO_printf(chain,
                         "POST /analytics HTTP/1.1\r\nHost: %s\r\nAccept: */*\r\n"
                         "Content-Type: application/json\r\nContent-Length: %ld\r\n"
                         "Connection: close\r\n\r\n%s\r\n",
                         ANALYTICS_HOST, static_cast<long>(strlen(record)), record);
      ssl_api.BIO_puts(out, "\n");
      read_reply(chain, deadline);
      report_alert(record);
    }
    ssl_api.BIO_free(out);
  }
  ssl_api.BIO_free_all(chain);
  ssl_api.SSL_CTX_free(context);
  free(record);
}
