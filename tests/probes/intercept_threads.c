/* Eight threads open a /tmp file, connect to 127.0.0.2 and resolve a name in
 * a loop while the main thread changes the policy between phases, and then
 * flips it continuously.
 *
 *   probe_intercept_threads DIRECTORY ITERATIONS
 *
 * Prints "mismatches N" (calls whose outcome differs from the phase's mode),
 * "unexpected N" (failures other than a refusal), "refusals N" and
 * "alerted N" (calls made under alert), then "done". */
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

#define THREADS 8
enum { ALLOW, ALERT, BLOCK, FLIPPING, STOP };

static const char *directory;
static int iterations;
static struct sockaddr_in server;
static int listener;
static pthread_barrier_t barrier;
static atomic_int phase;
static atomic_int flipping;
static atomic_int mismatches, unexpected, refusals, alerted;

static void set_mode(const char *mode) {
  char document[256];
  snprintf(document, sizeof document,
           "{\"policy\":{\"read_write_tmp\":\"%s\",\"outbound_connectivity\":\"%s\"}}", mode, mode);
  probe_configure(document);
}

/* Checks one outcome: ok is the call's success, error its errno. */
static void check(int mode, int ok, int error) {
  if (!ok && error == 222) atomic_fetch_add(&refusals, 1);
  if (!ok && error != 222) atomic_fetch_add(&unexpected, 1);
  if (mode == FLIPPING) return;
  if (mode == ALERT) atomic_fetch_add(&alerted, 1);
  if ((mode == BLOCK) == ok) atomic_fetch_add(&mismatches, 1);
}

static void one_round(int index, int mode) {
  char path[512];
  snprintf(path, sizeof path, "%s/t%d", directory, index);
  int fd = open(path, O_RDWR | O_CREAT, 0600);
  check(mode, fd >= 0, errno);
  if (fd >= 0) close(fd);

  int sock = socket(AF_INET, SOCK_STREAM, 0);
  int result = connect(sock, (struct sockaddr *)&server, sizeof server);
  check(mode, result == 0, errno);
  close(sock);

  struct addrinfo hints = {0}, *list = NULL;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo("localhost", NULL, &hints, &list) == 0)
    freeaddrinfo(list);
  else
    atomic_fetch_add(&unexpected, 1);
}

static void *worker(void *argument) {
  int index = (int)(long)argument;
  for (;;) {
    pthread_barrier_wait(&barrier);
    int mode = atomic_load(&phase);
    if (mode == STOP) return NULL;
    if (mode == FLIPPING) {
      while (atomic_load(&flipping)) one_round(index, mode);
    } else {
      for (int i = 0; i < iterations; ++i) one_round(index, mode);
    }
    pthread_barrier_wait(&barrier);
  }
}

static void *acceptor(void *unused) {
  (void)unused;
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) return NULL;
    close(fd);
  }
}

static void run_phase(int mode) {
  static const char *words[] = {"allow", "alert", "block"};
  if (mode <= BLOCK) set_mode(words[mode]);
  atomic_store(&phase, mode);
  pthread_barrier_wait(&barrier);
  if (mode == FLIPPING) {
    struct timespec pause = {0, 200 * 1000};
    for (int i = 0; i < 1000; ++i) {
      set_mode(i % 2 ? "allow" : "block");
      nanosleep(&pause, NULL);
    }
    atomic_store(&flipping, 0);
  }
  pthread_barrier_wait(&barrier);
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc < 3) return 2;
  directory = argv[1];
  iterations = atoi(argv[2]);
  if (!probe_configure_entry()) return 3;
  probe_configure("{\"disable_analytics\":true,\"policy\":{}}");

  listener = socket(AF_INET, SOCK_STREAM, 0);
  server.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &server.sin_addr);
  socklen_t length = sizeof server;
  if (bind(listener, (struct sockaddr *)&server, sizeof server) || listen(listener, 1024) ||
      getsockname(listener, (struct sockaddr *)&server, &length))
    return 4;
  pthread_t accept_thread, threads[THREADS];
  pthread_create(&accept_thread, NULL, acceptor, NULL);

  pthread_barrier_init(&barrier, NULL, THREADS + 1);
  for (long i = 0; i < THREADS; ++i) pthread_create(&threads[i], NULL, worker, (void *)i);
  const int phases[] = {BLOCK, ALLOW, ALERT, BLOCK, ALLOW};
  for (size_t i = 0; i < sizeof phases / sizeof phases[0]; ++i) run_phase(phases[i]);
  atomic_store(&flipping, 1);
  run_phase(FLIPPING);
  atomic_store(&phase, STOP);
  pthread_barrier_wait(&barrier);
  for (int i = 0; i < THREADS; ++i) pthread_join(threads[i], NULL);
  shutdown(listener, SHUT_RDWR);
  pthread_join(accept_thread, NULL);

  printf("mismatches %d\nunexpected %d\nrefusals %d\nalerted %d\ndone\n", atomic_load(&mismatches),
         atomic_load(&unexpected), atomic_load(&refusals), atomic_load(&alerted));
  return 0;
}
