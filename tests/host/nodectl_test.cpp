// The nodectl program itself: argument handling, exit codes, and whole
// commands against a node played by the test on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "serial_port.hpp"

#ifndef NODECTL_PATH
#error "NODECTL_PATH must name the nodectl binary"
#endif

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

Result nodectl(const std::vector<std::string>& args, const std::string& input = "") {
  int out[2], err[2], in[2];
  if (::pipe(out) || ::pipe(err) || ::pipe(in)) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::unsetenv("NODECTL_PORT");
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) ::close(fd);
    std::vector<char*> argv{const_cast<char*>(NODECTL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(NODECTL_PATH, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  ::close(in[0]);
  if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
  ::close(in[1]);
  Result r;
  struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && ::poll(p, 2, 20000) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = ::read(p[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(p[i].fd);
        p[i].fd = -1;
        --open;
      } else {
        (i ? r.err : r.out).append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A node on the far side of a pseudo-terminal, answering frame by frame.
// velmora frames end in CR (the bus sync "0" is dropped); tavlo's 'M' and
// 'R' are frames of their own.
class PtyNode {
 public:
  using Answer = std::function<std::string(const std::string& frame)>;
  PtyNode(bool tavlo, Answer answer) : tavlo_(tavlo), answer_(std::move(answer)) {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    struct termios t;
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    path_ = ::ttyname(slave_);
    thread_ = std::thread([this] { run(); });
  }
  ~PtyNode() {
    stop_ = true;
    thread_.join();
    ::close(master_);
    ::close(slave_);
  }
  const std::string& path() const { return path_; }
  // Everything the host sent, once the line has been quiet for a moment
  // (the program may exit before its last bytes were read here).
  std::string received() {
    std::string last = snapshot();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      std::string now = snapshot();
      if (now == last) return now;
      last = now;
    }
  }

 private:
  std::string snapshot() {
    std::lock_guard<std::mutex> g(m_);
    return all_;
  }
  void run() {
    std::string buf;
    while (!stop_) {
      struct pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      char b[512];
      ssize_t n = ::read(master_, b, sizeof b);
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> g(m_);
        all_.append(b, static_cast<std::size_t>(n));
      }
      buf.append(b, static_cast<std::size_t>(n));
      for (;;) {
        std::string frame;
        if (tavlo_ && !buf.empty() && (buf[0] == 'M' || buf[0] == 'R')) {
          frame = buf.substr(0, 1);
          buf.erase(0, 1);
        } else {
          auto cr = buf.find('\r');
          if (cr == std::string::npos) break;
          frame = buf.substr(0, cr);
          buf.erase(0, cr + 1);
        }
        if (!tavlo_ && frame == "0") continue;
        std::string reply = answer_(frame);
        if (!reply.empty()) (void)!::write(master_, reply.data(), reply.size());
      }
    }
  }

  bool tavlo_;
  Answer answer_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::string all_;
};

std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("nodectl_test_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

int count_lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

}  // namespace

TEST(Nodectl, BadCommandLinesAreUsageErrorsBeforeThePortIsTouched) {
  // "/dev/no-such-port" would be a port error (3): every case must fail earlier, with 2.
  const std::string P = "/dev/no-such-port";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "say which node"},
      {{"foo"}, "unknown node 'foo'"},
      {{"velmora"}, "say which velmora command"},
      {{"velmora", "fly"}, "unknown velmora command 'fly'"},
      {{"-p", P, "-b", "1234", "velmora", "read"}, "bad baud rate '1234'"},
      {{"-p", P, "--baud=fast", "tavlo", "read"}, "bad baud rate 'fast'"},
      {{"velmora", "read"}, "missing --port"},
      {{"-p", P, "velmora", "read", "--persist"}, "--persist does not apply to 'velmora read'"},
      {{"-p", P, "velmora", "set"}, "missing argument: nodectl velmora set VOLTS"},
      {{"-p", P, "velmora", "read", "5"}, "too many arguments: '5'"},
      {{"-p", P, "velmora", "address", "7", "8"}, "too many arguments: '8'"},
      {{"-p", P, "velmora", "-a", "0", "read"}, "--address 0 out of range 1..253"},
      {{"-p", "tcp:127.0.0.1:99999", "velmora", "read"}, "TCP port 99999 out of range 1..65535"},
      {{"-p", P, "velmora", "monitor", "--volts", "500"}, "--on-after-ms and --volts go together"},
      {{"-p", P, "velmora", "set", "12.5"}, "whole volts"},
      {{"-p", P, "velmora", "set", "-5"}, "must be a whole number"},
      {{"-p", P, "velmora", "set", "2500"}, "voltage 2500 out of range 0..2010"},
      {{"-p", P, "velmora", "-a", "300", "read"}, "--address 300 out of range"},
      {{"-p", P, "velmora", "-a", "253", "set", "5"}, "broadcast"},
      {{"-p", P, "velmora", "address", "253"}, "new address 253 out of range 1..252"},
      {{"-p", P, "tavlo", "averaging", "16"}, "out of range 1..15"},
      {{"-p", P, "tavlo", "acquire", "3", "--wait", "soon"}, "--wait must be computed or queued"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"velmora", "read", "-p"}, "option '-p' needs a value"},
      {{"-p", P, "--format", "xml", "velmora", "read"}, "--format must be text, csv or json"},
      {{"-p", P, "velmora", "set", "100", "--ramp", "fast"}, "ramp rate"},
      {{"-p", P, "velmora", "on", "--ramp", "50V/s"}, "--ramp needs --volts"},
      {{"-p", P, "velmora", "set", "100", "--limits", "/nonexistent.limits"}, "cannot read limit file"},
      {{"-p", P, "-t", "0", "velmora", "read"}, "--timeout-ms 0 out of range"},
  };
  for (const auto& [args, message] : cases) {
    Result r = nodectl(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.code, 2) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find("Try 'nodectl --help'"), std::string::npos) << shown;
  }
}

