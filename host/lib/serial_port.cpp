#include "serial_port.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bytes.hpp"
#include "errors.hpp"

namespace host {
namespace {

struct BaudEntry {
  unsigned rate;
  speed_t code;
};

constexpr BaudEntry kBauds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::string sys_error(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

// Waits until fd is ready for `events`, at most `timeout`; false on time-out.
bool wait_fd(int fd, short events, Duration timeout) {
  if (timeout < Duration::zero()) timeout = Duration::zero();
  struct pollfd p{fd, events, 0};
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000);
  ts.tv_nsec = static_cast<long>((timeout.count() % 1'000'000) * 1000);
  for (;;) {
    int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r < 0 && errno == EINTR) return false;  // let the caller look at its deadline again
    if (r < 0) throw port_error(std::string("poll failed: ") + std::strerror(errno));
    if (r == 0) return false;
    return true;
  }
}

void write_all(int fd, std::string_view bytes, const std::string& name) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A full output queue should drain within seconds even at 1200 Bd.
      if (!wait_fd(fd, POLLOUT, 5s)) throw port_error("write to " + name + " stalled (flow control or line gone?)");
      continue;
    }
    throw port_error(sys_error("write to", name, errno));
  }
}

std::string read_chunk(int fd, Duration timeout, const std::string& name) {
  if (!wait_fd(fd, POLLIN, timeout)) return {};
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
    if (n == 0) throw port_error("line " + name + " closed by the other end");
    // A pseudo-terminal whose master side went away reports EIO.
    if (errno == EIO) throw port_error("line " + name + " closed by the other end (I/O error)");
    throw port_error(sys_error("read from", name, errno));
  }
}

}  // namespace

bool valid_baud(unsigned baud) {
  for (const auto& b : kBauds)
    if (b.rate == baud) return true;
  return false;
}

SerialPort::SerialPort(const std::string& path, unsigned baud) : path_(path), baud_(baud) {
  speed_t code = 0;
  bool found = false;
  for (const auto& b : kBauds)
    if (b.rate == baud) code = b.code, found = true;
  if (!found) throw usage_error("unsupported baud rate " + std::to_string(baud));

  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    int e = errno;
    if (e == EBUSY) throw port_error("port held by another program: " + path);
    if (e == ENOENT) throw port_error("no such port: " + path);
    if (e == EACCES) throw port_error("permission denied on " + path + " (is the user in the dialout group?)");
    throw port_error(sys_error("cannot open", path, e));
  }
  // flock also holds against root, which TIOCEXCL does not stop.
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    if (e == EWOULDBLOCK) throw port_error("port held by another program: " + path);
    throw port_error(sys_error("cannot lock", path, e));
  }
  struct termios tio;
  if (::tcgetattr(fd_, &tio) != 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    throw port_error(sys_error("not a serial line:", path, e));
  }
  ::ioctl(fd_, TIOCEXCL);
  ::cfmakeraw(&tio);  // no ICRNL/ONLCR/echo/canonical mode: bytes pass unchanged
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, code);
  ::cfsetospeed(&tio, code);
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    throw port_error(sys_error("cannot configure", path, e));
  }
  ::tcflush(fd_, TCIOFLUSH);  // stale bytes from before we owned the line
}

SerialPort::~SerialPort() {
  if (fd_ >= 0) {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
}

void SerialPort::write(std::string_view bytes) { write_all(fd_, bytes, path_); }

void SerialPort::set_baud(unsigned baud) {
  speed_t code = 0;
  bool found = false;
  for (const auto& b : kBauds)
    if (b.rate == baud) code = b.code, found = true;
  if (!found) throw usage_error("unsupported baud rate " + std::to_string(baud));
  ::tcdrain(fd_);
  struct termios tio;
  if (::tcgetattr(fd_, &tio) != 0) throw port_error(sys_error("cannot read the settings of", path_, errno));
  ::cfsetispeed(&tio, code);
  ::cfsetospeed(&tio, code);
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) throw port_error(sys_error("cannot configure", path_, errno));
  baud_ = baud;
}

std::string SerialPort::read_some(Duration timeout) { return read_chunk(fd_, timeout, path_); }

TcpLine::TcpLine(const std::string& host, const std::string& port, unsigned nominal_baud, Duration connect_timeout)
    : name_("tcp:" + host + ":" + port), baud_(nominal_baud) {
  struct addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) throw port_error("cannot resolve " + name_ + ": " + ::gai_strerror(rc));
  std::string last_error = "no address";
  for (auto* ai = res; ai; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      last_error = std::strerror(errno);
      continue;
    }
    int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      if (wait_fd(fd, POLLOUT, connect_timeout)) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
        errno = err;
      } else {
        errno = ETIMEDOUT;
      }
    }
    if (r == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      break;
    }
    last_error = std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(res);
  if (fd_ < 0) throw port_error("cannot connect to " + name_ + ": " + last_error);
}

TcpLine::~TcpLine() {
  if (fd_ >= 0) ::close(fd_);
}

void TcpLine::write(std::string_view bytes) { write_all(fd_, bytes, name_); }

std::string TcpLine::read_some(Duration timeout) { return read_chunk(fd_, timeout, name_); }

std::unique_ptr<Transport> open_line(const std::string& where, unsigned baud, Duration connect_timeout) {
  if (where.rfind("tcp:", 0) == 0) {
    std::string rest = where.substr(4);
    std::string h, p;
    if (!rest.empty() && rest[0] == '[') {
      auto close = rest.find(']');
      if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
        throw usage_error("bad TCP address '" + where + "' (expected tcp:[ADDR]:PORT)");
      h = rest.substr(1, close - 1);
      p = rest.substr(close + 2);
    } else {
      auto colon = rest.rfind(':');
      if (colon == std::string::npos) throw usage_error("bad TCP address '" + where + "' (expected tcp:HOST:PORT)");
      h = rest.substr(0, colon);
      p = rest.substr(colon + 1);
    }
    if (h.empty() || p.empty()) throw usage_error("bad TCP address '" + where + "' (expected tcp:HOST:PORT)");
    // A number out of range would otherwise reach the resolver, whose
    // complaint ("connection refused", "service not known") hides the typo.
    if (p.find_first_not_of("0123456789") == std::string::npos) {
      auto n = parse_decimal(p, 0xFFFFFFFFu);
      if (!n || *n < 1 || *n > 65535)
        throw usage_error("TCP port " + p + " out of range 1..65535 in '" + where + "'");
    }
    return std::make_unique<TcpLine>(h, p, baud, connect_timeout);
  }
  return std::make_unique<SerialPort>(where, baud);
}

}  // namespace host
