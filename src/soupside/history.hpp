// The history of the Message-IDs collect has taken (news and Maildir), kept
// SoupHistoryDays days: an article found in it is not fetched again, from
// whichever server or under whichever server name it comes. The history
// only saves work: a damaged or missing one loses nothing (at worst an
// article is fetched twice, and the tosser's dupe check is the next line).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/id_history.hpp"

namespace quillmar {

class CollectHistory {
 public:
  // Opens the history in SoupDir unless SoupHistoryDays is 0. A damaged
  // history is set aside and a new one started; any other failure is
  // logged and the run goes on without one.
  void open();
  bool enabled() const { return db_.is_open(); }
  // True when the history holds nothing yet (no look-ups are worth making).
  bool empty();
  // True when `id` is in the history or was taken by this run. A history
  // found damaged by the look-up is set aside and a new one started.
  bool seen(std::string_view id);
  // `id` is taken by this run (it goes into the history with the packet).
  void note(std::string_view id);
  // Ends the look-ups, and counts in the log the articles taken after the
  // history was lost (they may have come before); the history is written
  // by record_history().
  void close();

 private:
  // A look-up failed: a damaged history is replaced, any failure said once.
  void look_up_failed();

  platform::IdHistory db_;
  std::set<std::string, std::less<>> run_;
  int64_t since_ = 0;  // older entries are expired (even if not yet removed)
  // The history was set aside or could not be used in this run: what is
  // taken since could not be checked against what it held.
  bool lost_ = false;
  bool failure_said_ = false;
  long unchecked_ = 0;  // articles taken since it was lost
};

// Adds the Message-IDs of a complete packet to the history and removes the
// entries older than SoupHistoryDays; a history found damaged is set aside
// and the Message-IDs go into a new one. A failure is logged with the
// number of Message-IDs left out (nothing is lost by it) and returns false.
bool record_history(const std::vector<std::string>& ids);

// The Message-IDs of the replies deliver hands over, put into the same
// history before each reply leaves, so that collect does not take the
// gateway's own articles back (nor a mailing list's copy of its mail). The
// history is opened on the first one and kept open for the run.
class SentHistory {
 public:
  // Puts `id` into the history on disk; true once it is there, or when
  // SoupHistoryDays is 0 (no history is kept). Otherwise `error` says why
  // (the failure is kept: later calls fail alike without trying again).
  bool add(std::string_view id, std::string& error);

 private:
  platform::IdHistory db_;
  std::string failure_;
};

}  // namespace quillmar
