/* Loads the client DLL, makes a client of each kind on a pipe nobody serves, and unloads the
   DLL again, CYCLES times: nothing the DLL takes may outlive its unloading.
     dll_cycles DLL PIPE CYCLES */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "tobrin/client.h"

typedef tobrin_client* (*Connect)(const char*, int);
typedef tobrin_client* (*Open)(const char*, const tobrin_options*);
typedef void (*OptionsInit)(tobrin_options*);
typedef int (*LastError)(void);
typedef void (*Close)(tobrin_client*);

/* As a function of no particular type, which any function pointer type may be cast from. */
static void (*Find(HMODULE dll, const char* name))(void) {
  FARPROC function = GetProcAddress(dll, name);
  if (!function) fprintf(stderr, "dll_cycles: no %s\n", name);
  return (void (*)(void))function;
}

static int Cycle(const char* path, const char* pipe) {
  HMODULE dll = LoadLibraryA(path);
  if (!dll) return fprintf(stderr, "dll_cycles: LoadLibrary: %lu\n", GetLastError()), 0;
  Connect connect = (Connect)Find(dll, "tobrin_connect");
  Open open = (Open)Find(dll, "tobrin_open");
  OptionsInit init = (OptionsInit)Find(dll, "tobrin_options_init");
  LastError last_error = (LastError)Find(dll, "tobrin_last_error");
  Close close = (Close)Find(dll, "tobrin_close");
  int ok = connect && open && init && last_error && close;
  if (ok) {
    tobrin_options options;
    init(&options);
    options.connect_timeout_ms = 0;
    tobrin_client* client = open(pipe, &options);
    ok = client && !connect(pipe, 0) && last_error() == ERROR_FILE_NOT_FOUND;
    close(client);
  }
  FreeLibrary(dll);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  int cycles = atoi(argv[3]);
  for (int i = 0; i < cycles; ++i) {
    if (!Cycle(argv[1], argv[2])) {
      fprintf(stderr, "dll_cycles: cycle %d failed\n", i);
      return 1;
    }
  }
  printf("%d cycles\n", cycles);
  return 0;
}
