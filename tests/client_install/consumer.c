/* Connects to a pipe nobody serves and checks what the library reports. */
#include <stdio.h>
#include <tobrin/client.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  tobrin_client* client = tobrin_connect(argv[1], 0);
  int system_error = tobrin_last_error();
  if (client || system_error == 0 || tobrin_send(NULL, "", 0) != TOBRIN_E_INVALID) {
    fprintf(stderr, "consumer: unexpected results\n");
    return 1;
  }
  printf("no server: %d; %s\n", system_error, tobrin_strerror(TOBRIN_E_TOO_LONG));
  return 0;
}
