/* rename_exchange A B: swaps the two names atomically with
 * renameat2(RENAME_EXCHANGE), which coreutils' mv cannot do here. Used by the
 * tests inside the shell sandbox. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: rename_exchange A B\n");
    return 2;
  }
  if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
    perror("renameat2");
    return 1;
  }
  return 0;
}
