#include "network_fakes.hpp"

#include <arpa/inet.h>
#include <cjson/cJSON.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

namespace network_fakes {

// ---- scripted resolver ---------------------------------------------------------


static std::mutex script_mutex;
static std::map<std::string, scripted_answer> script;  // key: node, or "" for null

static addrinfo *make_element(const std::string &address) {
  auto *element = static_cast<addrinfo *>(calloc(1, sizeof(addrinfo)));
  element->ai_socktype = SOCK_STREAM;
  if (address.rfind("v6:", 0) == 0) {
    auto *in6 = static_cast<sockaddr_in6 *>(calloc(1, sizeof(sockaddr_in6)));
    in6->sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, address.c_str() + 3, &in6->sin6_addr), 1);
    element->ai_family = AF_INET6;
    element->ai_addr = reinterpret_cast<sockaddr *>(in6);
    element->ai_addrlen = sizeof(sockaddr_in6);
  } else {
    auto *in4 = static_cast<sockaddr_in *>(calloc(1, sizeof(sockaddr_in)));
    in4->sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &in4->sin_addr), 1);
    element->ai_family = AF_INET;
    element->ai_addr = reinterpret_cast<sockaddr *>(in4);
    element->ai_addrlen = sizeof(sockaddr_in);
  }
  return element;
}

void free_list(addrinfo *list) {
  while (list) {
    addrinfo *next = list->ai_next;
    free(list->ai_addr);
    free(list);
    list = next;
  }
}

static int scripted_getaddrinfo(const char *node, const char *, const addrinfo *, addrinfo **res) {
  scripted_answer answer;
  {
    std::lock_guard<std::mutex> lock(script_mutex);
    auto found = script.find(node ? node : "");
    if (found == script.end()) return EAI_NONAME;
    answer = found->second;
  }
  if (answer.during) answer.during();
  if (answer.code != 0 && !answer.list_despite_failure) return answer.code;
  addrinfo *head = nullptr, **tail = &head;
  for (const auto &address : answer.addresses) {
    *tail = make_element(address);
    tail = &(*tail)->ai_next;
  }
  *res = head;
  return answer.code;
}

void set_answer(const std::string &node, scripted_answer answer) {
  std::lock_guard<std::mutex> lock(script_mutex);
  script[node] = std::move(answer);
}

// Resolves through the replacement and frees the list; returns the code.
int resolve(const char *node, const char *service) {
  addrinfo *list = nullptr;
  int code = hooked_getaddrinfo(node, service, nullptr, &list);
  if (code == 0) free_list(list);
  return code;
}

// ---- recording connect and callback ----------------------------------------

std::mutex record_mutex;
std::vector<std::string> real_connects;  // "ip:port", or "family <n>" for others
std::vector<std::string> events;         // event texts as the callback saw them
std::atomic<int> verdict_to_answer{0};
std::atomic<int> real_connect_result{0};
std::atomic<int> real_connect_errno{0};
// Runs inside the callback (nested resolutions and connections).
std::function<void(const std::string &)> inside_judgement;

static int recording_connect(int, const sockaddr *addr, socklen_t) {
  std::string entry;
  if (addr && addr->sa_family == AF_INET) {
    const auto *in4 = reinterpret_cast<const sockaddr_in *>(addr);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    entry = std::string(text) + ":" + std::to_string(ntohs(in4->sin_port));
  } else {
    entry = addr ? "family " + std::to_string(addr->sa_family) : "null";
  }
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    real_connects.push_back(entry);
  }
  if (real_connect_result != 0) errno = real_connect_errno;
  return real_connect_result;
}

static int recording_callback(const char *text) {
  std::string event = text ? text : "";
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    events.push_back(event);
  }
  if (inside_judgement) inside_judgement(event);
  return verdict_to_answer;
}

// The "args" member of an event text, printed unformatted.
std::string args_of(const std::string &event_text) {
  cJSON *event = cJSON_Parse(event_text.c_str());
  if (!event) return "unparseable: " + event_text;
  std::string result;
  cJSON *name = cJSON_GetObjectItemCaseSensitive(event, "name");
  cJSON *args = cJSON_GetObjectItemCaseSensitive(event, "args");
  if (!cJSON_IsString(name) || std::string(name->valuestring) != "connect") {
    result = "not a connect event: " + event_text;
  } else if (args) {
    char *printed = cJSON_PrintUnformatted(args);
    result = printed;
    cJSON_free(printed);
  }
  cJSON_Delete(event);
  return result;
}

sockaddr_in ipv4(const char *text, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, text, &address.sin_addr);
  return address;
}

int connect_to(const char *ip, uint16_t port) {
  sockaddr_in address = ipv4(ip, port);
  return hooked_connect(-1, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

// Connects and returns the event's arguments ("" when no event was sent).
std::string judged_args(const char *ip, uint16_t port) {
  size_t before;
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    before = events.size();
  }
  connect_to(ip, port);
  std::lock_guard<std::mutex> lock(record_mutex);
  if (events.size() == before) return "";
  EXPECT_EQ(events.size(), before + 1) << "one connect, one event";
  return args_of(events.back());
}

void run_with_deadline(const std::function<void()> &work, int seconds) {
  std::mutex mutex;
  std::condition_variable done_signal;
  bool done = false;
  std::thread worker([&] {
    work();
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    done_signal.notify_one();
  });
  std::unique_lock<std::mutex> lock(mutex);
  if (!done_signal.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; })) {
    fprintf(stderr, "deadlock: the work did not finish within %d s\n", seconds);
    abort();
  }
  lock.unlock();
  worker.join();
}

void NetworkFakes::SetUp() {
  saved_callback_ = registered_callback;
  saved_connect_ = real_connect;
  saved_getaddrinfo_ = real_getaddrinfo;
  saved_lock_ = dns_db_lock;
  // The table lives for the process; so does its lock once made here.
  static pthread_rwlock_t test_lock = PTHREAD_RWLOCK_INITIALIZER;
  if (!dns_db_lock) dns_db_lock = &test_lock;
  registered_callback = recording_callback;
  real_connect = recording_connect;
  real_getaddrinfo = scripted_getaddrinfo;
  verdict_to_answer = 0;
  real_connect_result = 0;
  real_connect_errno = 0;
  inside_judgement = nullptr;
  real_connects.clear();
  events.clear();
}

void NetworkFakes::TearDown() {
  registered_callback = saved_callback_;
  real_connect = saved_connect_;
  real_getaddrinfo = saved_getaddrinfo_;
  dns_db_lock = saved_lock_;
  inside_judgement = nullptr;
}

}  // namespace network_fakes
