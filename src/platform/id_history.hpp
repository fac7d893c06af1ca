// A history of message identifiers with the time each was taken, kept in
// an LMDB file: looked up one by one, added to and expired in one durable
// transaction.
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
  // when missing. On failure `error` says why (a damaged file among
  // others).
  bool open(std::string_view path, std::string& error);
  bool is_open() const { return env_ != nullptr; }
  // True when `id` is in the history, taken at `since` (seconds) or later.
  // A failed look-up counts as not found.
  bool contains(std::string_view id, int64_t since);
  // Adds `ids` as taken at `when` (seconds), removes every entry taken
  // before `expire_before`, and puts it all on disk before it returns.
  bool add_and_expire(const std::vector<std::string>& ids, int64_t when, int64_t expire_before,
                      std::string& error);
  // The number of entries.
  std::size_t size();
  void close();

 private:
  void end_read();

  void* env_ = nullptr;   // MDB_env
  void* read_ = nullptr;  // MDB_txn of the look-ups, kept between them
  unsigned by_id_ = 0;    // MDB_dbi: id -> time
  unsigned by_time_ = 0;  // MDB_dbi: time (8 bytes, big-endian) and id -> nothing
};

}  // namespace quillmar::platform
