/* Calls tesselguard_configure: once with argv[2], then up to argv[1] - 1
 * more times with the issued cookie. With argv[3] "stop-after-slow-call",
 * stops after the first call that took a second or more (an exchange that
 * ran into its time-out). With argv[3] and argv[4] as an IPv4 address and a
 * port, connects there at the end and reports the outcome on stderr. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "probe_configure.h"

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  if (argc < 3) return 100;
  probe_configure_fn configure = probe_configure_entry();
  if (!configure) return 101;
  int calls = atoi(argv[1]);
  int stop_after_slow = argc >= 4 && strcmp(argv[3], "stop-after-slow-call") == 0;
  int cookie = configure(argv[2]);
  fprintf(stderr, "cookie %d\n", cookie);
  char text[64];
  snprintf(text, sizeof text, "{\"cookie\":%d}", cookie);
  for (int i = 1; i < calls; ++i) {
    double started = now();
    if (configure(text) != cookie) fprintf(stderr, "call %d refused\n", i);
    if (stop_after_slow && now() - started >= 1.0) {
      fprintf(stderr, "slow call %d\n", i);
      break;
    }
  }
  fflush(stdout);
  if (argc >= 5) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(argv[4]));
    inet_pton(AF_INET, argv[3], &address.sin_addr);
    int rc = connect(fd, (struct sockaddr *)&address, sizeof address);
    fprintf(stderr, "connect %d errno %d\n", rc, rc == 0 ? 0 : errno);
    close(fd);
  }
  return 0;
}
