#include "soupside/news_fetch.hpp"

#include "base/log.hpp"
#include "base/run_options.hpp"

namespace quillmar {

namespace {

// The article number and the Message-ID of a "220 n <id> ..." reply; the
// number is 0 and the Message-ID empty where the reply has none.
void parse_article_reply(std::string_view reply, uint64_t& number, std::string_view& id) {
  number = 0;
  id = {};
  std::size_t pos = 3;
  while (pos < reply.size() && reply[pos] == ' ') ++pos;
  std::size_t digits = 0;
  for (; pos < reply.size() && reply[pos] >= '0' && reply[pos] <= '9' && digits < 19;
       ++pos, ++digits) {
    number = number * 10 + static_cast<uint64_t>(reply[pos] - '0');
  }
  while (pos < reply.size() && reply[pos] == ' ') ++pos;
  if (pos < reply.size() && reply[pos] == '<') {
    std::size_t end = reply.find('>', pos);
    if (end != std::string_view::npos) id = reply.substr(pos, end + 1 - pos);
  }
}

// Reads the replies of the commands still in flight and drops them.
void drain(NntpClient& nntp, uint64_t in_flight, std::size_t max_size) {
  std::string reply, text;
  for (; in_flight > 0 && nntp.is_open(); --in_flight) {
    int code = nntp.read_status(reply);
    std::size_t size = 0;
    if (code == 220 && nntp.read_block(text, max_size, size) == NntpClient::Block::broken) return;
  }
}

}  // namespace

FetchResult fetch_articles(NntpClient& nntp, const FetchRequest& request,
                           const std::function<bool(std::string_view)>& take,
                           ProgressCount& progress) {
  FetchResult result;
  result.done = request.first - 1;
  uint64_t next_to_send = request.first;
  uint64_t next_to_read = request.first;
  std::string commands, reply, article;
  const char* group = request.group.c_str();
  while (next_to_read <= request.last) {
    // The window is topped up when half of it has come back, so that a few
    // large writes carry the commands.
    uint64_t in_flight = next_to_send - next_to_read;
    if (in_flight <= kArticleWindow / 2) {
      commands.clear();
      while (
          next_to_send <= request.last && next_to_send - next_to_read < kArticleWindow &&
          (request.limit == 0 ||
           static_cast<uint64_t>(result.taken) + (next_to_send - next_to_read) < request.limit)) {
        commands += "ARTICLE ";
        commands += std::to_string(next_to_send++);
        commands += "\r\n";
      }
      if (!commands.empty() && !nntp.send_commands(commands)) {
        result.stopped = nntp.failure();
        break;
      }
    }
    if (next_to_read == next_to_send) break;  // the limit is reached
    uint64_t n = next_to_read++;
    int code = nntp.read_status(reply);
    if (code == 423 || code == 430) {
      // Gone meanwhile (cancelled or expired): nothing to take.
      if (run_options.verbose) {
        progress.clear();
        log_print("Group %s, article %llu is no longer on the server: %s\n", group,
                  static_cast<unsigned long long>(n), reply.c_str());
      }
      ++result.missing;
      result.done = n;
      continue;
    }
    uint64_t number = 0;
    std::string_view id;
    if (code == 220) parse_article_reply(reply, number, id);
    if (code != 220 || (number != 0 && number != n)) {
      result.stopped =
          code != 220 ? reply
                      : "the server answered for article " + std::to_string(number) + ": " + reply;
      if (code != 220 && code != 0) {
        drain(nntp, next_to_send - next_to_read, request.max_size);
      } else {
        nntp.drop();
      }
      break;
    }
    std::string message_id(id.substr(0, 250));
    std::size_t size = 0;
    NntpClient::Block block = nntp.read_block(article, request.max_size, size);
    if (block == NntpClient::Block::broken) {
      result.stopped = nntp.failure();
      break;
    }
    if (block == NntpClient::Block::too_large) {
      progress.clear();
      log_print(
          "! group %s, article %llu %s: %zu bytes, larger than NntpMaxArticleSize (%zu); "
          "skipped\n",
          group, static_cast<unsigned long long>(n),
          message_id.empty() ? "(no Message-ID)" : message_id.c_str(), size, request.max_size);
      ++result.too_large;
      result.done = n;
      continue;
    }
    if (!take(article)) {
      result.take_failed = true;
      nntp.drop();
      break;
    }
    ++result.taken;
    result.done = n;
    progress.show(request.group, result.taken, "article(s)");
  }
  return result;
}

}  // namespace quillmar
