#include <iostream>

#include "cli.hpp"

// The operator console, when it is built in, is `nodectl serve`: it parses
// its own arguments.
#if __has_include("serve.hpp")
#include "serve.hpp"
#define NODECTL_WITH_SERVE 1
#endif

int main(int argc, char** argv) {
#ifdef NODECTL_WITH_SERVE
  host::add_forwarded_command("serve", "operator console in the browser (see 'nodectl serve --help')",
                              host::serveMain);
#endif
  return host::nodectl_main(argc, argv, std::cout, std::cerr);
}
