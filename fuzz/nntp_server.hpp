// The stand-in for the news servers of quillmar-soup: the fuzz programs are
// linked with --wrap for connect() and recv(), so that the socket
// platform::Connection opens is connected here, and a read that waits out
// its time-out is seen. While the stand-in is armed, each connection
// gets the next script: a thread of this program serves the script's bytes
// as the server's side of a socket pair, then closes its sending side (the
// connection cut where the script ends), and keeps what the client sends
// until the client closes. No network is touched: while the stand-in is
// not armed, every connect() is refused.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quillmar::fuzz {

// One connection as the stand-in saw it.
struct NntpTalk {
  std::string served;          // the script, all of which was offered
  std::string received;        // every byte the client sent
  bool client_closed = false;  // false: the client left it open (a fault)
  // A read of the client's ran into the socket's time-out: it waited for
  // an answer that could not come (the stand-in had sent all it had).
  bool client_waited = false;
};

// Arms the stand-in: the next connections get `scripts` in turn, those after
// them an empty script (closed at once). `chunk` > 0 serves each script in
// pieces of that many bytes, each sent only when the client has read the
// one before, so that its lines reach the client cut at those places.
void start_nntp_server(std::vector<std::string> scripts, std::size_t chunk = 0);

// Waits until every connection ended (the client closed it, or a few
// seconds passed: then client_closed is false), disarms the stand-in and
// returns the talks in the order of the connections.
std::vector<NntpTalk> stop_nntp_server();

}  // namespace quillmar::fuzz
