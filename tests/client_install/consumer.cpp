// The C++ header, linked against the static library.
#include <cstdio>
#include <tobrin/client.hpp>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  tobrin::Client client(argv[1], 0);
  if (client || client.Send("x") != TOBRIN_E_INVALID) return 1;
  std::printf("no server: %d\n", tobrin_last_error());
  return 0;
}
