// Datagrams and first data with a destination address: sendto, sendmsg and
// sendmmsg reach an address without connect (UDP, TCP Fast Open with
// MSG_FASTOPEN), so each destination is judged as a connection to it, an
// AF_UNSPEC one as the kernel reads it. A send on a connected socket names
// no address and goes straight through.
//
// sendmmsg: the messages are judged in order and the allowed prefix is sent,
// as the kernel itself reports a partial send (the count of messages sent);
// the first message refused ends the batch, and when that is the first one
// the call fails with the verdict. Consecutive messages to the same address
// and port are judged once.
//
// A message to port 53 of a listed name server is judged by its questions
// instead (dns_wire.cpp), and so is one without an address on a socket
// connected there; on such a socket, sendmmsg judges each message and sends
// the allowed ones one by one when any is refused.
#include "interceptor/interceptor.hpp"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>

#include <algorithm>

namespace {

// The verdict on sending `header` (a datagram or first data with an
// address) to `to`.
int judge_addressed(int sockfd, const msghdr &header, const destination &to, const void *return_address) {
  if (to.port != 53 || !is_name_server_query(to)) return judge_destination(to, return_address);
  unsigned char bytes[2048];
  size_t length = 0;
  for (size_t i = 0; header.msg_iov && i < header.msg_iovlen && length < sizeof bytes; ++i) {
    const size_t take = std::min(header.msg_iov[i].iov_len, sizeof bytes - length);
    if (take) memcpy(bytes + length, header.msg_iov[i].iov_base, take);
    length += take;
  }
  return judge_query_to(to, sockfd, bytes, length);
}

// ---- AF_UNSPEC destinations -------------------------------------------------
// The kernel reads an AF_UNSPEC destination by the socket's own family: an
// IPv4 datagram or raw socket sends to it as to an IPv4 address, an IPv6 raw
// socket as to an IPv6 one. An IPv6 datagram socket drops it (the datagram
// goes to the connected peer, judged at connect) and TCP ignores it (Fast
// Open refuses it): nothing leaves for it there, so nothing is judged.
bool read_sent_destination(int sockfd, const void *name, socklen_t length, destination *to) {
  const auto *addr = static_cast<const sockaddr *>(name);
  if (addr == nullptr) return false;
  if (length < sizeof(sa_family_t) || addr->sa_family != AF_UNSPEC) return read_destination(addr, length, to);
  int domain = 0, type = 0;
  socklen_t size = sizeof domain;
  if (getsockopt(sockfd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return false;
  size = sizeof type;
  if (getsockopt(sockfd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) return false;
  const bool as_own_family = (domain == AF_INET && (type == SOCK_DGRAM || type == SOCK_RAW)) ||
                             (domain == AF_INET6 && type == SOCK_RAW);
  if (!as_own_family) return false;
  sockaddr_storage copy{};
  memcpy(&copy, addr, length < sizeof copy ? length : sizeof copy);
  copy.ss_family = static_cast<sa_family_t>(domain);
  return read_destination(reinterpret_cast<const sockaddr *>(&copy), length, to);
}

}  // namespace

ssize_t hooked_sendto(int sockfd, const void *buf, size_t len, int flags, const struct sockaddr *dest_addr,
                      socklen_t addrlen) {
  const void *return_address = __builtin_return_address(0);
  destination to;
  if (dest_addr == nullptr) {
    ssize_t result;
    if (name_server_send(sockfd, buf, len, &result)) return result;
  } else if (read_sent_destination(sockfd, dest_addr, addrlen, &to)) {
    iovec piece{const_cast<void *>(buf), len};
    msghdr header{};
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    if (int verdict = judge_addressed(sockfd, header, to, return_address)) {
      errno = verdict;
      return -1;
    }
  }
  return real_sendto(sockfd, buf, len, flags, dest_addr, addrlen);
}

ssize_t hooked_sendmsg(int sockfd, const struct msghdr *msg, int flags) {
  const void *return_address = __builtin_return_address(0);
  destination to;
  if (msg != nullptr && msg->msg_name == nullptr) {
    ssize_t result;
    if (name_server_send_pieces(sockfd, msg->msg_iov, msg->msg_iovlen, &result)) return result;
  } else if (msg != nullptr && read_sent_destination(sockfd, msg->msg_name, msg->msg_namelen, &to)) {
    if (int verdict = judge_addressed(sockfd, *msg, to, return_address)) {
      errno = verdict;
      return -1;
    }
  }
  return real_sendmsg(sockfd, msg, flags);
}

int hooked_sendmmsg(int sockfd, struct mmsghdr *msgvec, unsigned int vlen, int flags) {
  const void *return_address = __builtin_return_address(0);
  if (msgvec == nullptr) return real_sendmmsg(sockfd, msgvec, vlen, flags);
  if (vlen > 0 && msgvec[0].msg_hdr.msg_name == nullptr && is_name_server_socket(sockfd))
    return name_server_sendmmsg(sockfd, msgvec, vlen, flags);
  destination previous;
  bool judged_before = false;
  for (unsigned int i = 0; i < vlen; ++i) {
    const msghdr &header = msgvec[i].msg_hdr;
    destination to;
    if (!read_sent_destination(sockfd, header.msg_name, header.msg_namelen, &to)) continue;
    if (judged_before && to.port == previous.port &&
        memcmp(&to.address, &previous.address, sizeof to.address) == 0)
      continue;
    if (int verdict = judge_addressed(sockfd, header, to, return_address)) {
      if (i == 0) {
        errno = verdict;
        return -1;
      }
      return real_sendmmsg(sockfd, msgvec, i, flags);
    }
    previous = to;
    judged_before = true;
  }
  return real_sendmmsg(sockfd, msgvec, vlen, flags);
}
