// Outbound connections and the name table that gives them host names.
//
// `connect` only sees an address, while the outbound rule judges by the
// name the function asked for. hooked_getaddrinfo therefore records, for
// every address a resolution returns, the name that was asked for, and
// hooked_connect looks the destination up before it asks for a verdict.
// The table keeps the most recent DNS_TABLE_LIMIT addresses: the oldest
// entry goes when a new one comes, so memory stays flat in a process that
// resolves without end.
//
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is that IPv4 address to
// every rule; other IPv6 addresses go by their inet_ntop text.
//
// The resolver's own connections are not judged as connections
// (resolver_traffic.cpp): the caller is libresolv or getaddrinfo (its
// source-address probes), or (since glibc 2.34 the resolver lives inside
// libc.so.6) a real getaddrinfo call made by hooked_getaddrinfo is under
// way on the thread. A connection to port 53 of a listed name server is let
// through and its socket marked: the lookups on it are judged by name as
// they leave (dns_wire.cpp).
//
// The name table keys an address by the name the name server answered
// (search domains and aliases included), not the caller's text, so that a
// search domain set by the function cannot file its own address under an
// exempt name.
#include "interceptor/interceptor.hpp"
#include "core/diagnostics.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>

#include <uthash.h>

struct dns_db_entry {
  char *hostname;  // the caller's name, byte for byte
  char ip[INET6_ADDRSTRLEN];  // key
  UT_hash_handle hh;
};

namespace {

// Head of the name table; guarded by dns_db_lock, never cleared.
dns_db_entry *dns_db = nullptr;

// Real getaddrinfo calls under way on this thread, made by hooked_getaddrinfo.
thread_local int resolver_depth = 0;

struct resolver_scope {
  resolver_scope() { ++resolver_depth; }
  ~resolver_scope() { --resolver_depth; }
  resolver_scope(const resolver_scope &) = delete;
  resolver_scope &operator=(const resolver_scope &) = delete;
};

// Addresses kept in the name table; the oldest goes first.
constexpr unsigned DNS_TABLE_LIMIT = 4096;

void release_entry(dns_db_entry *entry) {
  free(entry->hostname);
  free(entry);
}

// True when `ip` is recorded under exactly `node` already: replacing that
// entry by an equal one would change nothing. A name resolved again and
// again (and the one address listed once per socket type) then costs a read
// lock instead of two allocations and a write lock.
bool already_recorded(const char *ip, const char *node) {
  if (dns_db_lock == nullptr || pthread_rwlock_rdlock(dns_db_lock) != 0) return false;
  dns_db_entry *entry = nullptr;
  HASH_FIND_STR(dns_db, ip, entry);
  const bool same = entry != nullptr && strcmp(entry->hostname, node) == 0;
  pthread_rwlock_unlock(dns_db_lock);
  return same;
}

void record_address(const char *node, const char *ip) {
  if (already_recorded(ip, node)) return;

  auto *entry = static_cast<dns_db_entry *>(calloc(1, sizeof(dns_db_entry)));
  if (entry == nullptr) return;
  size_t length = strlen(node);
  entry->hostname = static_cast<char *>(malloc(length + 1));
  if (entry->hostname == nullptr) {
    free(entry);
    return;
  }
  memcpy(entry->hostname, node, length + 1);
  memcpy(entry->ip, ip, strlen(ip) + 1);

  int rc = dns_db_lock != nullptr ? pthread_rwlock_wrlock(dns_db_lock) : EINVAL;
  if (rc != 0) {
    print_message(message_stream::error, "[INTERCEPTOR] hooked_getaddrinfo: Cannot acquire dns db lock: %s", strerror(rc));
    release_entry(entry);
    return;
  }
  dns_db_entry *replaced = nullptr;
  HASH_REPLACE_STR(dns_db, ip, entry, replaced);
  // The table is in insertion order (a replaced entry goes to the end), so
  // its head is the oldest.
  dns_db_entry *evicted = nullptr;
  if (replaced == nullptr && HASH_COUNT(dns_db) > DNS_TABLE_LIMIT) {
    evicted = dns_db;
    HASH_DEL(dns_db, evicted);
  }
  pthread_rwlock_unlock(dns_db_lock);
  if (replaced != nullptr) release_entry(replaced);
  if (evicted != nullptr) release_entry(evicted);
}

enum class lookup_result { found, not_found, failed };

// A copy of a recorded host name that outlives the read lock (a concurrent
// resolution may free the entry): on the stack when it fits, else malloc'd.
struct hostname_copy {
  char local[256];
  char *allocated = nullptr;
  const char *text = nullptr;
  ~hostname_copy() { free(allocated); }
  bool take(const char *name) {
    const size_t length = strlen(name);
    if (length < sizeof local) {
      memcpy(local, name, length + 1);
      text = local;
    } else {
      allocated = strdup(name);
      text = allocated;
    }
    return text != nullptr;
  }
};

lookup_result lookup_hostname(const char *ip, hostname_copy *hostname) {
  int rc = dns_db_lock != nullptr ? pthread_rwlock_rdlock(dns_db_lock) : EINVAL;
  if (rc != 0) {
    print_message(message_stream::error, "[INTERCEPTOR] hooked_connect: Cannot acquire dns db lock: %s", strerror(rc));
    return lookup_result::failed;
  }
  dns_db_entry *entry = nullptr;
  HASH_FIND_STR(dns_db, ip, entry);
  lookup_result result = lookup_result::not_found;
  if (entry != nullptr) result = hostname->take(entry->hostname) ? lookup_result::found : lookup_result::failed;
  pthread_rwlock_unlock(dns_db_lock);
  return result;
}

}  // namespace

