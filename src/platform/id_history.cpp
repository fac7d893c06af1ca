#include "platform/id_history.hpp"

#include <lmdb.h>

#include <cstring>

namespace quillmar::platform {

namespace {

// The room the history may take (a sparse file: only what is used is on
// disk); some ten million identifiers.
constexpr std::size_t kMapSize = std::size_t{1} << 30;
// LMDB's largest key; longer identifiers are not kept.
constexpr std::size_t kMaxId = 400;

MDB_env* env_of(void* p) {
  return static_cast<MDB_env*>(p);
}

MDB_val value_of(std::string_view text) {
  return MDB_val{text.size(), const_cast<char*>(text.data())};
}

std::string time_key(int64_t when, std::string_view id) {
  std::string key(8, '\0');
  uint64_t t = static_cast<uint64_t>(when);
  for (int i = 7; i >= 0; --i, t >>= 8) key[static_cast<std::size_t>(i)] = static_cast<char>(t);
  key.append(id);
  return key;
}

int64_t time_of(const MDB_val& key) {
  uint64_t t = 0;
  const unsigned char* p = static_cast<const unsigned char*>(key.mv_data);
  for (std::size_t i = 0; i < 8 && i < key.mv_size; ++i) t = (t << 8) | p[i];
  return static_cast<int64_t>(t);
}

}  // namespace

IdHistory::~IdHistory() {
  close();
}

bool IdHistory::open(std::string_view path, std::string& error) {
  close();
  MDB_env* env = nullptr;
  int rc = mdb_env_create(&env);
  if (rc == 0) rc = mdb_env_set_mapsize(env, kMapSize);
  if (rc == 0) rc = mdb_env_set_maxdbs(env, 2);
  if (rc == 0) rc = mdb_env_open(env, std::string(path).c_str(), MDB_NOSUBDIR | MDB_NOTLS, 0644);
  MDB_txn* txn = nullptr;
  if (rc == 0) rc = mdb_txn_begin(env, nullptr, 0, &txn);
  MDB_dbi by_id = 0, by_time = 0;
  if (rc == 0) rc = mdb_dbi_open(txn, "id", MDB_CREATE, &by_id);
  if (rc == 0) rc = mdb_dbi_open(txn, "time", MDB_CREATE, &by_time);
  if (rc == 0) {
    rc = mdb_txn_commit(txn);
    txn = nullptr;
  }
  if (rc != 0) {
    error = mdb_strerror(rc);
    if (txn != nullptr) mdb_txn_abort(txn);
    if (env != nullptr) mdb_env_close(env);
    return false;
  }
  env_ = env;
  by_id_ = by_id;
  by_time_ = by_time;
  return true;
}

bool IdHistory::contains(std::string_view id, int64_t since) {
  if (env_ == nullptr || id.empty() || id.size() > kMaxId) return false;
  if (read_ == nullptr) {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_of(env_), nullptr, MDB_RDONLY, &txn) != 0) return false;
    read_ = txn;
  }
  MDB_val key = value_of(id), data{};
  if (mdb_get(static_cast<MDB_txn*>(read_), by_id_, &key, &data) != 0 || data.mv_size != 8) {
    return false;
  }
  return time_of(data) >= since;
}

void IdHistory::end_read() {
  if (read_ != nullptr) mdb_txn_abort(static_cast<MDB_txn*>(read_));
  read_ = nullptr;
}

bool IdHistory::add_and_expire(const std::vector<std::string>& ids, int64_t when,
                               int64_t expire_before, std::string& error) {
  if (env_ == nullptr) {
    error = "not open";
    return false;
  }
  end_read();
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env_of(env_), nullptr, 0, &txn);
  // Expired entries go first, oldest first, through the index by time.
  MDB_cursor* cursor = nullptr;
  if (rc == 0) rc = mdb_cursor_open(txn, by_time_, &cursor);
  if (rc == 0) {
    MDB_val key{}, data{};
    while (rc == 0 && mdb_cursor_get(cursor, &key, &data, MDB_FIRST) == 0 &&
           time_of(key) < expire_before) {
      MDB_val id{key.mv_size - 8, static_cast<char*>(key.mv_data) + 8};
      MDB_val stamp{};
      // The id's entry goes only when it is this old entry's (an id taken
      // again later has a newer one).
      if (key.mv_size >= 8 && mdb_get(txn, by_id_, &id, &stamp) == 0 && stamp.mv_size == 8 &&
          std::memcmp(stamp.mv_data, key.mv_data, 8) == 0) {
        rc = mdb_del(txn, by_id_, &id, nullptr);
      }
      if (rc == 0) rc = mdb_cursor_del(cursor, 0);
    }
    mdb_cursor_close(cursor);
  }
  for (const std::string& id : ids) {
    if (rc != 0) break;
    if (id.empty() || id.size() > kMaxId) continue;
    std::string stamp_key = time_key(when, id);
    MDB_val key = value_of(id);
    MDB_val old{};
    if (mdb_get(txn, by_id_, &key, &old) == 0 && old.mv_size == 8) {
      // Taken before: its old place in the index by time goes.
      std::string old_key(static_cast<const char*>(old.mv_data), 8);
      old_key.append(id);
      MDB_val k = value_of(old_key);
      int del = mdb_del(txn, by_time_, &k, nullptr);
      if (del != 0 && del != MDB_NOTFOUND) rc = del;
    }
    MDB_val stamp{8, const_cast<char*>(stamp_key.data())};
    if (rc == 0) rc = mdb_put(txn, by_id_, &key, &stamp, 0);
    MDB_val tkey = value_of(stamp_key), empty{0, nullptr};
    if (rc == 0) rc = mdb_put(txn, by_time_, &tkey, &empty, 0);
  }
  if (rc == 0) {
    rc = mdb_txn_commit(txn);
  } else if (txn != nullptr) {
    mdb_txn_abort(txn);
  }
  if (rc != 0) error = mdb_strerror(rc);
  return rc == 0;
}

std::size_t IdHistory::size() {
  if (env_ == nullptr) return 0;
  MDB_txn* txn = nullptr;
  if (mdb_txn_begin(env_of(env_), nullptr, MDB_RDONLY, &txn) != 0) return 0;
  MDB_stat st{};
  std::size_t n = mdb_stat(txn, by_id_, &st) == 0 ? st.ms_entries : 0;
  mdb_txn_abort(txn);
  return n;
}

void IdHistory::close() {
  end_read();
  if (env_ != nullptr) mdb_env_close(env_of(env_));
  env_ = nullptr;
}

}  // namespace quillmar::platform
