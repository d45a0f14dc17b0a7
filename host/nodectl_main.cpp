#include <iostream>

#include "cli.hpp"

int main(int argc, char** argv) { return host::nodectl_main(argc, argv, std::cout, std::cerr); }
