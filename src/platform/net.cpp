#include "platform/net.hpp"

#include <gnutls/gnutls.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillmar::platform {

namespace {

// The buffer of received bytes, and the least room a read is given in it.
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr std::size_t kMinimumRead = 64 * 1024;

bool tls_ready() {
  static const bool ready = gnutls_global_init() == GNUTLS_E_SUCCESS;
  return ready;
}

}  // namespace

Connection::~Connection() {
  close();
}

bool Connection::connect(std::string_view host, uint16_t port, int timeout_seconds,
                         std::string& error) {
  close();
  std::string name(host);
  std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    error = std::string("cannot resolve ") + name + ": " + ::gai_strerror(rc);
    return false;
  }
  error = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    timeval tv{};
    tv.tv_sec = timeout_seconds_ = timeout_seconds > 0 ? timeout_seconds : 60;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      fd_ = fd;
      break;
    }
    error =
        std::string("cannot connect to ") + name + " port " + service + ": " + std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  if (fd_ < 0) return false;
  error.clear();
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  start_ = end_ = 0;
  failure_.clear();
  return true;
}

bool Connection::start_tls(std::string_view host, std::string_view ca_file, std::string& error) {
  if (fd_ < 0 || session_ != nullptr) {
    error = "no connection";
    return false;
  }
  if (!tls_ready()) {
    error = "TLS cannot be initialised";
    return false;
  }
  gnutls_certificate_credentials_t creds = nullptr;
  if (gnutls_certificate_allocate_credentials(&creds) != GNUTLS_E_SUCCESS) {
    error = "TLS: out of memory";
    return false;
  }
  credentials_ = creds;
  int loaded = ca_file.empty() ? gnutls_certificate_set_x509_system_trust(creds)
                               : gnutls_certificate_set_x509_trust_file(
                                     creds, std::string(ca_file).c_str(), GNUTLS_X509_FMT_PEM);
  if (loaded <= 0) {
    error = "TLS: no trusted certificate authority could be loaded";
    return false;
  }
  gnutls_session_t session = nullptr;
  if (gnutls_init(&session, GNUTLS_CLIENT) != GNUTLS_E_SUCCESS) {
    error = "TLS: out of memory";
    return false;
  }
  session_ = session;
  std::string name(host);
  gnutls_server_name_set(session, GNUTLS_NAME_DNS, name.data(), name.size());
  gnutls_set_default_priority(session);
  gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, creds);
  gnutls_session_set_verify_cert(session, name.c_str(), 0);
  gnutls_transport_set_int(session, fd_);
  gnutls_handshake_set_timeout(session, GNUTLS_DEFAULT_HANDSHAKE_TIMEOUT);
  int rc;
  do {
    rc = gnutls_handshake(session);
  } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
  if (rc < 0) {
    error = std::string("TLS handshake failed: ") + gnutls_strerror(rc);
    if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
      gnutls_datum_t text{};
      unsigned status = gnutls_session_get_verify_cert_status(session);
      if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
        error += std::string(" (") + reinterpret_cast<const char*>(text.data) + ")";
        gnutls_free(text.data);
      }
    }
    return false;
  }
  // Nothing read before the handshake may count as protected data.
  start_ = end_ = 0;
  return true;
}

