#include "tell.h"

int main(int argc, char** argv) { return TellManagerMain(argc, argv); }
