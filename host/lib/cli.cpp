// The nodectl command line, on CLI11: node and command subcommands, typed
// options with their ranges, the help generated from the same definitions.
//
// Options may stand anywhere on the line, before the node, between node and
// command, or after the command (`nodectl -p X velmora -a 2 set 5`), as
// operators type them. CLI11 ties an option to the subcommand it follows, so
// the words are first sorted: node and command, then every option; the
// command's own arguments are counted here and parsed by the command, so that
// a negative number ("set -5") is an argument for it to refuse.
//
// The command table, options, help and completion are in the files
// cli_tree.hpp names; this file sorts the words and runs the command.
#include "cli.hpp"

#include <CLI/CLI.hpp>

#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "cli_context.hpp"
#include "cli_tree.hpp"
#include "errors.hpp"
#include "serial_port.hpp"
#include "tavlo.hpp"
#include "velmora.hpp"

#ifndef BUILD_VERSION
#define BUILD_VERSION "unknown"
#endif

namespace host {
namespace {

using namespace cmdline;

// ------------------------------------------------------------ arguments ---

struct Words {
  std::vector<std::string> positional;  // node, command, the command's arguments
  std::vector<std::string> options;     // as CLI11 is to see them
  std::vector<std::string> option_names;
  bool help = false, version = false;
};

bool is_number_word(const std::string& s) {
  return s.size() >= 2 && s[0] == '-' && std::isdigit(static_cast<unsigned char>(s[1]));
}

Words sort_words(int argc, char** argv, const Parser& p) {
  Words w;
  bool rest = false;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (rest || s == "-" || s.size() < 2 || s[0] != '-' || is_number_word(s)) {
      w.positional.push_back(s);
      continue;
    }
    if (s == "--") {
      rest = true;
      continue;
    }
    std::string flag = s, shown = s;
    bool inline_value = false;
    if (s[1] == '-') {
      auto eq = s.find('=');
      if (eq != std::string::npos) flag = s.substr(0, eq), shown = flag, inline_value = true;
    } else {
      flag = s.substr(0, 2);
      shown = flag;
      inline_value = s.size() > 2;
    }
    if (flag == "-h" || flag == "--help") {
      if (inline_value) throw usage_error("option '" + shown + "' takes no value");
      w.help = true;
      continue;
    }
    if (flag == "--version") {
      w.version = true;
      continue;
    }
    const CLI::Option* o = p.any_option(flag);
    if (!o) throw usage_error("unknown option '" + escape_cut(shown) + "'");
    const bool takes_value = o->get_items_expected_max() > 0;
    if (!takes_value && inline_value) throw usage_error("option '" + shown + "' takes no value");
    w.option_names.push_back(o->get_name());
    if (!takes_value) {
      w.options.push_back(flag);
    } else if (inline_value) {
      w.options.push_back(flag);
      w.options.push_back(s[1] == '-' ? s.substr(flag.size() + 1) : s.substr(2));
    } else {
      if (i + 1 >= argc) throw usage_error("option '" + shown + "' needs a value (" + o->get_type_name() + ")");
      w.options.push_back(flag);
      w.options.push_back(argv[++i]);
    }
  }
  return w;
}

// CLI11's message "NAME: TEXT", where our validators' TEXT names the option itself.
std::string parse_message(const CLI::ParseError& e) {
  std::string m = e.what();
  if (dynamic_cast<const CLI::ValidationError*>(&e)) {
    auto colon = m.find(": ");
    if (colon != std::string::npos && m.compare(colon + 2, 1, "-") == 0) return m.substr(colon + 2);
    if (colon != std::string::npos && m.find("bad baud rate") != std::string::npos) return m.substr(colon + 2);
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
    auto colon = m.find(':');
    return "option '" + m.substr(0, colon) + "' given more than once";
  }
  return m;
}

int run(Ctx& c, int argc, char** argv) {
  // A forwarded command takes every other word as it stands. Its name is the
  // first word that is a command name (others before it are option values).
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--" || s == "velmora" || s == "tavlo" || s == "help") break;
    if (s.empty() || s[0] == '-') continue;
    for (const auto& f : forwarded()) {
      if (s != f.name) continue;
      std::vector<char*> args;
      std::string prog = "nodectl " + f.name;
      args.push_back(prog.data());
      for (int k = 1; k < argc; ++k)
        if (k != i) args.push_back(argv[k]);
      args.push_back(nullptr);
      return f.main(static_cast<int>(args.size()) - 1, args.data());
    }
  }

