/* Uses the libssl compatibility library (dlopen by name, entry points
 * through dlsym) and reports whether OpenSSL 3 is mapped before and after
 * the first SHA-256 call:
 *
 *   before <0|1>
 *   init <SSL_library_init's answer>    (with the argument "init": first, as
 *                                        TesselGuard calls it; stops on 0)
 *   digest <64 hex digits of SHA-256("abc")>
 *   after <0|1>
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

static int openssl3_mapped(void) {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (!maps) return -1;
  char line[4096];
  int found = 0;
  while (fgets(line, sizeof line, maps))
    if (strstr(line, "/libcrypto.so.3") || strstr(line, "/libssl.so.3")) found = 1;
  fclose(maps);
  return found;
}

int main(int argc, char **argv) {
  printf("before %d\n", openssl3_mapped());
  fflush(stdout);  /* an unusable OpenSSL aborts the first call below */
  void *ssl = dlopen("libssl.so.1.0.0", RTLD_NOW | RTLD_DEEPBIND);
  if (!ssl) {
    printf("cannot open: %s\n", dlerror());
    return 1;
  }
  if (argc > 1 && strcmp(argv[1], "init") == 0) {
    int (*library_init)(void) = (int (*)(void))dlsym(ssl, "SSL_library_init");
    int answer = library_init ? library_init() : -1;
    printf("init %d\n", answer);
    if (answer != 1) return 0;
  }
  int (*init)(void *) = (int (*)(void *))dlsym(ssl, "SHA256_Init");
  int (*update)(void *, const void *, size_t) = (int (*)(void *, const void *, size_t))dlsym(ssl, "SHA256_Update");
  int (*final)(unsigned char *, void *) = (int (*)(unsigned char *, void *))dlsym(ssl, "SHA256_Final");
  if (!init || !update || !final) return 1;
  _Alignas(16) unsigned char context[256] = {0};
  unsigned char digest[32];
  if (init(context) != 1 || update(context, "abc", 3) != 1 || final(digest, context) != 1) return 1;
  printf("digest ");
  for (int i = 0; i < 32; ++i) printf("%02x", digest[i]);
  printf("\nafter %d\n", openssl3_mapped());
  return 0;
}
