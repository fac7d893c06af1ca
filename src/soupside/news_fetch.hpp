// The articles of one news group, fetched with several ARTICLE commands in
// flight and their replies read in order.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "soupside/nntp_client.hpp"
#include "soupside/progress.hpp"

namespace quillmar {

// ARTICLE commands kept in flight.
inline constexpr uint64_t kArticleWindow = 32;

struct FetchRequest {
  std::string group;  // selected on the connection already
  uint64_t first = 0;
  uint64_t last = 0;
  uint32_t limit = 0;  // articles taken at most; 0: no limit
  std::size_t max_size = kDefaultMaxArticleSize;
  // Article numbers known to be taken before (from the overview): passed
  // without being fetched. May be null.
  const std::set<uint64_t>* known = nullptr;
  // Whether an article of this Message-ID was taken before; such an
  // article is dropped after it was fetched. May be empty.
  std::function<bool(std::string_view)> seen;
};

struct FetchResult {
  // The last article number that is done with: taken (and handed to
  // `take`), or passed for good (taken before, no longer on the server, too
  // large). Every article below it is done with too; `request.first - 1`
  // when none is. After a fetch that stopped early, an article passed as
  // no longer on the server counts only when an article the server sent
  // after it vouches that its answers were in step.
  uint64_t done = 0;
  long taken = 0;
  long already = 0;    // taken before (the history)
  long missing = 0;    // no longer on the server (423, 430)
  long too_large = 0;  // larger than max_size
  // Why the fetch stopped early: the server's reply or the connection's
  // failure; empty when it did not.
  std::string stopped;
  uint64_t stopped_at = 0;   // the article whose answer it stopped at
  bool take_failed = false;  // `take` refused an article
};

// Fetches the articles request.first to request.last, oldest first, and
// hands each with its Message-ID to `take` in order. An article that is too
// large or no longer there is logged and passed. After a failure of `take`
// the connection is dropped; after a refusal of the server the replies
// still in flight are read, so that the connection can go on with the next
// group.
FetchResult fetch_articles(
    NntpClient& nntp, const FetchRequest& request,
    const std::function<bool(std::string_view article, std::string_view message_id)>& take,
    ProgressCount& progress);

// Where collect takes up a group whose numbers the server gives as low to
// high. `taken_before` is the last article taken from it before, or null on
// first contact.
struct GroupStart {
  uint64_t first = 0;  // the first article to take; none when above high
  // The server's numbers fall below the one taken before: the group was
  // renumbered (rebuilt or replaced), and is taken again as on first
  // contact, the history passing what was taken before.
  bool renumbered = false;
  // The low-water mark jumped past the one taken before: expiry, or the
  // numbers moved up (which the history shows when it has the first
  // article).
  bool jumped = false;
};
GroupStart group_start(uint64_t low, uint64_t high, const uint64_t* taken_before,
                       uint32_t first_fetch);

// The articles of first to last the history has (`seen`), by their
// Message-IDs: from the overview (OVER), else from STAT n, several
// commands in flight. `known` gets their numbers. With STAT the look stops
// once `limit` articles (0: no limit) were found that are not known, and
// `last` becomes the last article looked at. False when the connection
// failed or the server's answers went out of step (`reply` says why; the
// connection is then closed).
bool find_known_articles(NntpClient& nntp, uint64_t first, uint64_t& last, uint32_t limit,
                         const std::function<bool(std::string_view)>& seen,
                         std::set<uint64_t>& known, std::string& reply);

// The overview of articles first to last (OVER): `found` gets each
// article's number and Message-ID. False when the server offers no
// overview (`reply` says why; the connection stays usable) or when the
// connection failed (it is then closed).
bool read_overview(NntpClient& nntp, uint64_t first, uint64_t last,
                   const std::function<void(uint64_t, std::string_view)>& found,
                   std::string& reply);

}  // namespace quillmar
