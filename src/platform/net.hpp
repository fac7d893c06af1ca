// A TCP connection to a server, read line by line, with TLS (from the start
// or switched on later) through GnuTLS.
#pragma once

#include <cstddef>
#include <cstdint>
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
  bool connect(std::string_view host, uint16_t port, int timeout_seconds, std::string& error);
  // Starts TLS on the open connection and checks the server's certificate
  // for `host` against the system's trusted authorities, or against those
  // in `ca_file` when it is not empty.
  bool start_tls(std::string_view host, std::string_view ca_file, std::string& error);
  bool is_open() const { return fd_ >= 0; }
  bool write(std::string_view data);
  // The next line without its line end (CR LF or LF). False at the end of
  // the stream, on an error, or when the line is longer than `maximum`.
  bool read_line(std::string& line, std::size_t maximum);
  void close();

 private:
  bool fill();
  long raw_read(char* buffer, std::size_t size);

  int fd_ = -1;
  int timeout_seconds_ = 60;
  void* session_ = nullptr;      // gnutls_session_t while TLS is on
  void* credentials_ = nullptr;  // gnutls_certificate_credentials_t
  std::string buffer_;
  std::size_t pos_ = 0;
};

}  // namespace quillmar::platform
