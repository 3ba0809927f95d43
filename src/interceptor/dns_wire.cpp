// Name lookups judged where they leave: each question a message to port 53
// of a listed name server carries is judged by name ("lookup") before the
// message goes. This sees every resolver of the process at once (the C
// library's in all its entry points, c-ares in Node.js, a query the
// function builds itself) and only when something would go on the wire:
// literals, localhost and /etc/hosts answers are no lookups.
//
// A socket connected to a name server's port 53 is marked here, by
// descriptor; what is written on it (send, sendto and sendmsg without an
// address, sendmmsg, write, writev) is read as DNS. A stale mark (the
// descriptor closed and reused) is found out by the peer check made at each
// use, so a write elsewhere costs one load. A message that is no query to
// read is judged as a connection to the name server, with no host name.
//
// A refused question on a datagram socket is answered "no such name" by the
// socket itself: it is connected to its own address for one datagram, and
// recvfrom gives the name server as its sender. The resolver then fails as
// for a name that does not exist (EAI_NONAME, HOST_NOT_FOUND, a name error
// to c-ares), and nothing leaves. On a stream, or a datagram sent with an
// address, the send fails with the verdict.
#include "interceptor/interceptor.hpp"
#include "interceptor/dns_message.hpp"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>

#include "core/core.hpp"

namespace {

constexpr int MARKED_DESCRIPTORS = 1 << 16;
constexpr unsigned char MARK_DATAGRAM = 1, MARK_STREAM = 2, MARK_ANSWERED = 4;
TESSELGUARD_RARELY_USED std::atomic<unsigned char> marks[MARKED_DESCRIPTORS];

thread_local resolution_scope *current_resolution = nullptr;

unsigned char mark_of(int fd) {
  return fd >= 0 && fd < MARKED_DESCRIPTORS ? marks[fd].load(std::memory_order_relaxed) : 0;
}

bool same_address(const sockaddr_storage &a, const sockaddr_storage &b) {
  destination x, y;
  return read_destination(reinterpret_cast<const sockaddr *>(&a), sizeof a, &x) &&
         read_destination(reinterpret_cast<const sockaddr *>(&b), sizeof b, &y) && x.port == y.port &&
         memcmp(&x.address, &y.address, sizeof x.address) == 0;
}

// The name server a marked descriptor is still connected to; false (and
// the mark gone) when it is no longer such a socket.
bool marked_server(int fd, destination *server) {
  sockaddr_storage peer;
  socklen_t length = sizeof peer;
  const int saved_errno = errno;
  const bool connected = getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 &&
                         read_destination(reinterpret_cast<sockaddr *>(&peer), length, server) &&
                         server->port == 53 && is_name_server_query(*server);
  errno = saved_errno;
  if (!connected) forget_name_server_socket(fd);
  return connected;
}

int judge_question(const char *name) {
  resolution_scope *scope = current_resolution;
  // One resolution asks for A and AAAA, and again on a retry: one judgement.
  if (scope && scope->judged[0] && strcmp(scope->judged, name) == 0) return scope->judged_verdict;
  const int verdict = judge_lookup(name);
  if (scope) {
    strcpy(scope->judged, name);
    scope->judged_verdict = verdict;
    if (verdict) scope->refused = true;
    else strcpy(scope->answered, name);
  }
  return verdict;
}

// The verdict on one message (starting at `message`, `length` bytes of it
// at hand); *questions_end is where its questions end, 0 when it was judged
// as a connection.
int judge_message(const unsigned char *message, size_t length, const destination &server, size_t *questions_end) {
  *questions_end = dns_questions_end(message, length);
  if (*questions_end == 0) return judge_connection(server.ip, nullptr);
  size_t at = 12;
  char name[DNS_NAME_TEXT];
  for (int i = dns_query_questions(message, length); i > 0; --i) {
    dns_read_question(message, length, &at, name);
    if (int verdict = judge_question(name)) return verdict;
  }
  return 0;
}

// The same for what is written on a stream: messages behind two-byte lengths.
int judge_stream(const unsigned char *data, size_t length, const destination &server) {
  size_t at = 0, unused;
  if (length < 2) return judge_connection(server.ip, nullptr);
  while (at + 2 <= length) {
    const size_t size = static_cast<size_t>(data[at]) << 8 | data[at + 1];
    if (int verdict = judge_message(data + at + 2, std::min(size, length - at - 2), server, &unused)) return verdict;
    at += 2 + size;
  }
  return 0;
}

// Puts the name error for `query` into the socket's own receive queue.
bool answer_name_error(int fd, const unsigned char *query, size_t questions_end) {
  unsigned char reply[12 + DNS_MAX_QUESTIONS * 260];
  const size_t size = dns_name_error(query, questions_end, reply, sizeof reply);
  sockaddr_storage self, peer;
  socklen_t self_length = sizeof self, peer_length = sizeof peer;
  if (size == 0 || fd >= MARKED_DESCRIPTORS || getsockname(fd, reinterpret_cast<sockaddr *>(&self), &self_length) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_length) != 0)
    return false;
  marks[fd].fetch_or(MARK_ANSWERED, std::memory_order_relaxed);
  if (real_connect(fd, reinterpret_cast<sockaddr *>(&self), self_length) != 0) return false;
  const ssize_t sent = real_sendto(fd, reply, size, MSG_DONTWAIT | MSG_NOSIGNAL, nullptr, 0);
  const bool back = real_connect(fd, reinterpret_cast<sockaddr *>(&peer), peer_length) == 0;
  return back && sent == static_cast<ssize_t>(size);
}

