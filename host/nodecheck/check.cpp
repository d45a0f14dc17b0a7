#include "check.hpp"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "bytes.hpp"
#include "errors.hpp"

namespace check {
namespace {

volatile std::sig_atomic_t g_interrupt = 0;

extern "C" void on_signal(int) { g_interrupt = 1; }

std::string xml_escape(std::string_view s) {
  std::string o;
  for (char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      default:
        // XML 1.0 admits no other control characters.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') o += '?';
        else o += c;
    }
  }
  return o;
}

std::string fixed(double v, int digits) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(digits) << v;
  return s.str();
}

}  // namespace

const char* to_string(Status s) {
  switch (s) {
    case Status::pass: return "PASS";
    case Status::fail: return "FAIL";
    case Status::skip: return "SKIP";
  }
  return "?";
}

bool interrupt_requested() { return g_interrupt != 0; }

void install_interrupt_handler() {
  // No SA_RESTART: a read waiting on the line returns at once, and the case
  // gets to its next checkpoint and restores what it changed.
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

std::string quoted(std::string_view bytes) { return "\"" + host::escape_bytes(bytes) + "\""; }

void Session::checkpoint() const {
  if (interrupt_requested() && !restoring_) throw Interrupted();
}

void Session::sleep(Duration d) const {
  const auto end = std::chrono::steady_clock::now() + d;
  for (;;) {
    checkpoint();
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    host::system_clock().sleep_for(std::min<Duration>(std::chrono::duration_cast<Duration>(end - now), 50ms));
  }
}

void Session::on_restore(std::string what, std::function<void()> step) {
  steps_.push_back({std::move(what), std::move(step)});
}

void Session::restored(const std::string& what) {
  for (auto it = steps_.rbegin(); it != steps_.rend(); ++it)
    if (it->what == what) {
      steps_.erase(std::next(it).base());
      return;
    }
}

std::vector<std::string> Session::run_restores(std::vector<std::string>& unrestorable) {
  std::vector<std::string> failed;
  restoring_ = true;  // a restore runs to its end, Ctrl-C or not
  while (!steps_.empty()) {
    Step s = std::move(steps_.back());
    steps_.pop_back();
    try {
      s.fn();
      note("restored " + s.what);
    } catch (const Unrestorable& e) {
      unrestorable.push_back(s.what + ": " + e.what());
    } catch (const std::exception& e) {
      failed.push_back("could not restore " + s.what + ": " + e.what());
    }
  }
  restoring_ = false;
  return failed;
}

void Session::note(const std::string& text) const {
  if (opt_.verbose) std::fprintf(stderr, "     %s\n", text.c_str());
}

std::vector<Outcome> run_cases(Session& s, const std::vector<Case>& cases, std::ostream& out) {
  std::vector<Outcome> outcomes;
  bool stopped = false;
  for (const Case& c : cases) {
    Outcome o;
    o.name = c.name;
    if (stopped) {
      o.result = {Status::skip, "", "not run: the run was interrupted"};
      outcomes.push_back(o);
      continue;
    }
    std::fprintf(stderr, "RUN  %s: %s\n", c.name.c_str(), c.summary.c_str());
    const auto start = std::chrono::steady_clock::now();
    try {
      o.result = c.run(s);
    } catch (const Failure& e) {
      o.result = {Status::fail, "", e.what()};
    } catch (const Skipped& e) {
      o.result = {Status::skip, "", e.what()};
    } catch (const Interrupted&) {
      o.result = {Status::fail, "", "interrupted (Ctrl-C); restoring what it changed"};
      stopped = true;
    } catch (const host::Error& e) {
      o.result = {Status::fail, "", e.what()};
    } catch (const std::exception& e) {
      o.result = {Status::fail, "", std::string("internal error: ") + e.what()};
    }
    // A restore must run to its end even after Ctrl-C: clear nothing, but
    // the restore steps never look at the flag.
    o.restore_failures = s.run_restores(o.unrestorable);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out << std::left << std::setw(5) << to_string(o.result.status) << std::setw(28) << c.name;
    if (!o.result.figure.empty()) out << o.result.figure;
    if (!o.result.message.empty()) out << (o.result.figure.empty() ? "" : "; ") << o.result.message;
    out << "  (" << fixed(o.seconds, 1) << " s)\n";
    for (const auto& f : o.restore_failures) {
      // Loud on purpose: the node is not as the run found it.
      out << "!!!! RESTORE FAILED in " << c.name << ": " << f << "\n";
      std::fprintf(stderr, "\n!!!! RESTORE FAILED in %s: %s\n!!!! The node is NOT as the run found it.\n\n",
                   c.name.c_str(), f.c_str());
    }
    for (const auto& u : o.unrestorable) {
      out << "!!!! NOT RESTORED in " << c.name << ": " << u << "\n";
      std::fprintf(stderr, "\n!!!! NOT RESTORED in %s: %s\n\n", c.name.c_str(), u.c_str());
    }
    out.flush();
    outcomes.push_back(o);
    if (interrupt_requested()) stopped = true;
  }
  return outcomes;
}

void write_junit(const std::string& path, const std::string& suite, const std::vector<Outcome>& outcomes,
                 double seconds) {
  unsigned failures = 0, skipped = 0;
  for (const auto& o : outcomes) {
    if (o.result.status == Status::fail || !o.restore_failures.empty()) ++failures;
    if (o.result.status == Status::skip) ++skipped;
  }
  std::ofstream f(path);
  if (!f) throw host::Error(host::Exit::failure, "cannot write " + path);
  f << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  f << "<testsuites>\n<testsuite name=\"" << xml_escape(suite) << "\" tests=\"" << outcomes.size()
    << "\" failures=\"" << failures << "\" errors=\"0\" skipped=\"" << skipped << "\" time=\"" << fixed(seconds, 3)
    << "\">\n";
  for (const auto& o : outcomes) {
    f << "  <testcase classname=\"" << xml_escape(suite) << "\" name=\"" << xml_escape(o.name) << "\" time=\""
      << fixed(o.seconds, 3) << "\">\n";
    const std::string text = o.result.figure + (o.result.figure.empty() || o.result.message.empty() ? "" : "; ") +
                             o.result.message;
    if (o.result.status == Status::fail)
      f << "    <failure message=\"" << xml_escape(o.result.message) << "\">" << xml_escape(text) << "</failure>\n";
    else if (o.result.status == Status::skip)
      f << "    <skipped message=\"" << xml_escape(o.result.message) << "\"/>\n";
    for (const auto& r : o.restore_failures)
      f << "    <failure type=\"restore\" message=\"" << xml_escape(r) << "\">" << xml_escape(r) << "</failure>\n";
    if (!o.result.figure.empty()) f << "    <system-out>" << xml_escape(o.result.figure) << "</system-out>\n";
    f << "  </testcase>\n";
  }
  f << "</testsuite>\n</testsuites>\n";
  if (!f) throw host::Error(host::Exit::failure, "cannot write " + path);
}

}  // namespace check
