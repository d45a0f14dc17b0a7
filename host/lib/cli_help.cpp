// The nodectl help pages and the bash completion script, made from the
// command tree.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "cli_tree.hpp"

namespace host::cmdline {

std::string usage_of(const CommandDef& c) {
  return std::string("nodectl ") + c.node + " " + c.name + (c.args[0] ? std::string(" ") + c.args : "");
}

void list_commands(std::ostream& os, const std::string& node) {
  for (const auto& c : commands()) {
    if (node != c.node) continue;
    std::string head = std::string("  ") + c.name + (c.args[0] ? std::string(" ") + c.args : "");
    os << head << std::string(head.size() < 22 ? 22 - head.size() : 1, ' ') << c.summary << '\n';
  }
}

void print_main_help(std::ostream& os, Parser& p) {
  os << p.root.get_description() << "\n\n"
     << "Usage:\n"
        "  nodectl [options] velmora COMMAND [ARGS]\n"
        "  nodectl [options] tavlo COMMAND [ARGS]\n";
  for (const auto& f : forwarded()) os << "  nodectl " << f.name << " [ARGS]\n";
  os << "  nodectl help [velmora|tavlo [COMMAND]]     (or --help anywhere)\n"
        "  nodectl --version\n"
        "  nodectl completion bash                    (a bash completion script)\n\n"
        "Options common to all commands:\n";
  const CLI::App* any = p.apps.begin()->second;
  for (const auto& name : kCommon) os << p.format->make_option(any->get_option("--" + name), false);
  os << "  -h, --help                show help for the node or command given\n"
        "  --version                 show the program's version\n";
  for (const char* node : {"velmora", "tavlo"}) {
    os << "\n" << node << " commands:\n";
    list_commands(os, node);
  }
  if (!forwarded().empty()) {
    os << "\nOther commands:\n";
    for (const auto& f : forwarded())
      os << "  " << f.name << std::string(f.name.size() < 20 ? 20 - f.name.size() : 1, ' ') << f.summary << '\n';
  }
  os << "\n" << kExitCodes
     << "\nExamples:\n"
        "  nodectl -p /dev/ttyUSB0 velmora read\n"
        "  nodectl -p /dev/pts/5 velmora -a 2 set 1500 --persist --limits hv.limits --ramp 50V/s\n"
        "  nodectl -p tcp:127.0.0.1:5000 tavlo acquire 10 -o scans.csv --svg profile.svg\n"
        "  printf 'H1\\nR1\\n' | nodectl -p /dev/pts/5 velmora term\n";
}

void print_node_help(std::ostream& os, const std::string& node) {
  os << "Usage: nodectl [options] " << node << " COMMAND [ARGS]\n\nCommands:\n";
  list_commands(os, node);
  os << "\nDefault line rate: " << (node == "velmora" ? "9600" : "115200") << " Bd. 'nodectl " << node
     << " COMMAND --help' describes a command.\n\n"
     << kExitCodes;
}

void print_command_help(std::ostream& os, Parser& p, const CommandDef& c) {
  os << "Usage: " << usage_of(c) << " [options]\n\n" << c.summary << ".\n\n";
  // CLI11's own page without its usage line, which names only the last word.
  std::string page = p.apps.at(&c)->help("", CLI::AppFormatMode::Normal);
  auto first = page.find("\nPositionals");
  if (first == std::string::npos) first = page.find("\nOptions");
  os << (first == std::string::npos ? page : page.substr(first + 1));
}

// ------------------------------------------------------------ completion --

// A bash completion script made from the command tree: nodes, commands, each
// command's options, and the values of the options that have a fixed set.
void print_bash_completion(std::ostream& os, Parser& p) {
  std::vector<std::string> flags;
  for (const auto& [def, app] : p.apps)
    for (const CLI::Option* o : app->get_options()) {
      if (o->get_positional() || o->get_items_expected_max() == 0) continue;
      for (const auto& n : o->get_lnames()) flags.push_back("--" + n);
      for (const auto& n : o->get_snames()) flags.push_back("-" + n);
    }
  std::sort(flags.begin(), flags.end());
  flags.erase(std::unique(flags.begin(), flags.end()), flags.end());
  std::string takes_value;
  for (const auto& f : flags) takes_value += (takes_value.empty() ? "" : "|") + f;
  os << "# bash completion for nodectl: source it, or save it as\n"
        "# /usr/share/bash-completion/completions/nodectl (nodectl completion bash > ...)\n"
        "_nodectl() {\n"
        "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} node= cmd= skip= w i\n"
        "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "    w=${COMP_WORDS[i]}\n"
        "    if [ -n \"$skip\" ]; then skip=; continue; fi\n"
        "    case $w in\n"
        "      "
     << takes_value
     << ") skip=1 ;;\n"
        "      -*) ;;\n"
        "      *) if [ -z \"$node\" ]; then node=$w; elif [ -z \"$cmd\" ]; then cmd=$w; fi ;;\n"
        "    esac\n"
        "  done\n"
        "  case $prev in\n"
        "    -f|--format) COMPREPLY=($(compgen -W 'text csv json' -- \"$cur\")); return ;;\n"
        "    --wait) COMPREPLY=($(compgen -W 'computed queued' -- \"$cur\")); return ;;\n"
        "    -b|--baud) COMPREPLY=($(compgen -W '1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 "
        "921600' -- \"$cur\")); return ;;\n"
        "    -p|--port|--trace|--limits|-o|--output|--svg) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
        "    "
     << takes_value
     << ") return ;;\n"
        "  esac\n"
        "  local words\n"
        "  case $node/$cmd in\n";
  for (const char* node : {"velmora", "tavlo"}) {
    os << "    " << node << "/) words='";
    bool first = true;
    for (const auto& c : commands())
      if (std::string(c.node) == node) os << (first ? "" : " ") << c.name, first = false;
    os << "' ;;\n";
  }
  for (const auto& c : commands()) {
    os << "    " << c.node << "/" << c.name << ") words='";
    bool first = true;
    for (const CLI::Option* o : p.apps.at(&c)->get_options()) {
      if (o->get_positional()) continue;
      for (const auto& n : o->get_lnames()) os << (first ? "" : " ") << "--" << n, first = false;
    }
    os << "' ;;\n";
  }
  os << "    /) words='velmora tavlo help";
  for (const auto& f : forwarded()) os << ' ' << f.name;
  os << " --help --version' ;;\n"
        "    *) words= ;;\n"
        "  esac\n"
        "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
        "}\n"
        "complete -F _nodectl nodectl\n";
}

}  // namespace host::cmdline