// A message gathered from pieces (writev, sendmsg), as far as it is read.
struct gathered {
  unsigned char bytes[2048];
  size_t length = 0;
  size_t total = 0;
  gathered(const iovec *pieces, size_t count) {
    for (size_t i = 0; pieces && i < count; ++i) {
      const size_t take = std::min(pieces[i].iov_len, sizeof bytes - length);
      if (take) memcpy(bytes + length, pieces[i].iov_base, take);
      length += take;
      total += pieces[i].iov_len;
    }
  }
};

}  // namespace

resolution_scope::resolution_scope() : outer(current_resolution) { current_resolution = this; }
resolution_scope::~resolution_scope() { current_resolution = outer; }

void mark_name_server_socket(int fd) {
  if (fd < 0 || fd >= MARKED_DESCRIPTORS) return;
  int type = 0;
  socklen_t length = sizeof type;
  const int saved_errno = errno;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0)
    marks[fd].store(type == SOCK_STREAM ? MARK_STREAM : MARK_DATAGRAM, std::memory_order_relaxed);
  errno = saved_errno;
}

bool is_name_server_socket(int fd) { return mark_of(fd) != 0; }

void forget_name_server_socket(int fd) {
  if (mark_of(fd)) marks[fd].store(0, std::memory_order_relaxed);
}

void copy_name_server_mark(int from, int to) {
  if (to < 0 || to >= MARKED_DESCRIPTORS) return;
  if (mark_of(from) || mark_of(to)) marks[to].store(mark_of(from) & ~MARK_ANSWERED, std::memory_order_relaxed);
}

int judge_lookup(const char *name) {
  if (!registered_callback) return 0;
  char buffer[DNS_NAME_TEXT + 128];
  json_text event(buffer, sizeof buffer);
  begin_event(event, "lookup");
  event.begin_object();
  event.member("hostname", name);
  event.end_object();
  return judge_event(event);
}

int judge_query_to(const destination &server, int fd, const void *data, size_t length) {
  int type = SOCK_DGRAM;
  socklen_t type_length = sizeof type;
  const int saved_errno = errno;
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length);
  errno = saved_errno;
  const auto *bytes = static_cast<const unsigned char *>(data);
  size_t unused;
  return type == SOCK_STREAM ? judge_stream(bytes, length, server) : judge_message(bytes, length, server, &unused);
}

bool judge_name_server_write(int fd, const void *data, size_t length, int *verdict, size_t *questions_end) {
  const unsigned char mark = mark_of(fd);
  destination server;
  if (!mark || !marked_server(fd, &server)) return false;
  const auto *bytes = static_cast<const unsigned char *>(data);
  *questions_end = 0;
  *verdict = mark & MARK_STREAM ? judge_stream(bytes, length, server) : judge_message(bytes, length, server, questions_end);
  return true;
}

ssize_t refuse_name_server_write(int fd, const void *data, size_t total, int verdict, size_t questions_end) {
  const int saved_errno = errno;
  if ((mark_of(fd) & MARK_DATAGRAM) && questions_end &&
      answer_name_error(fd, static_cast<const unsigned char *>(data), questions_end)) {
    errno = saved_errno;
    return static_cast<ssize_t>(total);
  }
  errno = verdict;
  return -1;
}

