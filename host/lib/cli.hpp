#pragma once
// The nodectl command line: argument handling, the commands and their output.
#include <iosfwd>

namespace host {

// Runs nodectl with its arguments; returns the process exit code.
int nodectl_main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace host
