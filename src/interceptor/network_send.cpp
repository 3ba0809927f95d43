// Datagrams and first data with a destination address: sendto, sendmsg and
// sendmmsg reach an address without connect (UDP, TCP Fast Open with
// MSG_FASTOPEN), so each destination is judged as a connection to it. A
// send on a connected socket names no address and goes straight through.
//
// sendmmsg: the messages are judged in order and the allowed prefix is sent,
// as the kernel itself reports a partial send (the count of messages sent);
// the first message refused ends the batch, and when that is the first one
// the call fails with the verdict. Consecutive messages to the same address
// and port are judged once.
#include "interceptor/interceptor.hpp"

#include <errno.h>
#include <string.h>

ssize_t hooked_sendto(int sockfd, const void *buf, size_t len, int flags, const struct sockaddr *dest_addr,
                      socklen_t addrlen) {
  const void *return_address = __builtin_return_address(0);
  destination to;
  if (dest_addr != nullptr && read_destination(dest_addr, addrlen, &to)) {
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
  if (msg != nullptr && msg->msg_name != nullptr &&
      read_destination(static_cast<const sockaddr *>(msg->msg_name), msg->msg_namelen, &to)) {
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
    if (header.msg_name == nullptr ||
        !read_destination(static_cast<const sockaddr *>(header.msg_name), header.msg_namelen, &to))
      continue;
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
