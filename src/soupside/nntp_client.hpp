// A client of a news server (RFC 3977): greeting, STARTTLS or TLS from the
// start, AUTHINFO USER/PASS, GROUP, ARTICLE (several in flight), STAT and
// POST.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/soupside_settings.hpp"
#include "platform/net.hpp"

namespace quillmar {

// The largest article taken from the server when NntpMaxArticleSize is not
// set.
inline constexpr std::size_t kDefaultMaxArticleSize = 16u << 20;

// The article number and the Message-ID of an article's status line ("220
// n <id> ...", "223 n <id> ..."); the number is 0 and the Message-ID empty
// where the line gives none.
void parse_article_status(std::string_view reply, uint64_t& number, std::string_view& id);

class NntpClient {
 public:
  // Connects, starts TLS as configured, logs in when a user is configured.
  // On failure `error` holds the reason.
  bool open(const NntpServerSettings& s, uint32_t timeout_seconds, std::string& error);
  bool is_open() const { return connection_.is_open(); }
  // "host:port" of the server, as the high-water marks are kept.
  const std::string& server_key() const { return server_key_; }

  // Sends a command line; the reply's code (0 when the connection failed)
  // and its whole status line in `reply` (or why the connection failed).
  int command(std::string_view line, std::string& reply);
  // Sends several command lines (each ended by CR LF) at once without
  // waiting for their replies; read_status() reads them in order.
  bool send_commands(std::string_view lines);
  // The next status line: its code (0 when the connection failed) and the
  // line in `reply` (or why the connection failed).
  int read_status(std::string& reply);

  enum class Block { complete, too_large, broken };
  // Reads a multi-line block after a 2xx reply: dot-stuffing removed and
  // lines ended by a line feed. A block larger than `maximum` is read to
  // its end and dropped (too_large; the connection stays usable); `size`
  // is the block's size as sent. broken: the connection failed (failure()
  // says why) and is closed.
  Block read_block(std::string& text, std::size_t maximum, std::size_t& size);
  // Reads a multi-line block line by line (dot-stuffing removed), handing
  // each line to `line`; complete or broken.
  Block read_lines(const std::function<void(std::string_view)>& line);
  // Why the connection failed.
  const std::string& failure() const { return connection_.failure(); }

  // GROUP: the article numbers the server has; false when the group is not
  // there (`reply` says why).
  bool select_group(std::string_view group, uint64_t& low, uint64_t& high, std::string& reply);

  enum class Post { accepted, refused, failed };
  // POST of one article (lines ended by line feeds). `reply` holds the
  // server's answer: refused is a permanent refusal, failed a temporary one.
  Post post(std::string_view article, std::string& reply);

  void quit();
  // Ends the connection without QUIT (after replies were left unread).
  void drop() { connection_.close(); }

 private:
  bool read_reply(int& code, std::string& reply);

  platform::Connection connection_;
  std::string server_key_;
};

}  // namespace quillmar
