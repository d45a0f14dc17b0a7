#pragma once
// Real lines: a serial device (or a simulator pseudo-terminal) through termios,
// and a TCP socket for a simulator that listens on the network.
#include <memory>
#include <string>

#include "transport.hpp"

namespace host {

// Baud rates the serial driver accepts.
bool valid_baud(unsigned baud);

class SerialPort final : public Transport {
 public:
  // Opens `path` in raw 8N1 mode at `baud`, no flow control, no CR/LF
  // translation, no echo. Takes an exclusive lock (flock plus TIOCEXCL) so a
  // second program cannot interleave bytes; a held port is a port error
  // saying "port held by another program".
  SerialPort(const std::string& path, unsigned baud);
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  void write(std::string_view bytes) override;
  std::string read_some(Duration timeout) override;
  unsigned baud() const override { return baud_; }
  std::string name() const override { return path_; }
  int poll_fd() const override { return fd_; }
  // Waits until the bytes already written have left, then changes the rate
  // (a line check sends a frame at a wrong rate on purpose).
  void set_baud(unsigned baud);

 private:
  std::string path_;
  unsigned baud_;
  int fd_ = -1;
};

class TcpLine final : public Transport {
 public:
  // `nominal_baud` is the rate of the line behind the socket, for time budgets.
  TcpLine(const std::string& host, const std::string& port, unsigned nominal_baud, Duration connect_timeout);
  ~TcpLine() override;
  TcpLine(const TcpLine&) = delete;
  TcpLine& operator=(const TcpLine&) = delete;

  void write(std::string_view bytes) override;
  std::string read_some(Duration timeout) override;
  unsigned baud() const override { return baud_; }
  std::string name() const override { return name_; }
  int poll_fd() const override { return fd_; }

 private:
  std::string name_;
  unsigned baud_;
  int fd_ = -1;
};

// "tcp:HOST:PORT" (HOST may be "[v6addr]") opens a TcpLine, anything else a
// SerialPort.
std::unique_ptr<Transport> open_line(const std::string& where, unsigned baud, Duration connect_timeout = 3s);

}  // namespace host
