#include <cstring>
#include <iostream>

#include "cli.hpp"
#include "serve.hpp"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "serve") == 0) return host::serveMain(argc - 1, argv + 1);
  return host::nodectl_main(argc, argv, std::cout, std::cerr);
}
