#pragma once
// `nodectl serve`: the operator console in the browser.
namespace host {

// Parses its own options (argv[0] is "serve"); returns the process exit code.
int serveMain(int argc, char** argv);

}  // namespace host