TEST(Nodectl, HelpDescribesCommandsAndExitCodes) {
  Result r = nodectl({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* s : {"velmora COMMAND", "tavlo COMMAND", "Exit codes", "4  no reply", "7  refused",
                        "acquire N", "monitor", "term"})
    EXPECT_NE(r.out.find(s), std::string::npos) << s;
  r = nodectl({"velmora", "set", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("--ramp RATE"), std::string::npos);
  EXPECT_NE(r.out.find("--limits FILE"), std::string::npos);
  r = nodectl({"help", "tavlo"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("115200"), std::string::npos);
}

TEST(Nodectl, PortProblemsAreExitCode3) {
  Result r = nodectl({"-p", "/dev/no-such-port", "velmora", "read"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("no such port"), std::string::npos) << r.err;

  PtyNode node(false, [](const std::string&) { return std::string(); });
  host::SerialPort holder(node.path(), 9600);
  r = nodectl({"-p", node.path(), "velmora", "read"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("port held by another program"), std::string::npos) << r.err;
}

TEST(Nodectl, VelmoraCommandsOverAPseudoTerminal) {
  unsigned setpoint = 1500;
  bool garble = false;
  PtyNode node(false, [&](const std::string& f) -> std::string {
    if (garble) return "e=1\xa5\x80\r\n";
    if (f == "H1") return "e=" + std::to_string(setpoint) + "\r\n";
    if (f == "R1") return "e=" + std::to_string(setpoint * 32768 / 26936) + "\r\n";
    if (f.rfind("U1 ", 0) == 0) setpoint = static_cast<unsigned>(std::stoul(f.substr(3))) / 2;  // a weak supply
    return "";
  });
  const std::string trace = temp_path("trace.txt");
  Result r = nodectl({"-p", node.path(), "velmora", "read", "--format", "json", "--trace", trace});
  EXPECT_EQ(r.code, 0) << r.err;
  // Two readings from two queries, each with its own time.
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["address"], 1);
  EXPECT_EQ(j["volts"], 1500);
  EXPECT_EQ(j["code"], 1824);
  EXPECT_GE(j["code_time_s"].get<double>(), j["volts_time_s"].get<double>());
  EXPECT_EQ(node.received(), "0\rH1\r0\rR1\r0\r");
  const std::string t = slurp(trace);
  EXPECT_NE(t.find(" > H1\\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find(" < e=1500\\r\\n\n"), std::string::npos) << t;
  std::filesystem::remove(trace);

  r = nodectl({"-p", node.path(), "-t", "50", "velmora", "-a", "2", "read"});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("no reply from velmora 2"), std::string::npos) << r.err;

  // Refused by a limit: nothing but the reading goes out.
  const std::string limits = temp_path("hv.limits");
  std::ofstream(limits) << "1 max_volts=1200\n";
  std::string before = node.received();
  r = nodectl({"-p", node.path(), "velmora", "set", "1300", "--limits", limits});
  EXPECT_EQ(r.code, 7) << r.err;
  EXPECT_NE(r.err.find("exceeds the limit of 1200 V"), std::string::npos) << r.err;
  EXPECT_EQ(node.received().find('U', before.size()), std::string::npos);
  std::filesystem::remove(limits);

  // The supply gives half of what is asked: a readback mismatch.
  r = nodectl({"-p", node.path(), "velmora", "set", "1000", "--settle-ms", "300"});
  EXPECT_EQ(r.code, 6) << r.err;
  EXPECT_NE(r.out.find("mismatch, reads 500 V"), std::string::npos) << r.out;

  r = nodectl({"-p", node.path(), "velmora", "raw", "H1"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "\"e=500\\r\\n\"\n");

  // Typed lines end in CR on the line, never LF; the reply is followed by the bus sync.
  before = node.received();
  r = nodectl({"-p", node.path(), "--quiet-ms", "200", "velmora", "term"}, "H1\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "e=500\r\n");
  EXPECT_EQ(node.received().substr(before.size()), "0\rH1\r0\r");

  const std::string csv = temp_path("hv.csv"), svg = temp_path("hv.svg");
  r = nodectl({"-p", node.path(), "velmora", "monitor", "--count", "3", "--interval-ms", "20", "-o", csv, "--svg",
               svg});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(count_lines(r.out), 3);
  const std::string data = slurp(csv);
  EXPECT_EQ(data.rfind("volts_time_s,volts,code_time_s,code\n", 0), 0u);
  EXPECT_EQ(count_lines(data), 4);
  EXPECT_NE(data.find(",500,"), std::string::npos) << data;
  EXPECT_NE(data.find(",608\n"), std::string::npos) << data;
  EXPECT_NE(slurp(svg).find("<polyline"), std::string::npos);
  std::filesystem::remove(csv);
  std::filesystem::remove(svg);

  garble = true;
  r = nodectl({"-p", node.path(), "velmora", "read"});
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.err.find("garbled"), std::string::npos) << r.err;
  EXPECT_EQ(node.received().find('\n'), std::string::npos);
}

TEST(Nodectl, TavloCommandsOverAPseudoTerminal) {
  std::string pairs = "R";
  for (unsigned ch = 0; ch < 64; ++ch) pairs += std::to_string(ch * 10) + " " + std::to_string(4000 - ch) + "\r\n";
  int scans = 0;
  PtyNode node(true, [&](const std::string& f) -> std::string {
    if (f == "S1") return "S1\r\n";
    if (f == "A") return "A\r\nA2\r\n";
    if (f == "D") return "D\r\nD50\r\n";
    if (f == "M") ++scans;
    if (f == "R") return pairs;
    return "";
  });
  const std::string svg = temp_path("profile.svg");
  Result r = nodectl({"-p", node.path(), "tavlo", "read", "--format", "csv", "--svg", svg});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(count_lines(r.out), 65);
  EXPECT_EQ(r.out.rfind("channel,x,y\n0,0,4000\n1,10,3999\n", 0), 0u) << r.out.substr(0, 60);
  EXPECT_NE(slurp(svg).find("<polyline"), std::string::npos);
  std::filesystem::remove(svg);

  const std::string csv = temp_path("scans.csv");
  r = nodectl({"-p", node.path(), "tavlo", "acquire", "2", "--wait", "queued", "-o", csv});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::string data = slurp(csv);
  EXPECT_EQ(count_lines(data), 1 + 2 * 64);
  EXPECT_NE(data.find("\n2,63,630,3937\n"), std::string::npos);
  EXPECT_EQ(scans, 2);
  std::filesystem::remove(csv);

  r = nodectl({"-p", node.path(), "-a", "2", "-t", "50", "tavlo", "read"});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("no tavlo answers to S2"), std::string::npos) << r.err;
}

TEST(Nodectl, VersionAndHelpSayWhatScanCannotSee) {
  Result r = nodectl({"--version"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("nodectl ", 0), 0u) << r.out;
  r = nodectl({"velmora", "scan", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("What it cannot tell: two nodes at one address"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("--per-address-ms MS"), std::string::npos) << r.out;
  // The help's address range is the one enforced.
  r = nodectl({"velmora", "read", "--help"});
  EXPECT_NE(r.out.find("-a,--address N:1..253"), std::string::npos) << r.out;
}

// A velmora on the far side whose output follows its set-point while on.
struct FakeSupply {
  bool on = false;
  unsigned setpoint = 0;
  std::string answer(const std::string& f) {
    if (f == "H1") return "e=" + std::to_string(on ? setpoint : 0) + "\r\n";
    if (f == "R1") return "e=" + std::to_string((on ? setpoint : 0) * 32768 / 26936) + "\r\n";
    if (f == "N1") on = true;
    if (f == "F1") on = false;
    if (f.rfind("U1 ", 0) == 0) setpoint = static_cast<unsigned>(std::stoul(f.substr(3)));
    if (f == "A1") return "1\r\n";
    // 1278 is the sensor's code at 25 C by the data sheet's typical figures.
    if (f == "D1") return "\r\nADC[0]=10\n\rADC[1]=11\n\rADC[2]=12\n\rADC[3]=13\n\rTemperature=30\n\r\n\r";
    return "";
  }
};

TEST(Nodectl, VelmoraReportsAnOperatorCanRead) {
  FakeSupply supply;
  supply.on = true;
  supply.setpoint = 1492;
  PtyNode node(false, [&](const std::string& f) { return supply.answer(f); });

  Result r = nodectl({"-p", node.path(), "velmora", "read"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("1492 V ('H' at "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("code 1815 ('R' at "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("two readings"), std::string::npos) << r.out;

  r = nodectl({"-p", node.path(), "velmora", "dump"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("ADC3=13 temperature: raw 30 (the node's value), about 25.0 \u00b0C"), std::string::npos)
      << r.out;
  r = nodectl({"-p", node.path(), "velmora", "dump", "-f", "json"});
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["temperature_raw"], 30);
  EXPECT_NEAR(j["temperature_c"].get<double>(), 25.0, 0.05);

  // An address that answers cleanly may still hold two nodes: the scan says so.
  r = nodectl({"-p", node.path(), "velmora", "scan", "--to", "3", "--per-address-ms", "30"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("address 1: answers\n1 address of 1..3 answered\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("cannot tell"), std::string::npos) << r.out;

  // A runaway frame is not echoed back whole.
  PtyNode silent(false, [](const std::string&) { return std::string(); });
  r = nodectl({"-p", silent.path(), "-b", "921600", "-t", "50", "velmora", "raw", std::string(100000, 'H')});
  EXPECT_EQ(r.code, 4);
  EXPECT_LT(r.err.size(), 400u) << r.err.size();
  EXPECT_NE(r.err.find("(100001 bytes in all)"), std::string::npos) << r.err.substr(0, 400);
}

TEST(Nodectl, MonitorRecordsTheSwitchOnWithItsSetPoint) {
  FakeSupply supply;
  PtyNode node(false, [&](const std::string& f) { return supply.answer(f); });
  const std::string csv = temp_path("on.csv"), svg = temp_path("on.svg");
  Result r = nodectl({"-p", node.path(), "velmora", "monitor", "--interval-ms", "60", "--count", "14", "--on-after-ms",
                      "150", "--volts", "400", "--ramp", "1000V/s", "-o", csv, "--svg", svg});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::string data = slurp(csv);
  EXPECT_EQ(data.rfind("volts_time_s,volts,code_time_s,code,setpoint_v\n", 0), 0u) << data;
  EXPECT_EQ(count_lines(data), 15) << data;
  // Before the switch-on: no output and no set-point sent; then the ramp up to 400 V.
  std::istringstream rows(data);
  std::string row;
  std::getline(rows, row);
  std::getline(rows, row);
  EXPECT_NE(row.find(",0,"), std::string::npos) << row;
  EXPECT_EQ(row.back(), ',') << row;
  std::vector<unsigned> setpoints;
  while (std::getline(rows, row))
    if (row.back() != ',') setpoints.push_back(static_cast<unsigned>(std::stoul(row.substr(row.rfind(',') + 1))));
  ASSERT_GE(setpoints.size(), 4u) << data;
  EXPECT_TRUE(std::is_sorted(setpoints.begin(), setpoints.end())) << data;
  EXPECT_EQ(setpoints.back(), 400u) << data;
  EXPECT_LT(setpoints[1], 400u) << data;  // ramped, not jumped
  const std::string sent = node.received();
  EXPECT_LT(sent.find("U1 0\rN1\r"), sent.find("U1 400\r")) << sent;
  const std::string picture = slurp(svg);
  EXPECT_NE(picture.find("set-point"), std::string::npos);
  std::size_t lines = 0;
  for (auto at = picture.find("<polyline"); at != std::string::npos; at = picture.find("<polyline", at + 1)) ++lines;
  EXPECT_EQ(lines, 2u);
  std::filesystem::remove(csv);
  std::filesystem::remove(svg);

  // Switching on from the monitor needs the output off.
  r = nodectl({"-p", node.path(), "velmora", "monitor", "--count", "2", "--on-after-ms", "0", "--volts", "100"});
  EXPECT_EQ(r.code, 7) << r.err;
  EXPECT_NE(r.err.find("the output is on already"), std::string::npos) << r.err;
}

TEST(Nodectl, PipedTermSendsOneFrameAtATime) {
  FakeSupply supply;
  supply.on = true;
  supply.setpoint = 700;
  PtyNode node(false, [&](const std::string& f) {
    // The reply takes its time, as on a 9600 Bd line.
    if (f == "H1" || f == "R1") std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return supply.answer(f);
  });
  Result r = nodectl({"-p", node.path(), "--quiet-ms", "50", "velmora", "term"}, "H1\nR1\nA1\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "e=700\r\ne=851\r\n1\r\n");
  // Each frame waits for the reply to the one before, and its bus sync.
  EXPECT_EQ(node.received(), "0\rH1\r0\rR1\r0\rA1\r0\r");

  r = nodectl({"-p", node.path(), "--quiet-ms", "50", "velmora", "term", "--hex", "--timestamps"}, "H1\n");
  EXPECT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(r.out.size(), std::string("[    0.000] 65 3d 37 30 30 0d 0a\n").size()) << r.out;
  EXPECT_EQ(r.out.substr(0, 1), "[");
  EXPECT_EQ(r.out.substr(11), " 65 3d 37 30 30 0d 0a\n") << r.out;
}

// A command with its own parser (the console) gets every other word as typed.
std::vector<std::string> g_forwarded;
int fake_console(int argc, char** argv) {
  g_forwarded.assign(argv, argv + argc);
  return 42;
}

TEST(Nodectl, ForwardedCommandTakesItsOwnArguments) {
  host::add_forwarded_command("console-test", "a console", fake_console);
  std::vector<std::string> words = {"nodectl", "-p", "/dev/pts/9", "console-test", "--listen", "127.0.0.1:0", "-v"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  std::ostringstream out, err;
  EXPECT_EQ(host::nodectl_main(static_cast<int>(argv.size()), argv.data(), out, err), 42) << err.str();
  EXPECT_EQ(g_forwarded, (std::vector<std::string>{"nodectl console-test", "-p", "/dev/pts/9", "--listen",
                                                    "127.0.0.1:0", "-v"}));
  std::vector<std::string> help = {"nodectl", "--help"};
  std::vector<char*> hargv = {help[0].data(), help[1].data()};
  EXPECT_EQ(host::nodectl_main(2, hargv.data(), out, err), 0);
  EXPECT_NE(out.str().find("console-test"), std::string::npos);
}

TEST(Nodectl, BashCompletionFollowsTheCommandTree) {
  Result r = nodectl({"completion", "bash"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string script = temp_path("nodectl.bash");
  std::ofstream(script) << r.out;
  // Completes as bash would: words so far, the last one being typed.
  const std::string driver = temp_path("drive.sh");
  std::ofstream(driver) << "source " << script << "\n"
                        << "t() { COMP_WORDS=(\"$@\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); "
                           "_nodectl; echo \"${COMPREPLY[*]}\"; }\n"
                           "t nodectl -p /dev/pts/5 velmora s\n"
                           "t nodectl velmora set 100 --p\n"
                           "t nodectl tavlo acquire 3 --wait ''\n"
                           "t nodectl -t 50 tavlo ''\n";
  Result b = [&] {
    Result x;
    std::string cmd = "bash " + driver;
    std::FILE* f = ::popen(cmd.c_str(), "r");
    char buf[4096];
    std::size_t n;
    while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) x.out.append(buf, n);
    x.code = f ? ::pclose(f) : -1;
    return x;
  }();
  EXPECT_EQ(b.code, 0);
  EXPECT_EQ(b.out,
            "set set-code scan\n"
            "--persist --port\n"
            "computed queued\n"
            "identify select trigger read list averaging settle version acquire raw term\n");
  std::filesystem::remove(script);
  std::filesystem::remove(driver);
}
