/* Connects to a pipe nobody serves and checks what the library reports, in both modes. */
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
  /* The asynchronous client is made without a server, and its sender thread stops at close. */
  tobrin_options options;
  tobrin_options_init(&options);
  options.connect_timeout_ms = 0;
  client = tobrin_open(argv[1], &options);
  if (!client || tobrin_send(client, "x\n", 2) != 0 ||
      tobrin_flush(client, 0) != TOBRIN_E_TIMEOUT) {
    fprintf(stderr, "consumer: unexpected results of the asynchronous client\n");
    return 1;
  }
  tobrin_close(client);
  printf("no server: %d; %s\n", system_error, tobrin_strerror(TOBRIN_E_TOO_LONG));
  return 0;
}
