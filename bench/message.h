/* The bench's messages, shared by tbench and win_client so that both build the same bytes.
 *
 * Message `seq` of client `client` is "CCCCC SSSSSSSSS " followed by letters and a line
 * feed, so that the checker can rebuild every message and compare it byte for byte. */
#ifndef TOBRIN_BENCH_MESSAGE_H
#define TOBRIN_BENCH_MESSAGE_H

#include <stdio.h>
#include <string.h>

/* The length of the client and sequence number at the start of every message. */
#define HEAD 16

/* Writes message `seq` of `client`, `size` bytes (more than HEAD), into `out`. */
static void make_message(char *out, int size, int client, long seq) {
  char head[40];
  snprintf(head, sizeof head, "%05d %09ld ", client, seq);
  memcpy(out, head, HEAD);
  for (int i = HEAD; i < size - 1; ++i) out[i] = (char)('a' + (i + client + seq) % 26);
  out[size - 1] = '\n';
}

#endif
