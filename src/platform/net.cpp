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
  buffer_.clear();
  pos_ = 0;
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
  buffer_.clear();
  pos_ = 0;
  return true;
}

bool Connection::write(std::string_view data) {
  while (!data.empty() && fd_ >= 0) {
    long n;
    if (session_ != nullptr) {
      n = gnutls_record_send(static_cast<gnutls_session_t>(session_), data.data(), data.size());
      if (n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_AGAIN) continue;
    } else {
      n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
    }
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return data.empty();
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
        return -1;
      }
    } else {
      n = ::recv(fd_, buffer, size, 0);
      if (n < 0 && errno == EINTR) continue;
    }
    return n;
  }
}

bool Connection::fill() {
  if (fd_ < 0) return false;
  if (pos_ > 0) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  char chunk[16384];
  long n = raw_read(chunk, sizeof chunk);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

bool Connection::read_line(std::string& line, std::size_t maximum) {
  std::size_t searched = pos_;
  for (;;) {
    std::size_t lf = buffer_.find('\n', searched);
    if (lf != std::string::npos) {
      std::size_t end = lf;
      if (end > pos_ && buffer_[end - 1] == '\r') --end;
      if (end - pos_ > maximum) return false;
      line.assign(buffer_, pos_, end - pos_);
      pos_ = lf + 1;
      return true;
    }
    if (buffer_.size() - pos_ > maximum + 2) return false;
    searched = buffer_.size();
    std::size_t before = pos_;
    if (!fill()) return false;
    searched -= before;  // fill() moved the unread bytes to the front
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
  buffer_.clear();
  pos_ = 0;
}

}  // namespace quillmar::platform
