// A TCP connection to a server, read line by line from a large buffer, with
// TLS (from the start or switched on later) through GnuTLS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillmar::platform {

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Connects to `host` (a name or an address) and `port`; every later read
  // or write waits at most `timeout_seconds`. On failure `error` says why.
  // Small writes go out at once (TCP_NODELAY).
  bool connect(std::string_view host, uint16_t port, int timeout_seconds, std::string& error);
  // Starts TLS on the open connection and checks the server's certificate
  // for `host` against the system's trusted authorities, or against those
  // in `ca_file` when it is not empty.
  bool start_tls(std::string_view host, std::string_view ca_file, std::string& error);
  bool is_open() const { return fd_ >= 0; }
  // Writes all of `data` (several commands go out in one call).
  bool write(std::string_view data);
  // The next line without its line end (CR LF or LF), as a view into the
  // connection's buffer that stays valid until the next read. False at the
  // end of the stream, on an error, or when the line is longer than
  // `maximum` (failure() says which).
  bool read_line(std::string_view& line, std::size_t maximum);
  bool read_line(std::string& line, std::size_t maximum);
  // True when the last read_line() failed on a line longer than its
  // maximum; the line is still unread (skip_line() drops it).
  bool line_too_long() const { return too_long_; }
  // Reads and drops the next line, however long; `length` is its length
  // without the line end, `dot` whether it is a lone ".".
  bool skip_line(std::size_t& length, bool& dot);
  // Why the last read or write failed, in words a person can act on: "the
  // server closed the connection", "no answer from the server within 120
  // seconds", or the system's reason.
  const std::string& failure() const { return failure_; }
  void close();

 private:
  bool fill();
  long raw_read(char* buffer, std::size_t size);
  void note_failure(long result);

  int fd_ = -1;
  int timeout_seconds_ = 60;
  void* session_ = nullptr;      // gnutls_session_t while TLS is on
  void* credentials_ = nullptr;  // gnutls_certificate_credentials_t
  // Received bytes: the unread ones are buffer_[start_, end_).
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  std::string failure_;
  bool too_long_ = false;
};

}  // namespace quillmar::platform
