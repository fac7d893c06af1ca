#include "soupside/news_fetch.hpp"

#include <algorithm>
#include <deque>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "soupside/header_field.hpp"

namespace quillmar {

namespace {

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

FetchResult fetch_articles(
    NntpClient& nntp, const FetchRequest& request,
    const std::function<bool(std::string_view article, std::string_view message_id)>& take,
    ProgressCount& progress) {
  FetchResult result;
  result.done = request.first - 1;
  // The numbers between the oldest one not done and the next one to ask
  // for, in order: those asked for, and those passed without asking (which
  // are done only once everything before them is).
  struct Pending {
    uint64_t number;
    bool asked;
  };
  std::deque<Pending> pending;
  uint64_t asked = 0;  // commands in flight
  uint64_t next = request.first;
  // An answer that names no article (423, 430) is taken for the article
  // asked, but only an article the server sends vouches that its answers
  // were in step: when the talk ends early (one answer left out would put
  // every later one out of step), the fetch counts as done only up to the
  // last article sent, and the next run asks for the rest again.
  uint64_t vouched = result.done;
  std::string commands, reply, article;
  const char* group = request.group.c_str();
  for (;;) {
    // The window is topped up when half of it has come back, so that a few
    // large writes carry the commands.
    if (asked <= kArticleWindow / 2) {
      commands.clear();
      while (next <= request.last && asked < kArticleWindow &&
             (request.limit == 0 || static_cast<uint64_t>(result.taken) + asked < request.limit)) {
        if (request.known != nullptr && request.known->count(next) != 0) {
          pending.push_back({next++, false});
          continue;
        }
        commands += "ARTICLE ";
        commands += std::to_string(next);
        commands += "\r\n";
        pending.push_back({next++, true});
        ++asked;
      }
      if (!commands.empty() && !nntp.send_commands(commands)) {
        result.stopped = nntp.failure();
        result.stopped_at = result.done + 1;
        break;
      }
    }
    if (pending.empty()) break;  // all done, or the limit is reached
    Pending p = pending.front();
    pending.pop_front();
    uint64_t n = p.number;
    if (!p.asked) {
      ++result.already;
      result.done = n;
      continue;
    }
    --asked;
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
    if (code == 220) parse_article_status(reply, number, id);
    if (code != 220 || (number != 0 && number != n)) {
      result.stopped_at = n;
      result.stopped =
          code != 220 ? reply
                      : "the server answered for article " + std::to_string(number) + ": " + reply;
      // A line that is no answer at all (an empty one among them) is said
      // to be one: the stop is never silent.
      if (code == 0 && nntp.is_open()) {
        result.stopped = "the server's answer is not understood: \"" + reply + "\"";
      }
      if (code != 220 && code != 0) {
        drain(nntp, asked, request.max_size);
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
      result.stopped_at = n;
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
      result.done = vouched = n;
      continue;
    }
    // The article's own Message-ID counts (a server's reply line may not
    // give it right); the reply's where the article has none.
    if (std::string own = header_value(article, "Message-ID"); !own.empty()) message_id = own;
    if (request.seen && request.seen(message_id)) {
      ++result.already;
      result.done = vouched = n;
      continue;
    }
    if (!take(article, message_id)) {
      result.take_failed = true;
      nntp.drop();
      break;
    }
    ++result.taken;
    result.done = vouched = n;
    progress.show(request.group, result.taken, "article(s)");
  }
  if (!result.stopped.empty() && result.done > vouched) result.done = vouched;
  return result;
}

GroupStart group_start(uint64_t low, uint64_t high, const uint64_t* taken_before,
                       uint32_t first_fetch) {
  GroupStart start;
  uint64_t last_taken = taken_before != nullptr ? *taken_before : 0;
  uint64_t after = last_taken < UINT64_MAX ? last_taken + 1 : UINT64_MAX;
  start.renumbered = taken_before != nullptr && high < last_taken;
  bool afresh = taken_before == nullptr || start.renumbered;
  start.first = std::max<uint64_t>(afresh ? low : std::max(after, low), 1);
  if (afresh && first_fetch != 0 && high >= start.first && high - start.first >= first_fetch) {
    // The newest articles only, as a newsreader starts.
    start.first = high - first_fetch + 1;
  }
  start.jumped = taken_before != nullptr && !start.renumbered && low > after;
  return start;
}

namespace {

// STAT n commands kept in flight (their answers are a line each).
constexpr uint64_t kStatWindow = 128;

// find_known_articles() for a server without an overview.
bool stat_known_articles(NntpClient& nntp, uint64_t first, uint64_t& last, uint32_t limit,
                         const std::function<bool(std::string_view)>& seen,
                         std::set<uint64_t>& known, std::string& reply) {
  uint64_t next = first;
  uint64_t asked = 0;    // commands in flight: the numbers next - asked to next - 1
  uint64_t unknown = 0;  // articles there that the history does not have
  std::string commands, status;
  for (;;) {
    if (asked <= kStatWindow / 2) {
      commands.clear();
      while (next <= last && asked < kStatWindow && (limit == 0 || unknown < limit)) {
        commands += "STAT ";
        commands += std::to_string(next++);
        commands += "\r\n";
        ++asked;
      }
      if (!commands.empty() && !nntp.send_commands(commands)) {
        reply = nntp.failure();
        return false;
      }
    }
    if (asked == 0) break;
    uint64_t n = next - asked--;
    int code = nntp.read_status(status);
    if (code == 223) {
      uint64_t number = 0;
      std::string_view id;
      parse_article_status(status, number, id);
      if (number != 0 && number != n) {
        reply = "the server answered STAT " + std::to_string(n) + " for article " +
                std::to_string(number) + ": " + status;
        nntp.drop();
        return false;
      }
      if (!id.empty() && seen(id)) {
        known.insert(n);
      } else {
        ++unknown;
      }
      continue;
    }
    if (code == 423 || code == 430) continue;  // not there: ARTICLE finds so too
    if (code == 0) {
      reply = nntp.is_open() ? "the server's answer to STAT is not understood: \"" + status + "\""
                             : status;
      nntp.drop();
      return false;
    }
    // The server does not give articles by number with STAT: the rest are
    // checked when they are fetched.
    for (; asked > 0 && nntp.is_open(); --asked) nntp.read_status(commands);
    reply = status;
    return nntp.is_open();
  }
  // Stopped at the limit: the articles beyond are looked at on a later run.
  if (limit != 0 && unknown >= limit) last = next - 1;
  return true;
}

}  // namespace

bool find_known_articles(NntpClient& nntp, uint64_t first, uint64_t& last, uint32_t limit,
                         const std::function<bool(std::string_view)>& seen,
                         std::set<uint64_t>& known, std::string& reply) {
  uint64_t to = last;
  bool listed = read_overview(
      nntp, first, last,
      [&](uint64_t n, std::string_view id) {
        if (n >= first && n <= to && seen(id)) known.insert(n);
      },
      reply);
  if (listed) return true;
  if (!nntp.is_open()) return false;
  return stat_known_articles(nntp, first, last, limit, seen, known, reply);
}

bool read_overview(NntpClient& nntp, uint64_t first, uint64_t last,
                   const std::function<void(uint64_t, std::string_view)>& found,
                   std::string& reply) {
  int code = nntp.command("OVER " + std::to_string(first) + "-" + std::to_string(last), reply);
  if (code != 224) return false;
  // "number TAB subject TAB from TAB date TAB message-id TAB ..."
  NntpClient::Block block = nntp.read_lines([&](std::string_view line) {
    std::size_t tab = line.find('\t');
    uint64_t n = 0;
    std::size_t digits = 0;
    for (; digits < tab && digits < 19 && line[digits] >= '0' && line[digits] <= '9'; ++digits) {
      n = n * 10 + static_cast<uint64_t>(line[digits] - '0');
    }
    if (tab == std::string_view::npos || digits != tab) return;
    std::size_t from = tab;
    for (int field = 0; field < 3 && from != std::string_view::npos; ++field) {
      from = line.find('\t', from + 1);
    }
    if (from == std::string_view::npos) return;
    std::size_t end = line.find('\t', from + 1);
    std::string_view id =
        line.substr(from + 1, end == std::string_view::npos ? end : end - from - 1);
    while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
    while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
    found(n, id);
  });
  if (block != NntpClient::Block::complete) {
    reply = nntp.failure();
    return false;
  }
  return true;
}

}  // namespace quillmar
