// Outbound connections and the name table that gives them host names.
//
// `connect` only sees an address, while the outbound rule judges by the
// name the function asked for. hooked_getaddrinfo therefore records, for
// every IPv4 address a resolution returns, the name that was asked for, and
// hooked_connect looks the destination up before it asks for a verdict.
//
// The resolver's own traffic (the DNS queries, the source-address probes of
// getaddrinfo) is never judged: under an outbound block it would otherwise
// refuse every lookup. It is recognised by where connect was called from
// (libresolv, or getaddrinfo itself) and, because since glibc 2.34 the
// resolver lives inside libc.so.6 where neither test matches, by a per-thread
// count of real getaddrinfo calls under way.
#include "interceptor/interceptor.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>
#include <uthash.h>

#include <string_view>

struct dns_db_entry {
  char *hostname;  // the caller's name, byte for byte
  char ip[INET_ADDRSTRLEN];  // key
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

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

struct text_guard {
  char *text;
  ~text_guard() { free(text); }
};

constexpr std::string_view RESOLVER_LIBRARY_SUFFIX = "/libresolv.so.2";
constexpr std::string_view RESOLVER_FUNCTION = "getaddrinfo";

void release_entry(dns_db_entry *entry) {
  free(entry->hostname);
  free(entry);
}

void record_address(const char *node, const sockaddr *address) {
  auto *entry = static_cast<dns_db_entry *>(calloc(1, sizeof(dns_db_entry)));
  if (entry == nullptr) return;
  size_t length = strlen(node);
  entry->hostname = static_cast<char *>(malloc(length + 1));
  if (entry->hostname == nullptr) {
    free(entry);
    return;
  }
  memcpy(entry->hostname, node, length + 1);
  const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address);
  inet_ntop(AF_INET, &ipv4->sin_addr, entry->ip, sizeof entry->ip);

  int rc = dns_db_lock != nullptr ? pthread_rwlock_wrlock(dns_db_lock) : EINVAL;
  if (rc != 0) {
    fprintf(stderr, "[INTERCEPTOR] hooked_getaddrinfo: Cannot acquire dns db lock: %s\n", strerror(rc));
    release_entry(entry);
    return;
  }
  dns_db_entry *replaced = nullptr;
  HASH_REPLACE_STR(dns_db, ip, entry, replaced);
  pthread_rwlock_unlock(dns_db_lock);
  if (replaced != nullptr) release_entry(replaced);
}

enum class lookup_result { found, not_found, failed };

// Copies the recorded name of `ip` into *hostname (malloc'd) so that it
// outlives the read lock: a concurrent resolution may free the entry.
lookup_result lookup_hostname(const char *ip, char **hostname) {
  *hostname = nullptr;
  int rc = dns_db_lock != nullptr ? pthread_rwlock_rdlock(dns_db_lock) : EINVAL;
  if (rc != 0) {
    fprintf(stderr, "[INTERCEPTOR] hooked_connect: Cannot acquire dns db lock: %s\n", strerror(rc));
    return lookup_result::failed;
  }
  dns_db_entry *entry = nullptr;
  HASH_FIND_STR(dns_db, ip, entry);
  lookup_result result = lookup_result::not_found;
  if (entry != nullptr) {
    *hostname = strdup(entry->hostname);
    result = *hostname != nullptr ? lookup_result::found : lookup_result::failed;
  }
  pthread_rwlock_unlock(dns_db_lock);
  return result;
}

bool caller_is_resolver(const void *return_address) {
  Dl_info info;
  if (dladdr(return_address, &info) == 0) return false;
  return is_resolver_caller(info.dli_fname, info.dli_sname);
}

// {"ip": ip} plus "hostname" when known; null when memory runs out.
cJSON *connect_args(const char *ip, const char *hostname) {
  cJSON *args = cJSON_CreateObject();
  if (args == nullptr) return nullptr;
  if (cJSON_AddStringToObject(args, "ip", ip) == nullptr ||
      (hostname != nullptr && cJSON_AddStringToObject(args, "hostname", hostname) == nullptr)) {
    cJSON_Delete(args);
    return nullptr;
  }
  return args;
}

}  // namespace

bool is_resolver_caller(const char *file_name, const char *symbol_name) {
  if (file_name != nullptr && std::string_view(file_name).ends_with(RESOLVER_LIBRARY_SUFFIX)) return true;
  return symbol_name != nullptr && RESOLVER_FUNCTION == symbol_name;
}

int hooked_getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                       struct addrinfo **res) {
  int code;
  {
    resolver_scope scope;
    code = real_getaddrinfo(node, service, hints, res);
  }
  if (node == nullptr || code != 0 || res == nullptr) return code;

  int saved_errno = errno;
  for (const addrinfo *element = *res; element != nullptr; element = element->ai_next) {
    if (element->ai_family != AF_INET || element->ai_addr == nullptr ||
        element->ai_addrlen < sizeof(sockaddr_in))
      continue;
    record_address(node, element->ai_addr);
  }
  errno = saved_errno;
  return code;
}

int hooked_connect(int sockfd, const struct sockaddr *addr, socklen_t addrlen) {
  // Reached by jumps from the patched entry, so this is the caller's own
  // return address.
  const void *return_address = __builtin_return_address(0);

  // Malformed addresses go to the kernel, which rejects them itself.
  if (addr == nullptr || addrlen < sizeof(sockaddr_in) || addr->sa_family != AF_INET)
    return real_connect(sockfd, addr, addrlen);
  if (resolver_depth > 0 || caller_is_resolver(return_address)) return real_connect(sockfd, addr, addrlen);

  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(addr)->sin_addr, ip, sizeof ip);

  text_guard hostname{nullptr};
  if (lookup_hostname(ip, &hostname.text) == lookup_result::failed) return real_connect(sockfd, addr, addrlen);

  json_guard args{connect_args(ip, hostname.text)};
  // Without its arguments the event could not be judged fairly.
  if (args.item == nullptr) return real_connect(sockfd, addr, addrlen);

  int verdict = judge_event("connect", args.item);
  if (verdict != 0) {
    errno = verdict;
    return -1;
  }
  return real_connect(sockfd, addr, addrlen);
}
