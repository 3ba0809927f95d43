/* Prints its environment, one "env NAME=VALUE" line per entry, and then
 * "main ran" from main.
 *
 * The environment is printed from the executable's pre-initialisation array,
 * which the dynamic loader runs before the initialisers of every library,
 * the preloaded ones included: so the lines appear even when a preloaded
 * library ends the process during its own start-up. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void write_text(const char *text) {
  size_t length = strlen(text);
  while (length > 0) {
    ssize_t n = write(1, text, length);
    if (n <= 0) return;
    text += n;
    length -= (size_t)n;
  }
}

static void dump_environment(int argc, char **argv, char **envp) {
  (void)argc;
  (void)argv;
  for (char **entry = envp; entry && *entry; ++entry) {
    write_text("env ");
    write_text(*entry);
    write_text("\n");
  }
  write_text("env end\n");
}

__attribute__((section(".preinit_array"), used)) static void (*const dump_at_load)(int, char **, char **) =
    dump_environment;

int main(void) {
  write_text("main ran\n");
  return 0;
}
