#pragma once
// The nodectl command tree, shared by the parts of the command line: the
// command table (cli_table.cpp), the options and the CLI11 tree built from it
// (cli_options.cpp), the help and completion pages (cli_help.cpp), and the
// argument handling (cli.cpp). Internal to nodectl.
#include <CLI/CLI.hpp>

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli.hpp"
#include "cli_context.hpp"

namespace host::cmdline {

// The options every command takes, in the order the help shows them.
extern const std::vector<std::string> kCommon;
// What the help pages say about exit codes.
extern const char* const kExitCodes;

const std::vector<CommandDef>& commands();
const CommandDef* find_command(const std::string& node, const std::string& name);
// The help line of a command's own arguments.
std::string arg_help(const CommandDef& c);

// Commands run by other parts of the program (a console, say): the words
// after the name go to them unparsed.
struct Forwarded {
  std::string name, summary;
  SubcommandMain main;
};
std::vector<Forwarded>& forwarded();

// The whole command tree, each command with its own and the common options.
struct Parser {
  CLI::App root{"nodectl - operate velmora high-voltage nodes and tavlo readout units over a serial line",
                "nodectl"};
  std::map<std::string, CLI::App*> nodes;
  std::map<const CommandDef*, CLI::App*> apps;
  std::shared_ptr<CLI::Formatter> format = std::make_shared<CLI::Formatter>();
  bool help_flag = false;  // -h is taken before parsing; this shows it in the help

  explicit Parser(Settings& s);

  // Any command's definition of an option, to know whether it takes a value.
  const CLI::Option* any_option(const std::string& flag) const {
    for (const auto& [def, app] : apps)
      if (auto* o = app->get_option_no_throw(flag)) return o;
    return nullptr;
  }
};

std::string usage_of(const CommandDef& c);
void print_main_help(std::ostream& os, Parser& p);
void print_node_help(std::ostream& os, const std::string& node);
void print_command_help(std::ostream& os, Parser& p, const CommandDef& c);
void print_bash_completion(std::ostream& os, Parser& p);

}  // namespace host::cmdline