  Parser p(c.s);
  if (argc == 3 && std::string(argv[1]) == "completion") {
    if (std::string(argv[2]) != "bash") throw usage_error("completion: only bash is offered");
    print_bash_completion(c.out, p);
    return 0;
  }
  Words w = sort_words(argc, argv, p);
  auto& pos = w.positional;
  if (!pos.empty() && pos[0] == "help") {
    w.help = true;
    pos.erase(pos.begin());
  }
  if (w.version && !w.help) {
    c.out << "nodectl " << BUILD_VERSION << '\n';
    return 0;
  }
  if (pos.empty()) {
    if (w.help) {
      print_main_help(c.out, p);
      return 0;
    }
    throw usage_error("say which node: velmora or tavlo");
  }
  const std::string node = pos[0];
  if (node != "velmora" && node != "tavlo") throw usage_error("unknown node '" + escape_cut(node) + "' (velmora or tavlo)");
  if (pos.size() < 2) {
    if (w.help) {
      print_node_help(c.out, node);
      return 0;
    }
    throw usage_error("say which " + node + " command (see 'nodectl " + node + " --help')");
  }
  c.cmd = find_command(node, pos[1]);
  if (!c.cmd)
    throw usage_error("unknown " + node + " command '" + escape_cut(pos[1]) + "' (see 'nodectl " + node + " --help')");
  if (w.help) {
    print_command_help(c.out, p, *c.cmd);
    return 0;
  }
  CLI::App* app = p.apps.at(c.cmd);
  for (const auto& name : w.option_names) {
    if (!app->get_option_no_throw(name))
      throw usage_error("option " + name + " does not apply to '" + node + " " + c.cmd->name + "'");
  }
  const int nargs = static_cast<int>(pos.size()) - 2;
  if (nargs < c.cmd->min_args) throw usage_error("missing argument: " + usage_of(*c.cmd));
  if (nargs > c.cmd->max_args)
    throw usage_error("too many arguments: '" + escape_cut(pos[2 + c.cmd->max_args]) + "' is extra; usage: " +
                      usage_of(*c.cmd));

  // The arguments were counted above and each command parses its own; the
  // parser gets the options only (it lists the arguments in the help).
  std::vector<std::string> words = {"nodectl", node, c.cmd->name};
  words.insert(words.end(), w.options.begin(), w.options.end());
  std::vector<char*> cargv;
  for (auto& s : words) cargv.push_back(s.data());
  try {
    p.root.parse(static_cast<int>(cargv.size()), cargv.data());
  } catch (const CLI::ParseError& e) {
    throw usage_error(parse_message(e));
  }
  c.app = app;
  c.s.args.assign(pos.begin() + 2, pos.end());
  const bool velmora = node == "velmora";
  if (!c.given("baud")) c.s.baud = velmora ? kVelmoraBaud : kTavloBaud;
  c.timeout = millis(c.s.timeout_ms);
  c.format = c.s.format == "csv" ? Format::csv : c.s.format == "json" ? Format::json : Format::text;
  return run_command(c);
}

}  // namespace

void add_forwarded_command(const std::string& name, const std::string& summary, SubcommandMain main) {
  forwarded().push_back({name, summary, main});
}

int nodectl_main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Ctx c(out, err);
  try {
    return run(c, argc, argv);
  } catch (const Error& e) {
    out.flush();
    err << "nodectl: " << e.what() << '\n';
    if (e.code() == Exit::usage) err << "Try 'nodectl --help'.\n";
    return static_cast<int>(e.code());
  } catch (const std::exception& e) {
    out.flush();
    err << "nodectl: " << e.what() << '\n';
    return static_cast<int>(Exit::failure);
  }
}

}  // namespace host
