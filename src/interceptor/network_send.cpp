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
#include "interceptor/interceptor.hpp"

#include <errno.h>
#include <string.h>

namespace {

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
  if (read_sent_destination(sockfd, dest_addr, addrlen, &to)) {
    if (int verdict = judge_destination(to, return_address)) {
      errno = verdict;
      return -1;
    }
  }
  return real_sendto(sockfd, buf, len, flags, dest_addr, addrlen);
}

ssize_t hooked_sendmsg(int sockfd, const struct msghdr *msg, int flags) {
  const void *return_address = __builtin_return_address(0);
  destination to;
  if (msg != nullptr && read_sent_destination(sockfd, msg->msg_name, msg->msg_namelen, &to)) {
    if (int verdict = judge_destination(to, return_address)) {
      errno = verdict;
      return -1;
    }
  }
  return real_sendmsg(sockfd, msg, flags);
}

int hooked_sendmmsg(int sockfd, struct mmsghdr *msgvec, unsigned int vlen, int flags) {
  const void *return_address = __builtin_return_address(0);
  if (msgvec == nullptr) return real_sendmmsg(sockfd, msgvec, vlen, flags);
  destination previous;
  bool judged_before = false;
  for (unsigned int i = 0; i < vlen; ++i) {
    const msghdr &header = msgvec[i].msg_hdr;
    destination to;
    if (!read_sent_destination(sockfd, header.msg_name, header.msg_namelen, &to)) continue;
    if (judged_before && to.port == previous.port &&
        memcmp(&to.address, &previous.address, sizeof to.address) == 0)
      continue;
    if (int verdict = judge_destination(to, return_address)) {
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
