/* Sixteen threads open and fopen files under /tmp, connect to a loopback
 * listener and resolve "localhost" for a fixed time, while the main thread
 * reconfigures the policy in a loop: /tmp stays blocked throughout, the
 * outbound rule and the runtime change with every call.
 *
 *   probe_stress_threads DIRECTORY SECONDS
 *
 * Prints "calls N" (intercepted calls made), "configurations N",
 * "escaped N" (/tmp opens that were not refused), "unexpected N" (failures
 * other than a refusal, and connects refused while the rule allowed them
 * the whole time), "tmp_refusals N", "rss_growth_kb N" (resident memory at the
 * end less after the first second), then "done". */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "probe_configure.h"

#define THREADS 16

static const char *directory;
static struct sockaddr_in server;
static atomic_int running = 1;
static atomic_long calls, escaped, unexpected, tmp_refusals;

static long resident_kb(void) {
  FILE *file = fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (file) {
    if (fscanf(file, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(file);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static void tmp_outcome(int ok, int error) {
  atomic_fetch_add(&calls, 1);
  if (ok) atomic_fetch_add(&escaped, 1);
  else if (error == 222) atomic_fetch_add(&tmp_refusals, 1);
  else atomic_fetch_add(&unexpected, 1);
}

static void *worker(void *argument) {
  int index = (int)(long)argument;
  char path[512];
  snprintf(path, sizeof path, "%s/t%d", directory, index);
  while (atomic_load(&running)) {
    int fd = open(path, O_RDWR | O_CREAT, 0600);
    tmp_outcome(fd >= 0, errno);
    if (fd >= 0) close(fd);

    FILE *file = fopen(path, "w");
    tmp_outcome(file != NULL, errno);
    if (file) fclose(file);

    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int result = connect(sock, (struct sockaddr *)&server, sizeof server);
    atomic_fetch_add(&calls, 1);
    if (result != 0 && errno != 222) atomic_fetch_add(&unexpected, 1);
    close(sock);

    struct addrinfo hints = {0}, *list = NULL;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    atomic_fetch_add(&calls, 1);
    if (getaddrinfo("localhost", NULL, &hints, &list) == 0) freeaddrinfo(list);
    else atomic_fetch_add(&unexpected, 1);
  }
  return NULL;
}

static void *acceptor(void *argument) {
  int listener = (int)(long)argument;
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) return NULL;
    close(fd);
  }
}

static double seconds_since(const struct timespec *start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - start->tv_sec) + (now.tv_nsec - start->tv_nsec) / 1e9;
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  directory = argv[1];
  const double seconds = atof(argv[2]);
  if (!probe_configure_entry()) return 3;
  const int cookie = probe_configure("{\"disable_analytics\":true,\"policy\":{\"read_write_tmp\":\"block\"}}");
  if (cookie == 0) return 4;

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = inet_addr("127.0.0.2");
  server.sin_port = 0;
  socklen_t length = sizeof server;
  if (bind(listener, (struct sockaddr *)&server, sizeof server) != 0 || listen(listener, 512) != 0 ||
      getsockname(listener, (struct sockaddr *)&server, &length) != 0)
    return 5;
  pthread_t accepting;
  pthread_create(&accepting, NULL, acceptor, (void *)(long)listener);

  pthread_t threads[THREADS];
  for (int i = 0; i < THREADS; ++i) pthread_create(&threads[i], NULL, worker, (void *)(long)i);

  static const char *words[] = {"allow", "alert", "block"};
  static const char *runtimes[] = {"Python", "Node.js", "Java"};
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long configurations = 0, baseline_kb = 0;
  char document[256];
  while (seconds_since(&start) < seconds) {
    if (baseline_kb == 0 && seconds_since(&start) >= 1.0) baseline_kb = resident_kb();
    snprintf(document, sizeof document,
             "{\"policy\":{\"read_write_tmp\":\"block\",\"outbound_connectivity\":\"%s\"},\"runtime\":\"%s\"}",
             words[configurations % 3], runtimes[configurations % 3]);
    if (probe_configure(document) != cookie) atomic_fetch_add(&unexpected, 1);
    ++configurations;
    usleep(200);
  }
  atomic_store(&running, 0);
  for (int i = 0; i < THREADS; ++i) pthread_join(threads[i], NULL);
  long end_kb = resident_kb();
  shutdown(listener, SHUT_RDWR);
  close(listener);
  pthread_join(accepting, NULL);

  printf("calls %ld\nconfigurations %ld\nescaped %ld\nunexpected %ld\ntmp_refusals %ld\nrss_growth_kb %ld\ndone\n",
         atomic_load(&calls), configurations, atomic_load(&escaped), atomic_load(&unexpected),
         atomic_load(&tmp_refusals), end_kb - baseline_kb);
  return 0;
}
