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
#include "core/diagnostics.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <link.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>

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

constexpr std::string_view RESOLVER_LIBRARY_SUFFIX = "/libresolv.so.2";
constexpr std::string_view RESOLVER_FUNCTION = "getaddrinfo";

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

void record_address(const char *node, const sockaddr *address) {
  char ip[INET_ADDRSTRLEN];
  const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address);
  inet_ntop(AF_INET, &ipv4->sin_addr, ip, sizeof ip);
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
  memcpy(entry->ip, ip, sizeof ip);

  int rc = dns_db_lock != nullptr ? pthread_rwlock_wrlock(dns_db_lock) : EINVAL;
  if (rc != 0) {
    print_message(message_stream::error, "[INTERCEPTOR] hooked_getaddrinfo: Cannot acquire dns db lock: %s", strerror(rc));
    release_entry(entry);
    return;
  }
  dns_db_entry *replaced = nullptr;
  HASH_REPLACE_STR(dns_db, ip, entry, replaced);
  pthread_rwlock_unlock(dns_db_lock);
  if (replaced != nullptr) release_entry(replaced);
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



// dladdr walks the caller's whole symbol table: in a program whose runtime is
// linked into one large executable that costs far more than the connection
// (some 0.4 ms a call for Node.js). Its answer for one call site changes only
// when objects are loaded or unloaded, so each thread keeps its answers for
// its last few call sites, tagged with the loader's counts of both. (For a
// caller in the main program dladdr names the file after argv[0]; a program
// that rewrites its argv[0] later keeps the answer of the first call.)
struct caller_answer {
  const void *address;
  unsigned long long loads;
  unsigned long long unloads;
  bool resolver;
};
constexpr unsigned CALLER_ANSWERS = 8;
thread_local caller_answer caller_answers[CALLER_ANSWERS];
thread_local unsigned next_caller_answer = 0;

struct load_counts {
  unsigned long long loads;
  unsigned long long unloads;
};

int read_load_counts(dl_phdr_info *info, size_t size, void *data) {
  if (size < offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) return -1;
  *static_cast<load_counts *>(data) = {info->dlpi_adds, info->dlpi_subs};
  return 1;
}

}  // namespace

bool connect_caller_is_resolver(const void *return_address) {
  loader_scope loader;
  load_counts counts{};
  const bool counted = dl_iterate_phdr(read_load_counts, &counts) == 1;
  if (counted)
    for (const caller_answer &answer : caller_answers)
      if (answer.address == return_address && answer.loads == counts.loads && answer.unloads == counts.unloads)
        return answer.resolver;
  Dl_info info;
  const bool resolver = dladdr(return_address, &info) != 0 && is_resolver_caller(info.dli_fname, info.dli_sname);
  if (counted) caller_answers[next_caller_answer++ % CALLER_ANSWERS] = {return_address, counts.loads, counts.unloads, resolver};
  return resolver;
}

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

  // Malformed addresses go to the kernel, which rejects them itself.
  if (addr == nullptr || addrlen < sizeof(sockaddr_in) || addr->sa_family != AF_INET)
    return real_connect(sockfd, addr, addrlen);
  if (resolver_depth > 0 || connect_caller_is_resolver(return_address)) return real_connect(sockfd, addr, addrlen);

  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(addr)->sin_addr, ip, sizeof ip);

  hostname_copy hostname;
  if (lookup_hostname(ip, &hostname) == lookup_result::failed) return real_connect(sockfd, addr, addrlen);

  int verdict = judge_connection(ip, hostname.text);
  if (verdict != 0) {
    errno = verdict;
    return -1;
  }
  return real_connect(sockfd, addr, addrlen);
}
