/* win_client: the bench client for the Windows build of the log server (run under wine).
 *
 *   win_client PIPE CLIENTS COUNT SIZE
 *
 * It connects CLIENTS clients to the pipe and builds their messages (the same messages as
 * tbench's clients), writes one byte to standard output to say it is ready, and waits for
 * one byte on standard input; then each client, on a thread of its own, writes its COUNT
 * messages with one WriteFile each. Exit status 0 when every message was written. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "message.h"

struct client {
  HANDLE pipe;
  char *messages;
  long count;
  int size;
  int ok;
};

static HANDLE go_event;

/* The server offers one instance at a time: a client that finds none waiting tries again. */
static HANDLE connect_pipe(const char *name) {
  for (int attempt = 0; attempt < 20000; ++attempt) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) return h;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY)
      WaitNamedPipeA(name, 1000);
    else if (error == ERROR_FILE_NOT_FOUND)
      Sleep(1);
    else
      break;
  }
  return INVALID_HANDLE_VALUE;
}

static DWORD WINAPI send_all(LPVOID arg) {
  struct client *c = arg;
  WaitForSingleObject(go_event, INFINITE);
  c->ok = 1;
  for (long i = 0; i < c->count; ++i) {
    DWORD written = 0;
    if (!WriteFile(c->pipe, c->messages + (size_t)i * c->size, (DWORD)c->size, &written, NULL) ||
        written != (DWORD)c->size) {
      c->ok = 0;
      break;
    }
  }
  CloseHandle(c->pipe);
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: win_client PIPE CLIENTS COUNT SIZE\n");
    return 2;
  }
  int clients = atoi(argv[2]), size = atoi(argv[4]);
  long count = atol(argv[3]);
  if (clients < 1 || clients > 64 || size <= HEAD || size > 32768 || count < 1) return 2;
  struct client all[64];
  HANDLE threads[64];
  go_event = CreateEventA(NULL, TRUE, FALSE, NULL);
  for (int c = 0; c < clients; ++c) {
    all[c].pipe = connect_pipe(argv[1]);
    if (all[c].pipe == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "win_client: cannot connect to %s (error %lu)\n", argv[1], GetLastError());
      return 1;
    }
    all[c].messages = malloc((size_t)count * size);
    if (!all[c].messages) return 1;
    for (long s = 0; s < count; ++s) make_message(all[c].messages + (size_t)s * size, size, c, s);
    all[c].count = count;
    all[c].size = size;
    threads[c] = CreateThread(NULL, 0, send_all, &all[c], 0, NULL);
  }
  DWORD n;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "r", 1, &n, NULL);
  char go;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &go, 1, &n, NULL) || n != 1) return 1;
  SetEvent(go_event);
  WaitForMultipleObjects((DWORD)clients, threads, TRUE, INFINITE);
  for (int c = 0; c < clients; ++c)
    if (!all[c].ok) return 1;
  return 0;
}