bool Connection::write(std::string_view data) {
  while (!data.empty() && fd_ >= 0) {
    long n;
    if (session_ != nullptr) {
      n = gnutls_record_send(static_cast<gnutls_session_t>(session_), data.data(), data.size());
      if (n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_AGAIN) continue;
      if (n < 0) {
        failure_ = std::string("TLS: ") + gnutls_strerror(static_cast<int>(n));
        return false;
      }
    } else {
      n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure_ =
            errno == EAGAIN || errno == EWOULDBLOCK
                ? "the server took nothing for " + std::to_string(timeout_seconds_) + " seconds"
                : std::string("the connection broke: ") + std::strerror(errno);
        return false;
      }
    }
    if (n == 0) {
      failure_ = "the connection broke";
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  if (!data.empty()) failure_ = "no connection";
  return data.empty();
}

void Connection::note_failure(long result) {
  if (result == 0) {
    failure_ = "the server closed the connection";
  } else if (session_ != nullptr && result != GNUTLS_E_AGAIN) {
    failure_ = std::string("TLS: ") + gnutls_strerror(static_cast<int>(result));
  } else if (session_ != nullptr || errno == EAGAIN || errno == EWOULDBLOCK) {
    failure_ = "no answer from the server within " + std::to_string(timeout_seconds_) + " seconds";
  } else {
    failure_ = std::string("the connection broke: ") + std::strerror(errno);
  }
}

long Connection::raw_read(char* buffer, std::size_t size) {
  for (;;) {
    long n;
    if (session_ != nullptr) {
      n = gnutls_record_recv(static_cast<gnutls_session_t>(session_), buffer, size);
      if (n == GNUTLS_E_INTERRUPTED) continue;
      if (n == GNUTLS_E_AGAIN) {
        // A record that held no data (a session ticket), or the time-out.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_seconds_ * 1000) > 0) continue;
      }
    } else {
      n = ::recv(fd_, buffer, size, 0);
      if (n < 0 && errno == EINTR) continue;
    }
    if (n <= 0) note_failure(n);
    return n;
  }
}

bool Connection::fill() {
  if (fd_ < 0) {
    if (failure_.empty()) failure_ = "no connection";
    return false;
  }
  if (start_ == end_) {
    start_ = end_ = 0;
  } else if (start_ > 0 && capacity_ - end_ < kMinimumRead) {
    std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  if (capacity_ - end_ < kMinimumRead) {
    // One line fills the buffer: it grows (read_line bounds the line).
    std::size_t grown = capacity_ == 0 ? kBufferSize : capacity_ * 2;
    std::unique_ptr<char[]> bigger(new char[grown]);
    if (end_ > start_) std::memcpy(bigger.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    buffer_ = std::move(bigger);
    capacity_ = grown;
  }
  long n = raw_read(buffer_.get() + end_, capacity_ - end_);
  if (n <= 0) return false;
  end_ += static_cast<std::size_t>(n);
  return true;
}

bool Connection::read_line(std::string_view& line, std::size_t maximum) {
  too_long_ = false;
  std::size_t searched = 0;  // bytes after start_ known to hold no line feed
  for (;;) {
    const char* from = buffer_.get() + start_;
    const void* lf = searched < end_ - start_
                         ? std::memchr(from + searched, '\n', end_ - start_ - searched)
                         : nullptr;
    if (lf != nullptr) {
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - from);
      std::size_t next = start_ + length + 1;
      if (length > 0 && from[length - 1] == '\r') --length;
      if (length > maximum) {
        failure_ = "the server sent a line longer than " + std::to_string(maximum) + " bytes";
        too_long_ = true;
        return false;
      }
      line = std::string_view(from, length);
      start_ = next;
      return true;
    }
    searched = end_ - start_;
    if (searched > maximum + 2) {
      failure_ = "the server sent a line longer than " + std::to_string(maximum) + " bytes";
      too_long_ = true;
      return false;
    }
    if (!fill()) return false;
  }
}

bool Connection::read_line(std::string& line, std::size_t maximum) {
  std::string_view view;
  if (!read_line(view, maximum)) return false;
  line.assign(view);
  return true;
}

bool Connection::skip_line(std::size_t& length, bool& dot) {
  length = 0;
  dot = false;
  bool whole = true;  // nothing of the line was dropped yet
  for (;;) {
    const char* from = buffer_.get() + start_;
    const void* lf = end_ > start_ ? std::memchr(from, '\n', end_ - start_) : nullptr;
    if (lf != nullptr) {
      std::size_t n = static_cast<std::size_t>(static_cast<const char*>(lf) - from);
      std::size_t part = n > 0 && from[n - 1] == '\r' ? n - 1 : n;
      dot = whole && part == 1 && from[0] == '.';
      length += part;
      start_ += n + 1;
      return true;
    }
    // All but the last two bytes go (they may be the start of "." CR LF).
    if (end_ - start_ > 2) {
      length += end_ - start_ - 2;
      start_ = end_ - 2;
      whole = false;
    }
    if (!fill()) return false;
  }
}

void Connection::close() {
  if (session_ != nullptr) {
    gnutls_deinit(static_cast<gnutls_session_t>(session_));
    session_ = nullptr;
  }
  if (credentials_ != nullptr) {
    gnutls_certificate_free_credentials(
        static_cast<gnutls_certificate_credentials_t>(credentials_));
    credentials_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  start_ = end_ = 0;
}

}  // namespace quillmar::platform