bool name_server_send(int fd, const void *data, size_t length, ssize_t *result) {
  int verdict;
  size_t questions_end;
  if (!judge_name_server_write(fd, data, length, &verdict, &questions_end) || verdict == 0) return false;
  *result = refuse_name_server_write(fd, data, length, verdict, questions_end);
  return true;
}

bool name_server_send_pieces(int fd, const iovec *pieces, size_t count, ssize_t *result) {
  if (!mark_of(fd)) return false;
  gathered message(pieces, count);
  int verdict;
  size_t questions_end;
  if (!judge_name_server_write(fd, message.bytes, message.length, &verdict, &questions_end) || verdict == 0)
    return false;
  *result = refuse_name_server_write(fd, message.bytes, message.total, verdict, questions_end);
  return true;
}

int name_server_sendmmsg(int fd, struct mmsghdr *messages, unsigned int count, int flags) {
  constexpr unsigned int MOST = 64;
  if (count > MOST) count = MOST;  // a partial send, as the kernel reports one
  int verdicts[MOST];
  size_t ends[MOST];
  bool any_refused = false;
  for (unsigned int i = 0; i < count; ++i) {
    const msghdr &header = messages[i].msg_hdr;
    if (header.msg_name != nullptr) {  // judged by hooked_sendmmsg in a call of its own
      count = i;
      break;
    }
    gathered message(header.msg_iov, header.msg_iovlen);
    verdicts[i] = 0;
    if (judge_name_server_write(fd, message.bytes, message.length, &verdicts[i], &ends[i]))
      any_refused = any_refused || verdicts[i] != 0;
  }
  if (!any_refused) return real_sendmmsg(fd, messages, count, flags);
  unsigned int done = 0;
  for (; done < count; ++done) {
    msghdr &header = messages[done].msg_hdr;
    gathered message(header.msg_iov, header.msg_iovlen);
    const ssize_t result = verdicts[done] ? refuse_name_server_write(fd, message.bytes, message.total, verdicts[done], ends[done])
                                          : real_sendmsg(fd, &header, flags);
    if (result < 0) break;
    messages[done].msg_len = static_cast<unsigned int>(result);
  }
  return done > 0 ? static_cast<int>(done) : -1;
}

ssize_t hooked_send(int fd, const void *buf, size_t len, int flags) {
  ssize_t result;
  if (mark_of(fd) && name_server_send(fd, buf, len, &result)) return result;
  return real_send(fd, buf, len, flags);
}

ssize_t hooked_write(int fd, const void *buf, size_t count) {
  ssize_t result;
  if (mark_of(fd) && name_server_send(fd, buf, count, &result)) return result;
  return real_write(fd, buf, count);
}

ssize_t hooked_writev(int fd, const struct iovec *iov, int iovcnt) {
  ssize_t result;
  if (mark_of(fd) && iovcnt > 0 && name_server_send_pieces(fd, iov, static_cast<size_t>(iovcnt), &result)) return result;
  return real_writev(fd, iov, iovcnt);
}

ssize_t hooked_recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *src_addr, socklen_t *addrlen) {
  const ssize_t got = real_recvfrom(fd, buf, len, flags, src_addr, addrlen);
  // An answer this library put in the queue names the socket itself as its
  // sender; the resolver takes only its name server's answers.
  if (got < 0 || src_addr == nullptr || addrlen == nullptr || !(mark_of(fd) & MARK_ANSWERED)) return got;
  const int saved_errno = errno;
  sockaddr_storage self{}, sender{}, peer{};
  socklen_t self_length = sizeof self, peer_length = sizeof peer;
  memcpy(&sender, src_addr, std::min<size_t>(*addrlen, sizeof sender));
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&self), &self_length) == 0 && same_address(self, sender) &&
      getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_length) == 0) {
    memcpy(src_addr, &peer, std::min<size_t>(*addrlen, peer_length));
    *addrlen = peer_length;
  }
  errno = saved_errno;
  return got;
}

int hooked_dup(int oldfd) {
  const int fd = real_dup(oldfd);
  if (fd >= 0) copy_name_server_mark(oldfd, fd);
  return fd;
}
