// A server's accepted connection: the function is being served, so the
// runtime's start is over (Google's servers accept; Lambda's runtimes
// connect to the Runtime API instead). Told to the policy only while it can
// matter (the need check), and never refused: the verdict is not looked at.
#include "interceptor/interceptor.hpp"

#include <errno.h>

void note_accepted_connection() {
  if (!registered_callback) return;
  if (registered_need_check && !registered_need_check("accept")) return;
  const int saved_errno = errno;
  char buffer[128];
  json_text event(buffer, sizeof buffer);
  begin_event(event, "accept");
  event.begin_object();
  event.end_object();
  judge_event(event);
  errno = saved_errno;
}

int hooked_accept(int sockfd, struct sockaddr *addr, socklen_t *addrlen) {
  const int fd = real_accept(sockfd, addr, addrlen);
  if (fd >= 0) note_accepted_connection();
  return fd;
}

int hooked_accept4(int sockfd, struct sockaddr *addr, socklen_t *addrlen, int flags) {
  const int fd = real_accept4(sockfd, addr, addrlen, flags);
  if (fd >= 0) note_accepted_connection();
  return fd;
}
