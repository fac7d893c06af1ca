// A client of a news server (RFC 3977): greeting, STARTTLS or TLS from the
// start, AUTHINFO USER/PASS, GROUP, ARTICLE, STAT and POST.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/soupside_settings.hpp"
#include "platform/net.hpp"

namespace quillmar {

// The largest article taken from the server or posted to it.
inline constexpr std::size_t kMaxArticleSize = 16u << 20;

class NntpClient {
 public:
  // Connects, starts TLS as configured, logs in when a user is configured.
  // On failure `error` holds the reason.
  bool open(const SoupSideSettings& s, std::string& error);
  bool is_open() const { return connection_.is_open(); }
  // "host:port" of the server, as the high-water marks are kept.
  const std::string& server_key() const { return server_key_; }

  // Sends a command line; the reply's code (0 when the connection failed)
  // and its whole status line in `reply`.
  int command(std::string_view line, std::string& reply);
  // Reads a multi-line block after a 2xx reply: dot-stuffing removed and
  // lines ended by a line feed. False when the connection broke or the
  // block is larger than kMaxArticleSize.
  bool read_block(std::string& text);

  // GROUP: the article numbers the server has; false when the group is not
  // there (`reply` says why).
  bool select_group(std::string_view group, uint64_t& low, uint64_t& high, std::string& reply);

  enum class Post { accepted, refused, failed };
  // POST of one article (lines ended by line feeds). `reply` holds the
  // server's answer: refused is a permanent refusal, failed a temporary one.
  Post post(std::string_view article, std::string& reply);

  void quit();

 private:
  bool read_reply(int& code, std::string& reply);

  platform::Connection connection_;
  std::string server_key_;
};

}  // namespace quillmar
