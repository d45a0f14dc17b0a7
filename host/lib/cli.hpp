#pragma once
// The nodectl command line: argument handling, the commands and their output.
#include <iosfwd>
#include <string>

namespace host {

// Runs nodectl with its arguments; returns the process exit code.
int nodectl_main(int argc, char** argv, std::ostream& out, std::ostream& err);

// A command that parses its own arguments (a console, say): `nodectl NAME ...`
// calls `main` with argv[0] "nodectl NAME" and every other word of the line,
// in order. Register before nodectl_main; the main help lists it.
using SubcommandMain = int (*)(int argc, char** argv);
void add_forwarded_command(const std::string& name, const std::string& summary, SubcommandMain main);

}  // namespace host
