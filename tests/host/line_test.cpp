// Real lines: a pseudo-terminal pair for the termios port, a loopback socket
// for TCP, and the trace wrapper.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "errors.hpp"
#include "fakes.hpp"
#include "serial_port.hpp"
#include "trace.hpp"

using namespace host;
using namespace std::chrono_literals;

namespace {

// Reads from fd until `n` bytes have come or `ms` pass.
std::string read_fd(int fd, std::size_t n, int ms) {
  std::string out;
  while (out.size() < n) {
    struct pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) break;
    char buf[256];
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

std::string read_port(Transport& t, std::size_t n) {
  std::string out;
  for (int i = 0; i < 50 && out.size() < n; ++i) out += t.read_some(20ms);
  return out;
}

struct Pty {
  int master = -1, slave = -1;
  std::string path;
  Pty() {
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    path = ::ttyname(slave);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

Exit error_code_of(const std::function<void()>& f, std::string* what = nullptr) {
  try {
    f();
  } catch (const Error& e) {
    if (what) *what = e.what();
    return e.code();
  }
  return Exit::ok;
}

}  // namespace

TEST(SerialPort, RawModePassesEveryByteUnchanged) {
  Pty pty;
  SerialPort port(pty.path, 9600);
  EXPECT_EQ(port.baud(), 9600u);

  // Toward the host: CR stays CR (no ICRNL), ^C and XON are data, not signals.
  const std::string in = std::string("e=1808\r\n\x03\x11\x7f", 11);
  ASSERT_EQ(::write(pty.master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  EXPECT_EQ(read_port(port, in.size()), in);

  // Toward the node: LF is not expanded to CR LF (no ONLCR), and nothing
  // the node sends is echoed back to it.
  port.write("V1 1500\r\n");
  EXPECT_EQ(read_fd(pty.master, 100, 200), "V1 1500\r\n");
  EXPECT_EQ(read_fd(pty.master, 1, 50), "");

  struct termios t;
  ASSERT_EQ(::tcgetattr(pty.slave, &t), 0);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));

  // Nothing waiting: a read returns empty after its time-out.
  EXPECT_EQ(port.read_some(10ms), "");
}

TEST(SerialPort, ExclusiveLockAndClearOpenErrors) {
  Pty pty;
  std::string what;
  {
    SerialPort first(pty.path, 115200);
    EXPECT_EQ(error_code_of([&] { SerialPort second(pty.path, 115200); }, &what), Exit::port);
    EXPECT_NE(what.find("port held by another program"), std::string::npos) << what;
  }
  // Released with the first owner.
  EXPECT_EQ(error_code_of([&] { SerialPort again(pty.path, 115200); }), Exit::ok);

  EXPECT_EQ(error_code_of([&] { SerialPort p("/dev/no-such-port", 9600); }, &what), Exit::port);
  EXPECT_NE(what.find("no such port"), std::string::npos) << what;
  EXPECT_EQ(error_code_of([&] { SerialPort p("/dev/null", 9600); }), Exit::port);
  EXPECT_EQ(error_code_of([&] { SerialPort p(pty.path, 9601); }), Exit::usage);
  EXPECT_FALSE(valid_baud(0));
  EXPECT_TRUE(valid_baud(115200));
}

TEST(SerialPort, ALineThatGoesAwayIsAPortError) {
  Pty pty;
  SerialPort port(pty.path, 9600);
  ::close(pty.master);
  ::close(pty.slave);
  pty.master = pty.slave = -1;
  std::string what;
  EXPECT_EQ(error_code_of([&] { port.read_some(100ms); }, &what), Exit::port);
  EXPECT_NE(what.find("closed"), std::string::npos) << what;
}

TEST(TcpLine, CarriesBytesBothWaysAndReportsItsEnd) {
  int srv = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(srv, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(srv, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(srv, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(srv, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));

  auto line = open_line("tcp:127.0.0.1:" + port, 115200);
  EXPECT_EQ(line->name(), "tcp:127.0.0.1:" + port);
  EXPECT_EQ(line->baud(), 115200u);
  int peer = ::accept(srv, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  line->write("S1\r");
  EXPECT_EQ(read_fd(peer, 3, 500), "S1\r");
  ASSERT_EQ(::write(peer, "S1\r\n", 4), 4);
  EXPECT_EQ(read_port(*line, 4), "S1\r\n");
  ::close(peer);
  EXPECT_EQ(error_code_of([&] { read_port(*line, 1); }), Exit::port);
  ::close(srv);

  // Nobody listening any more; malformed addresses are usage errors.
  EXPECT_EQ(error_code_of([&] { open_line("tcp:127.0.0.1:" + port, 9600); }), Exit::port);
  EXPECT_EQ(error_code_of([&] { open_line("tcp:localhost", 9600); }), Exit::usage);
  EXPECT_EQ(error_code_of([&] { open_line("tcp::5000", 9600); }), Exit::usage);
}

TEST(TraceLine, LogsBothDirectionsWithTimesAndEscapes) {
  fake::Clock clock;
  fake::ScriptedLine inner(clock);
  inner.expect("H1\r", "e=1808\r\n", 12ms);
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  TraceLine trace(inner, f, clock);
  trace.note("start");
  trace.write("H1\r");
  std::string got;
  while (got.size() < 8) got += trace.read_some(50ms);
  EXPECT_EQ(got, "e=1808\r\n");

  std::rewind(f);
  char buf[512];
  std::string text(buf, std::fread(buf, 1, sizeof buf, f));
  std::fclose(f);
  EXPECT_TRUE(std::regex_search(text, std::regex("# start\n")));
  EXPECT_TRUE(std::regex_search(text, std::regex(R"( +0\.000000 > H1\\r\n)"))) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"( +0\.012000 < e=1808\\r\\n\n)"))) << text;
}
