#include "nntp_server.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

extern "C" ssize_t __real_recv(int fd, void* buffer, size_t size, int flags);

namespace quillmar::fuzz {

namespace {

// How long a connection may go without the client reading, sending or
// closing before the stand-in gives up on it.
constexpr auto kIdleLimit = std::chrono::seconds(3);

struct Served {
  NntpTalk talk;
  int fd = -1;         // the stand-in's end of the socket pair
  int client_fd = -1;  // the client's
};

// One thread serves the connections in turn, for as long as the program
// runs (a thread of its own for each would cost more than a run of collect).
struct StandIn {
  std::mutex lock;
  std::condition_variable changed;
  bool armed = false;
  std::vector<std::string> scripts;
  std::size_t next = 0;
  std::size_t chunk = 0;
  std::vector<std::unique_ptr<Served>> served;  // since the stand-in was armed
  std::deque<Served*> waiting;                  // connections not yet served
  std::size_t done = 0;                         // connections served
  bool working = false;                         // the thread is started
};

// Never destroyed: its thread waits for work until the program ends.
StandIn& stand_in() {
  static StandIn* s = new StandIn;
  return *s;
}

// Bytes sent on `fd` that the client has not read yet.
int unread(int fd) {
  int n = 0;
  return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// The server's side of one connection.
void serve(int fd, NntpTalk* talk, std::size_t chunk) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const std::string& script = talk->served;
  std::size_t sent = 0;
  bool sending = true;
  char buffer[16384];
  auto idle_since = std::chrono::steady_clock::now();
  for (;;) {
    if (sending && sent == script.size()) {
      ::shutdown(fd, SHUT_WR);  // the script ends: the connection is cut here
      sending = false;
    }
    // In pieces, each piece goes when the client has read the one before.
    bool may_send = sending && (chunk == 0 || unread(fd) == 0);
    bool waiting = sending && !may_send;
    pollfd p{fd, static_cast<short>(POLLIN | (may_send ? POLLOUT : 0)), 0};
    int ready = ::poll(&p, 1, waiting ? 0 : 100);
    if (ready < 0 && errno != EINTR) break;
    bool moved = false;
    if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      long n = __real_recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        talk->received.append(buffer, static_cast<std::size_t>(n));
        moved = true;
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        talk->client_closed = true;
        break;
      }
    }
    if (ready > 0 && may_send && (p.revents & POLLOUT) != 0) {
      std::size_t length = script.size() - sent;
      if (chunk != 0 && length > chunk - sent % chunk) length = chunk - sent % chunk;
      long n = ::send(fd, script.data() + sent, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        moved = true;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        sending = false;  // the client is gone; its end shows when reading
      }
    }
    auto now = std::chrono::steady_clock::now();
    if (moved) {
      idle_since = now;
    } else if (now - idle_since > kIdleLimit) {
      break;  // the client left the connection open
    } else if (waiting) {
      ::sched_yield();
    }
  }
  ::close(fd);
}

void work() {
  StandIn& s = stand_in();
  std::unique_lock<std::mutex> hold(s.lock);
  for (;;) {
    s.changed.wait(hold, [&] { return !s.waiting.empty(); });
    Served* one = s.waiting.front();
    s.waiting.pop_front();
    std::size_t chunk = s.chunk;
    hold.unlock();
    serve(one->fd, &one->talk, chunk);
    hold.lock();
    ++s.done;
    s.changed.notify_all();
  }
}

}  // namespace

void start_nntp_server(std::vector<std::string> scripts, std::size_t chunk) {
  StandIn& s = stand_in();
  std::lock_guard<std::mutex> hold(s.lock);
  s.armed = true;
  s.scripts = std::move(scripts);
  s.next = 0;
  s.chunk = chunk;
  s.served.clear();
  s.done = 0;
  if (!s.working) {
    std::thread(work).detach();
    s.working = true;
  }
}

std::vector<NntpTalk> stop_nntp_server() {
  StandIn& s = stand_in();
  std::unique_lock<std::mutex> hold(s.lock);
  s.armed = false;
  s.changed.wait(hold, [&] { return s.done == s.served.size(); });
  std::vector<NntpTalk> talks;
  for (auto& one : s.served) talks.push_back(std::move(one->talk));
  s.served.clear();
  s.done = 0;
  return talks;
}

}  // namespace quillmar::fuzz

// Every connect() of the code under test comes here (--wrap=connect): the
// socket becomes the client's end of a socket pair whose other end the
// stand-in serves. The socket's time-outs stay as the caller set them.
extern "C" int __wrap_connect(int fd, const struct sockaddr*, socklen_t) {
  quillmar::fuzz::StandIn& s = quillmar::fuzz::stand_in();
  std::lock_guard<std::mutex> hold(s.lock);
  if (!s.armed) {
    errno = ECONNREFUSED;
    return -1;
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval tv{};
    socklen_t length = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, option, &tv, &length) == 0) {
      ::setsockopt(pair[0], SOL_SOCKET, option, &tv, length);
    }
  }
  if (::dup3(pair[0], fd, O_CLOEXEC) < 0) {
    int saved = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    errno = saved;
    return -1;
  }
  ::close(pair[0]);
  auto one = std::make_unique<quillmar::fuzz::Served>();
  one->fd = pair[1];
  one->client_fd = fd;
  one->talk.served = s.next < s.scripts.size() ? s.scripts[s.next] : std::string();
  ++s.next;
  s.waiting.push_back(one.get());
  s.served.push_back(std::move(one));
  s.changed.notify_all();
  return 0;
}

// Every recv() of the code under test comes here (--wrap=recv): a read of a
// connection to the stand-in that fails with EAGAIN ran into the time-out.
extern "C" ssize_t __wrap_recv(int fd, void* buffer, size_t size, int flags) {
  ssize_t n = __real_recv(fd, buffer, size, flags);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    int saved = errno;
    quillmar::fuzz::StandIn& s = quillmar::fuzz::stand_in();
    std::lock_guard<std::mutex> hold(s.lock);
    for (auto one = s.served.rbegin(); one != s.served.rend(); ++one) {
      if ((*one)->client_fd == fd) {
        (*one)->talk.client_waited = true;
        break;
      }
    }
    errno = saved;
  }
  return n;
}
