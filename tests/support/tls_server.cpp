#include "tls_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// A throw-away self-signed certificate for localhost.
SSL_CTX *make_context() {
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *cert = X509_new();
  if (!key || !cert) return nullptr;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1,
                             -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  SSL_CTX *context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(context, cert);
  SSL_CTX_use_PrivateKey(context, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return context;
}

int listen_on(int family, int port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (family == AF_INET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  } else {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    rc = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  }
  if (rc != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool TlsServer::start(int port, Behaviour behaviour) {
  behaviour_ = behaviour;
  context_ = make_context();
  if (!context_) return false;
  int v4 = listen_on(AF_INET, port);
  if (v4 < 0) return false;
  listeners_.push_back(v4);
  int v6 = listen_on(AF_INET6, port);
  if (v6 >= 0) listeners_.push_back(v6);
  running_ = true;
  for (int listener : listeners_) threads_.emplace_back([this, listener] { serve(listener); });
  return true;
}

void TlsServer::stop() {
  if (!running_.exchange(false)) return;
  for (auto &thread : threads_) thread.join();
  threads_.clear();
  for (int fd : listeners_) close(fd);
  listeners_.clear();
  SSL_CTX_free(static_cast<SSL_CTX *>(context_));
  context_ = nullptr;
}

std::vector<std::string> TlsServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void TlsServer::serve(int listener) {
  while (running_) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) continue;
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++accepted_;
    handle(client);
  }
}

void TlsServer::handle(int client) {
  if (behaviour_ == Behaviour::stall) {
    // Accept and say nothing until the server stops.
    while (running_) usleep(20000);
    close(client);
    return;
  }
  timeval limit{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL *ssl = SSL_new(static_cast<SSL_CTX *>(context_));
  SSL_set_fd(ssl, client);
  std::string request;
  if (SSL_accept(ssl) == 1) {
    char buffer[4096];
    // Read the head, then as many body bytes as Content-Length says, then
    // the trailing CR LF.
    for (;;) {
      int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
      size_t head_end = request.find("\r\n\r\n");
      if (head_end == std::string::npos) continue;
      size_t length_at = request.find("Content-Length: ");
      size_t length = length_at == std::string::npos ? 0 : std::stoul(request.substr(length_at + 16));
      if (request.size() >= head_end + 4 + length + 2) break;
    }
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    SSL_write(ssl, reply, sizeof reply - 1);
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  close(client);
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
}