bool read_destination(const sockaddr *addr, socklen_t length, destination *to) {
  if (addr == nullptr) return false;
  if (addr->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(addr);
    to->address = in6_addr{};
    to->address.s6_addr[10] = to->address.s6_addr[11] = 0xff;
    memcpy(&to->address.s6_addr[12], &ipv4->sin_addr, 4);
    to->port = ntohs(ipv4->sin_port);
  } else if (addr->sa_family == AF_INET6 && length >= offsetof(sockaddr_in6, sin6_scope_id)) {
    // The kernel takes the 24-byte form without the scope as well.
    const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(addr);
    memcpy(&to->address, &ipv6->sin6_addr, sizeof to->address);
    to->port = ntohs(ipv6->sin6_port);
  } else {
    return false;
  }
  if (IN6_IS_ADDR_V4MAPPED(&to->address))
    inet_ntop(AF_INET, &to->address.s6_addr[12], to->ip, sizeof to->ip);
  else
    inet_ntop(AF_INET6, &to->address, to->ip, sizeof to->ip);
  return true;
}

int judge_destination(const destination &to, const void *return_address) {
  if (resolver_depth > 0 || caller_is_resolver(return_address)) return 0;
  hostname_copy hostname;
  if (lookup_hostname(to.ip, &hostname) == lookup_result::failed) return 0;
  return judge_connection(to.ip, hostname.text);
}

int hooked_getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                       struct addrinfo **res) {
  int code;
  resolution_scope resolution;
  {
    resolver_scope scope;
    code = real_getaddrinfo(node, service, hints, res);
  }
  // A refused question fails the way a name that does not exist fails, also
  // where the resolver could not be answered so (over TCP).
  if (code != 0 && resolution.refused && code != EAI_NONAME) return EAI_NONAME;
  if (node == nullptr || code != 0 || res == nullptr) return code;

  int saved_errno = errno;
  // No question left: a literal, localhost, /etc/hosts; the caller's text.
  const char *answered = resolution.answered[0] ? resolution.answered : node;
  for (const addrinfo *element = *res; element != nullptr; element = element->ai_next) {
    destination to;
    if ((element->ai_family == AF_INET || element->ai_family == AF_INET6) &&
        read_destination(element->ai_addr, element->ai_addrlen, &to))
      record_address(answered, to.ip);
  }
  errno = saved_errno;
  return code;
}

int judge_connection(const char *ip, const char *hostname) {
  if (!registered_callback) return 0;
  char buffer[512];
  json_text event(buffer, sizeof buffer);
  begin_event(event, "connect");
  event.begin_object();
  event.member("ip", ip);
  if (hostname) event.member("hostname", hostname);
  event.end_object();
  return judge_event(event);
}

int hooked_connect(int sockfd, const struct sockaddr *addr, socklen_t addrlen) {
  // Reached by jumps from the patched entry, so this is the caller's own
  // return address.
  const void *return_address = __builtin_return_address(0);
  // Other families and malformed addresses go to the kernel as they are.
  destination to;
  if (!read_destination(addr, addrlen, &to)) return real_connect(sockfd, addr, addrlen);
  if (to.port == 53 && is_name_server_query(to)) {
    mark_name_server_socket(sockfd);
    return real_connect(sockfd, addr, addrlen);
  }
  forget_name_server_socket(sockfd);
  if (int verdict = judge_destination(to, return_address)) {
    errno = verdict;
    return -1;
  }
  return real_connect(sockfd, addr, addrlen);
}
