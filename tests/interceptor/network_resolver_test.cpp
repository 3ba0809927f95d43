// The resolver's own traffic: who calls (the objects' own identity) and
// where to (port 53 of a listed name server).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <filesystem>
#include <fstream>

#include "interceptor/dns_message.hpp"
#include "interceptor/interceptor.hpp"
#include "process_runner.hpp"
#include "scratch_directory.hpp"

namespace {

const void *inside(void *function, int offset) { return static_cast<const char *>(function) + offset; }

void *symbol_of(const std::string &file, const char *name, void **handle) {
  *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  return *handle ? dlsym(*handle, name) : nullptr;
}

// The C library's own function (a sanitizer build puts its interceptor
// under the plain name).
void *libc_function(const char *name) {
  void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  void *function = libc ? dlsym(libc, name) : nullptr;
  if (libc) dlclose(libc);
  return function;
}

TEST(ResolverCaller, KnownByTheObjectsOwnNameNotByItsFileName) {
  find_resolver_objects();
  EXPECT_TRUE(caller_is_resolver(inside(libc_function("getaddrinfo"), 16)));
  EXPECT_FALSE(caller_is_resolver(inside(libc_function("freeaddrinfo"), 4)));
  EXPECT_FALSE(caller_is_resolver(reinterpret_cast<const void *>(&inside))) << "the main program";

  // Loaded after start-up: found by a new scan.
  void *libresolv = nullptr;
  void *in_libresolv = symbol_of("libresolv.so.2", "ns_initparse", &libresolv);
  ASSERT_NE(in_libresolv, nullptr) << dlerror();
  EXPECT_TRUE(caller_is_resolver(inside(in_libresolv, 8)));

  // Another library under the file name libresolv.so.2 is not the resolver.
  scratch_directory scratch;
  const std::string impostor = scratch.file("libresolv.so.2");
  std::filesystem::copy_file(plain_shared_object(), impostor);
  void *impostor_handle = nullptr;
  void *in_impostor = symbol_of(impostor, "cJSON_Version", &impostor_handle);
  ASSERT_NE(in_impostor, nullptr) << dlerror();
  Dl_info info;
  ASSERT_NE(dladdr(in_impostor, &info), 0);
  ASSERT_STREQ(info.dli_fname, impostor.c_str()) << "the impostor is a copy of its own";
  EXPECT_FALSE(caller_is_resolver(inside(in_impostor, 4)));
  dlclose(impostor_handle);
  dlclose(libresolv);
}

destination to(const char *ip, uint16_t port) {
  destination result{};
  sockaddr_in6 v6{};
  sockaddr_in v4{};
  if (inet_pton(AF_INET, ip, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    EXPECT_TRUE(read_destination(reinterpret_cast<sockaddr *>(&v4), sizeof v4, &result));
  } else {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, ip, &v6.sin6_addr), 1) << ip;
    EXPECT_TRUE(read_destination(reinterpret_cast<sockaddr *>(&v6), sizeof v6, &result));
  }
  return result;
}

TEST(ResolverTraffic, OnlyPort53OfListedNameServers) {
  scratch_directory scratch;
  std::ofstream(scratch.file("resolv.conf"))
      << "# comment\nsearch example.com\nnameserver 10.0.0.2\nnameserver\tfd00::53\n"
         "nameserver fe80::1%eth0\noptions ndots:1 nameserver 10.9.9.9\n";
  read_name_servers(scratch.file("resolv.conf").c_str());
  struct row {
    const char *ip;
    uint16_t port;
    bool resolution;
  };
  const row rows[] = {
      {"10.0.0.2", 53, true},       {"::ffff:10.0.0.2", 53, true}, {"fd00::53", 53, true},
      {"fe80::1", 53, true},        {"10.0.0.2", 443, false},     {"10.0.0.3", 53, false},
      {"fd00::54", 53, false},      {"10.9.9.9", 53, false},
  };
  for (const row &r : rows) EXPECT_EQ(is_name_server_query(to(r.ip, r.port)), r.resolution) << r.ip << ":" << r.port;
  read_name_servers("/nonexistent/resolv.conf");
  EXPECT_FALSE(is_name_server_query(to("10.0.0.2", 53)));
}

// A query's questions as the lookup judgement reads them; a message that is
// not a plain query reads as none (and is judged as a connection).
TEST(DnsMessage, QuestionsAndTheNameErrorThatAnswersThem) {
  const std::string header("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  const std::string type_class("\x00\x01\x00\x01", 4);
  struct row {
    std::string message;
    const char *name;  // null: not a query to read
  };
  const row rows[] = {
      {header + std::string("\x03" "Abc\x07" "example\x00", 13) + type_class, "abc.example"},
      {header + std::string("\x05" "a.b\\c\x00", 7) + type_class, "a\\046b\\092c"},
      {header + std::string("\x00", 1) + type_class, "."},
      {header + std::string("\x03" "abc\x00", 5) + "\x00", nullptr},          // cut short
      {header + std::string("\xc0\x0c", 2) + type_class, nullptr},            // compressed
      {"\x12\x34\x81\x80" + header.substr(4) + std::string("\x00", 1) + type_class, nullptr},  // a response
      {header.substr(0, 5) + std::string("\x00", 1) + header.substr(6) + std::string("\x00", 1) + type_class,
       nullptr},  // no question
  };
  for (const row &r : rows) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(r.message.data());
    const size_t end = dns_questions_end(bytes, r.message.size());
    EXPECT_EQ(end != 0, r.name != nullptr) << r.message.size();
    if (!r.name) continue;
    size_t at = 12;
    char name[DNS_NAME_TEXT];
    ASSERT_TRUE(dns_read_question(bytes, r.message.size(), &at, name));
    EXPECT_STREQ(name, r.name);
    unsigned char reply[512];
    ASSERT_EQ(dns_name_error(bytes, end, reply, sizeof reply), end);
    EXPECT_EQ(reply[2], 0x81) << "a response, recursion desired as asked";
    EXPECT_EQ(reply[3] & 0x0f, 3) << "no such name";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply) + 12, end - 12), r.message.substr(12, end - 12));
  }
}

}  // namespace
