/* Linked statically, so LD_PRELOAD cannot bring the library in: opens the
 * file it is given and exits 0 when that worked, 3 when refused with 222. */
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDWR | O_CREAT, 0600);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  return errno == 222 ? 3 : 4;
}
