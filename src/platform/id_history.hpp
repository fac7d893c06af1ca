// A history of message identifiers with the time each was taken, kept in
// an LMDB file: looked up one by one, added to and expired in one durable
// transaction.
//
// The file is checked before LMDB maps it (its meta pages, its size against
// the last page they name, and every page of its trees), and every access to
// the mapped file is guarded: a damaged or hostile file (one cut short, scribbled over, or
// made to make LMDB fail, assert or touch a page the file does not have)
// gives an error with damaged() true, never a signal that ends the program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::platform {

class IdHistory {
 public:
  IdHistory() = default;
  IdHistory(const IdHistory&) = delete;
  IdHistory& operator=(const IdHistory&) = delete;
  ~IdHistory();

  // Opens the history file `path` (and its lock file `path`-lock), made
  // when missing. On failure `error` says why, and damaged() whether the
  // file itself is at fault.
  bool open(std::string_view path, std::string& error);
  bool is_open() const { return env_ != nullptr; }
  // True when `id` is in the history, taken at `since` (seconds) or later.
  // A failed look-up counts as not found; failure() then says why (and the
  // history is closed when the file is damaged).
  bool contains(std::string_view id, int64_t since);
  // Adds `ids` as taken at `when` (seconds), removes every entry taken
  // before `expire_before`, and puts it all on disk before it returns.
  bool add_and_expire(const std::vector<std::string>& ids, int64_t when, int64_t expire_before,
                      std::string& error);
  // The number of entries.
  std::size_t size();
  void close();

  // Why the last look-up failed (empty when none did since open()).
  const std::string& failure() const { return failure_; }
  // The last failure came of the file's content (not of the system: a full
  // disk, a missing right): the file is of no further use.
  bool damaged() const { return damaged_; }

 private:
  void end_read();
  // Notes the failure `rc` of an LMDB call (or of the check of the file,
  // which says `why`); closes the history when the file is damaged. Returns
  // the text of it.
  const std::string& fail(int rc, const std::string& why = "");
  // Closes the history after a fault, as far as that is safe.
  void abandon();

  void* env_ = nullptr;     // MDB_env
  void* read_ = nullptr;    // MDB_txn of the look-ups, kept between them
  void* write_ = nullptr;   // MDB_txn being written
  void* cursor_ = nullptr;  // MDB_cursor of a read, while it is open
  unsigned by_id_ = 0;      // MDB_dbi: id -> time
  unsigned by_time_ = 0;    // MDB_dbi: time (8 bytes, big-endian) and id -> nothing
  bool guards_ = false;     // this history holds the fault handlers installed
  std::string failure_;
  bool damaged_ = false;
};

}  // namespace quillmar::platform
