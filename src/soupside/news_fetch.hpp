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

// The overview of articles first to last (OVER): `found` gets each
// article's number and Message-ID. False when the server offers no
// overview (`reply` says why; the connection stays usable) or when the
// connection failed (it is then closed).
bool read_overview(NntpClient& nntp, uint64_t first, uint64_t last,
                   const std::function<void(uint64_t, std::string_view)>& found,
                   std::string& reply);

}  // namespace quillmar
